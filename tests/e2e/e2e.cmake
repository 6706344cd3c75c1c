# End-to-end tests: the real clearwick.exe in a real Wine prefix, driven with
# real mouse clicks and key presses on a private Xvfb display.

# The product's stand-in, and the probe that reads the tool's window from
# outside. Test tools, so they may use whatever Windows offers.
add_executable(glintfold_standin WIN32 ${CMAKE_CURRENT_LIST_DIR}/glintfold_standin.cpp)
target_link_options(glintfold_standin PRIVATE -static)

add_executable(window_probe ${CMAKE_CURRENT_LIST_DIR}/window_probe.cpp)
target_link_libraries(window_probe PRIVATE shell32)
target_link_options(window_probe PRIVATE -static)
# The hook that window_probe installs; it lies beside the probe. Its export
# keeps its undecorated name.
add_library(slow_destroy_hook SHARED ${CMAKE_CURRENT_LIST_DIR}/slow_destroy_hook.cpp)
set_target_properties(slow_destroy_hook PROPERTIES PREFIX "")
target_link_options(slow_destroy_hook PRIVATE -static -Wl,--kill-at)
add_dependencies(window_probe slow_destroy_hook)
# Its "dpi" command loads the form2_window test's DLL, which lies beside it.
target_include_directories(window_probe PRIVATE ${CMAKE_SOURCE_DIR}/tests)
add_dependencies(window_probe control_fonts_probe)

# Runs the unchanged clearwick.exe as Windows 95 to Me would, through the
# stand-ins of the DLL it loads into it; the DLL must lie beside it. Its
# exports keep their undecorated names.
add_executable(win9x_launcher ${CMAKE_CURRENT_LIST_DIR}/win9x_launcher.cpp)
target_link_options(win9x_launcher PRIVATE -static)
add_library(win9x_standin SHARED ${CMAKE_CURRENT_LIST_DIR}/win9x_standin.cpp)
set_target_properties(win9x_standin PROPERTIES PREFIX "")
target_link_options(win9x_standin PRIVATE -static -Wl,--kill-at)
add_dependencies(win9x_launcher win9x_standin)

# A test for every row of scenario.sh's table. The time-out guards against a
# hang: in the emulated machine a scenario takes minutes (the busy rounds
# over ten), natively seconds.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/scenario.sh)
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/scenario.sh _e2e_rows REGEX "^[a-z0-9_]+ +[a-z0-9]+ +win(32|64) ")
foreach(_row IN LISTS _e2e_rows)
    string(REGEX MATCH "^[a-z0-9_]+" _scenario "${_row}")
    add_test(NAME e2e_${_scenario}
        COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/scenario.sh ${_scenario}
            $<TARGET_FILE:clearwick> $<TARGET_FILE:glintfold_standin> $<TARGET_FILE:window_probe>
            $<TARGET_FILE:win9x_launcher>)
    set_tests_properties(e2e_${_scenario} PROPERTIES TIMEOUT 1800)
endforeach()
