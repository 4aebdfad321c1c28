# Tests of the update, registration, wizard, hotspot, about and banner windows: sources added to
# the pure and the window test binaries of tests/desktop_app.
set(DESKTOP_APP_PERIPHERY_TESTS
  periphery_logic_test.cpp
)
set(DESKTOP_APP_PERIPHERY_GUI_TESTS)

# The update checker and the registration against the real QuarloCentral site, the new
# account logged on by the real service.
quarlo_test(desktop_periphery_site_tests
  periphery_site_test.cpp
  site_pages_test.cpp
)
target_link_libraries(desktop_periphery_site_tests PRIVATE desktop_app)
add_dependencies(desktop_periphery_site_tests QuarloCentral QuarloClient sc net quarlo_update_install)
target_compile_definitions(desktop_periphery_site_tests PRIVATE
  QUARLO_UPDATE_INSTALL_HELPER="$<TARGET_FILE:quarlo_update_install>"
  QUARLO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

# The periphery's windows under Xvfb (screenshots in build/screenshots/periphery_*.png).
add_executable(desktop_periphery_gui_tests
  ${CMAKE_SOURCE_DIR}/tests/desktop/gui_main.cpp
  periphery_gui_test.cpp
)
target_link_libraries(desktop_periphery_gui_tests PRIVATE desktop_app test_support GTest::gtest quarlo_warnings)
target_compile_definitions(desktop_periphery_gui_tests PRIVATE QUARLO_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(desktop_periphery_gui_tests QuarloCentral QuarloClient sc net)
add_test(NAME desktop_periphery_gui_tests
         COMMAND xvfb-run -a -s "-screen 0 1280x1024x24" $<TARGET_FILE:desktop_periphery_gui_tests>)
set_tests_properties(desktop_periphery_gui_tests PROPERTIES TIMEOUT 600 ENVIRONMENT "${QUARLO_TEST_ENV}")
