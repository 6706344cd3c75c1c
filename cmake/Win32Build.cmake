# Windows build: clearwick.exe, and the test programs CTest runs under Wine.

# The exe's icon, version record and manifest come from a resource script.
enable_language(RC)

include(${CMAKE_CURRENT_LIST_DIR}/ShippedExe.cmake)
target_compile_options(clearwick_logic PRIVATE ${CLEARWICK_SHIPPED_COMPILE_FLAGS})

add_library(clearwick_win32 STATIC src/platform/win32_platform.cpp)
target_link_libraries(clearwick_win32 PUBLIC clearwick_logic)
target_compile_options(clearwick_win32 PRIVATE ${CLEARWICK_SHIPPED_COMPILE_FLAGS})

# What the compiler may still call on its own, with no C run-time, is in
# win32_runtime.cpp; it must not see its own memset in memset's loop.
add_executable(clearwick WIN32 src/window/form2_window.cpp src/platform/win32_runtime.cpp)
set_source_files_properties(src/platform/win32_runtime.cpp PROPERTIES
    COMPILE_OPTIONS "-fno-builtin;-fno-tree-loop-distribute-patterns")
target_link_libraries(clearwick PRIVATE clearwick_win32)
clearwick_shipped_exe(clearwick)

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
target_include_directories(control_fonts_probe PRIVATE tests)
target_link_options(control_fonts_probe PRIVATE -static -Wl,--kill-at)
add_dependencies(form2_window_test control_fonts_probe)
# Each row also with a leaded face (see the test) that the controls must
# grow to fit.
foreach(_dpi 96 144)
    foreach(_mode "" leaded)
        set(_name form2_window_${_dpi}dpi${_mode})
        add_test(NAME ${_name} COMMAND form2_window_test $<TARGET_FILE:clearwick> ${_dpi} ${_mode})
        set_tests_properties(${_name} PROPERTIES ENVIRONMENT "LANG=en_US.UTF-8;LC_ALL=en_US.UTF-8")
    endforeach()
endforeach()
# OK where the script cannot be written: the run-time error report, once,
# however often the button is pressed.
foreach(_mode unwritable twice)
    add_test(NAME form2_window_${_mode}_script
        COMMAND form2_window_test $<TARGET_FILE:clearwick> 96 ${_mode})
endforeach()
# A guard against a hang: in the emulated machine of scripts/win32-run.sh
# each takes under a minute once the run's template is made (two or three).
get_property(_wine_tests DIRECTORY PROPERTY TESTS)
set_tests_properties(${_wine_tests} PROPERTIES TIMEOUT 900)

include(${CMAKE_SOURCE_DIR}/tests/exe/checks.cmake OPTIONAL)
include(${CMAKE_SOURCE_DIR}/tests/e2e/e2e.cmake OPTIONAL)
include(${CMAKE_SOURCE_DIR}/tests/release/release.cmake OPTIONAL)
