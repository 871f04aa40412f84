# The window icon installer's tests, against a recording double of user32.
add_executable(icon_installer_test ${CMAKE_CURRENT_LIST_DIR}/IconInstallerTest.cpp)
target_link_libraries(icon_installer_test PRIVATE ostrada_logic GTest::gtest_main)
gtest_discover_tests(icon_installer_test)
