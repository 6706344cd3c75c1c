# How a shipped exe is compiled and linked. clearwick.exe (Win32Build.cmake)
# and the benchmark's floor (bench/CMakeLists.txt) both take it from here, so
# that the two differ only by their code.

# The shipped code uses neither exceptions nor RTTI; leaving them out keeps
# their runtime support out of the executable.
# Win32 on x86 keeps the stack 4-byte aligned and the code uses no SSE, so
# neither a frame pointer nor 16-byte stack alignment buys anything. Unused
# functions are dropped at link time; data is not split the same way, since
# mingw's -fdata-sections puts zero-initialised data into .data$ sections,
# which cost the file a .data section of its own. Data keeps the ABI's own
# alignment: by default GCC aligns arrays of 32 bytes or more to 32 bytes,
# for vector loads that this code never makes.
# Arguments are pushed, not stored into space reserved at entry: the Win32
# calls are stdcall, and the stored form then also re-reserves the space
# after each call, which made the code a quarter larger. GCC stores them
# whenever it may probe the stack, which a frame near a page's size needs
# and a program without a C run-time cannot do (it has no ___chkstk_ms):
# so no probes, and no frame large enough to need one.
set(CLEARWICK_SHIPPED_COMPILE_FLAGS -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -ffunction-sections -fomit-frame-pointer -mpreferred-stack-boundary=2 -malign-data=abi
    -mno-accumulate-outgoing-args -mno-stack-arg-probe -Werror=frame-larger-than=3072)

# - Windows 95 loads only images whose subsystem and OS versions are 4.0 or
#   lower, and mingw-w64's linker defaults are newer: set them explicitly.
# - No C run-time: the exe starts at its own WinMainCRTStartup and imports
#   from the four system DLLs alone, which every Win32 has (msvcrt.dll is
#   missing from Windows 95 before OSR2.5 and from NT 3.51).
# - No link time in the header, so that a build is the same bytes wherever
#   and whenever it is made: the stamp is the source's time, written after
#   the link (see clearwick_shipped_exe).
# - ASLR, DEP and, since it draws no more than a plain window, Terminal
#   Server awareness are declared.
set(CLEARWICK_SHIPPED_LINK_FLAGS
    -static
    -Wl,--subsystem,windows:4.0
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0
    -Wl,--gc-sections -s
    -nostartfiles -nodefaultlibs
    -Wl,--no-insert-timestamp
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware)
set(CLEARWICK_SHIPPED_LIBRARIES kernel32 user32 gdi32 advapi32)

set(_clearwick_window_dir ${CMAKE_CURRENT_LIST_DIR}/../src/window)
get_filename_component(_clearwick_source_dir ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

# Makes TARGET a shipped exe: those flags and libraries, the program's
# resources (icon, version record, manifest), the source's time as its PE
# time stamp with the checksum to match, and a link map beside it.
function(clearwick_shipped_exe target)
    # The time is that of the last commit (or SOURCE_DATE_EPOCH), read on
    # every build; its file changes, and so relinks the exe, only when the
    # time does. pe_stamp.py runs as it stands: its first line names the
    # system's python3, the one python3-pefile is installed for.
    set(epoch_file ${CMAKE_BINARY_DIR}/source-epoch.txt)
    if(NOT TARGET clearwick_source_epoch)
        add_custom_target(clearwick_source_epoch
            COMMAND ${_clearwick_source_dir}/tools/pe_stamp.py
                    epoch ${_clearwick_source_dir} ${epoch_file}
            BYPRODUCTS ${epoch_file}
            VERBATIM)
    endif()
    add_dependencies(${target} clearwick_source_epoch)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${epoch_file})
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${_clearwick_source_dir}/tools/pe_stamp.py
                stamp $<TARGET_FILE:${target}> ${epoch_file}
        VERBATIM)
    target_sources(${target} PRIVATE ${_clearwick_window_dir}/clearwick.rc)
    # The resource compiler reads the icon and the manifest, but CMake's
    # scan sees only #includes.
    set_source_files_properties(${_clearwick_window_dir}/clearwick.rc PROPERTIES
        OBJECT_DEPENDS "${_clearwick_window_dir}/clearwick.ico;${_clearwick_window_dir}/clearwick.manifest")
    target_compile_options(${target} PRIVATE ${CLEARWICK_SHIPPED_COMPILE_FLAGS})
    target_link_options(${target} PRIVATE ${CLEARWICK_SHIPPED_LINK_FLAGS})
    target_link_libraries(${target} PRIVATE ${CLEARWICK_SHIPPED_LIBRARIES})
    # The map lets a check see what the link put into the exe (global
    # constructors, say); writing it leaves the exe's bytes as they are.
    set(map $<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.map)
    target_link_options(${target} PRIVATE -Wl,-Map=${map})
    set_property(TARGET ${target} APPEND PROPERTY ADDITIONAL_CLEAN_FILES ${map})
endfunction()
