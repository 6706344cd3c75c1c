# Native Linux build: the logic against a recording fake, under GoogleTest.
option(CLEARWICK_SANITIZE "Build the host tests with ASan and UBSan" OFF)
if(CLEARWICK_SANITIZE)
    set(_sanitize -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_compile_options(${_sanitize})
    add_link_options(${_sanitize})
    # The library was declared before these options; give it them too.
    target_compile_options(clearwick_logic PRIVATE ${_sanitize})
endif()

find_package(GTest REQUIRED)
include(GoogleTest)

add_executable(clearwick_tests
    tests/platform/text_lines_test.cpp
    tests/version/os_check_test.cpp
    tests/window/form2_layout_test.cpp
    tests/window/form2_test.cpp)
target_include_directories(clearwick_tests PRIVATE tests)
target_link_libraries(clearwick_tests PRIVATE clearwick_logic GTest::gtest_main)
gtest_discover_tests(clearwick_tests)
