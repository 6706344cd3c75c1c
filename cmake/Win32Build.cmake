# Windows build: clearwick.exe, and the test programs CTest runs under Wine.

# The exe's icon, version record and manifest come from a resource script.
enable_language(RC)

# The shipped code uses neither exceptions nor RTTI; leaving them out keeps
# their runtime support out of the executable.
# Win32 on x86 keeps the stack 4-byte aligned and the code uses no SSE, so
# neither a frame pointer nor 16-byte stack alignment buys anything. Unused
# functions are dropped at link time; data is not split the same way, since
# mingw's -fdata-sections puts zero-initialised data into .data$ sections,
# which cost the file a .data section of its own.
set(_shipped_flags -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -ffunction-sections -fomit-frame-pointer -mpreferred-stack-boundary=2)
target_compile_options(clearwick_logic PRIVATE ${_shipped_flags})

add_library(clearwick_win32 STATIC src/platform/win32_platform.cpp)
target_link_libraries(clearwick_win32 PUBLIC clearwick_logic)
target_compile_options(clearwick_win32 PRIVATE ${_shipped_flags})

# Windows 95 loads only images whose subsystem and OS versions are 4.0 or
# lower, and mingw-w64's linker defaults are newer: set them explicitly.
set(_win95_link_flags
    -static
    -Wl,--subsystem,windows:4.0
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0
    -Wl,--gc-sections)

add_executable(clearwick WIN32
    src/window/form2_window.cpp
    src/window/clearwick.rc)
# The resource compiler reads the icon and the manifest, but CMake's scan
# sees only #includes.
set_source_files_properties(src/window/clearwick.rc PROPERTIES
    OBJECT_DEPENDS "${CMAKE_SOURCE_DIR}/src/window/clearwick.ico;${CMAKE_SOURCE_DIR}/src/window/clearwick.manifest")
target_compile_options(clearwick PRIVATE ${_shipped_flags})
target_link_libraries(clearwick PRIVATE clearwick_win32)
# No C run-time: the exe starts at its own WinMainCRTStartup and imports from
# the four system DLLs alone, which every Win32 has (msvcrt.dll is missing
# from Windows 95 before OSR2.5 and from NT 3.51). What the compiler may
# still call on its own is in win32_runtime.cpp.
# No time stamp in the header, so that a build is the same bytes wherever
# and whenever it is made. ASLR, DEP and, since it draws no more than a
# plain window, Terminal Server awareness are declared.
target_sources(clearwick PRIVATE src/platform/win32_runtime.cpp)
# The compiler must not see its own memset in memset's loop.
set_source_files_properties(src/platform/win32_runtime.cpp PROPERTIES
    COMPILE_OPTIONS "-fno-builtin;-fno-tree-loop-distribute-patterns")
target_link_options(clearwick PRIVATE ${_win95_link_flags} -s
    -nostartfiles -nodefaultlibs
    -Wl,--no-insert-timestamp
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware)
target_link_libraries(clearwick PRIVATE kernel32 user32 gdi32 advapi32)

# Test programs: console programs that run under Wine through the emulator.
add_executable(win32_platform_test tests/wine/win32_platform_test.cpp)
target_link_libraries(win32_platform_test PRIVATE clearwick_win32)
target_include_directories(win32_platform_test PRIVATE tests)
target_link_options(win32_platform_test PRIVATE -static)

add_test(NAME win32_platform COMMAND win32_platform_test)
foreach(_case "winxp;NT 5.1" "win98;95/98 4.10" "win31;32s 3.10")
    list(GET _case 0 _winver)
    list(GET _case 1 _expected)
    add_test(NAME win32_platform_version_${_winver} COMMAND win32_platform_test "${_expected}")
    set_tests_properties(win32_platform_version_${_winver} PROPERTIES
        ENVIRONMENT "CLEARWICK_WINVER=${_winver}")
endforeach()

# The window read back from outside, at two display densities, in a prefix
# whose ANSI code page is not Korean.
add_executable(form2_window_test tests/wine/form2_window_test.cpp)
target_include_directories(form2_window_test PRIVATE tests)
target_link_options(form2_window_test PRIVATE -static)
# The DLL that test loads into the running tool; it must lie beside
# clearwick.exe. Its export keeps its undecorated name.
add_library(control_fonts_probe SHARED tests/wine/control_fonts_probe.cpp)
set_target_properties(control_fonts_probe PROPERTIES PREFIX "")
target_link_options(control_fonts_probe PRIVATE -static -Wl,--kill-at)
add_dependencies(form2_window_test control_fonts_probe)
foreach(_dpi 96 144)
    add_test(NAME form2_window_${_dpi}dpi COMMAND form2_window_test $<TARGET_FILE:clearwick> ${_dpi})
    set_tests_properties(form2_window_${_dpi}dpi PROPERTIES ENVIRONMENT "LANG=en_US.UTF-8;LC_ALL=en_US.UTF-8")
endforeach()
# OK where the script cannot be written: the run-time error report.
add_test(NAME form2_window_unwritable_script
    COMMAND form2_window_test $<TARGET_FILE:clearwick> 96 unwritable)

include(${CMAKE_SOURCE_DIR}/tests/exe/checks.cmake OPTIONAL)
include(${CMAKE_SOURCE_DIR}/tests/e2e/e2e.cmake OPTIONAL)
