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
)
target_link_libraries(desktop_periphery_site_tests PRIVATE desktop_app)
add_dependencies(desktop_periphery_site_tests QuarloCentral QuarloClient sc net)
