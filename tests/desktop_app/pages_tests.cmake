# Tests of the main window's pages, the phone prompt and the language switch: sources added to
# the pure and the window test binaries of tests/desktop_app.
set(DESKTOP_APP_PAGES_TESTS
  main_window_logic_test.cpp
)
set(DESKTOP_APP_PAGES_GUI_TESTS)

# The pages in real windows under Xvfb (a binary of their own until the program's window tests
# have one to join).
add_executable(desktop_pages_gui_tests
  ${CMAKE_SOURCE_DIR}/tests/desktop/gui_main.cpp
  pages_gui_test.cpp
  pages_service_gui_test.cpp
)
target_link_libraries(desktop_pages_gui_tests PRIVATE desktop_app test_support GTest::gtest quarlo_warnings)
target_compile_definitions(desktop_pages_gui_tests PRIVATE QUARLO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(desktop_pages_gui_tests QuarloClient sc net Quarlo_Cmd)
add_test(NAME desktop_pages_gui_tests
         COMMAND xvfb-run -a -s "-screen 0 1280x1024x24" $<TARGET_FILE:desktop_pages_gui_tests>)
# A data folder moved to another file system goes to a trash in the build folder.
set_tests_properties(desktop_pages_gui_tests PROPERTIES TIMEOUT 600
                     ENVIRONMENT "${QUARLO_TEST_ENV};XDG_DATA_HOME=${CMAKE_BINARY_DIR}/test-data")
