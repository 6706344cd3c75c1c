# Checks of the built clearwick.exe: its PE header, imports, resources, version
# record, manifest and size, that the link put no global constructor into it,
# and that a second build gives the same bytes. They read the file (and its
# link map) with pefile, osslsigncode and git and never run it, so they need
# no Wine; each is its own test so that a failure names what regressed.

foreach(_check pe_header imports resources icon version manifest size reproducible
        no_global_ctors)
    add_test(NAME exe_${_check}
        COMMAND ${CMAKE_SOURCE_DIR}/tests/exe/check_exe.py ${_check} $<TARGET_FILE:clearwick>)
    set_tests_properties(exe_${_check} PROPERTIES LABELS "exe;host")
endforeach()
