# The checks of the built clearwick.exe in check_exe.py read it and its link
# map but never run it, so they need no Wine; each is its own test so that a
# failure names what regressed.

foreach(_check pe_header imports resources icon version manifest size reproducible
        no_global_ctors)
    add_test(NAME exe_${_check}
        COMMAND ${CMAKE_SOURCE_DIR}/tests/exe/check_exe.py ${_check} $<TARGET_FILE:clearwick>)
    set_tests_properties(exe_${_check} PROPERTIES LABELS "exe;host")
endforeach()
