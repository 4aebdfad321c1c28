# Tests of the update, registration, wizard, hotspot, about and banner windows: sources added to
# the pure and the window test binaries of tests/desktop_app.
set(DESKTOP_APP_PERIPHERY_TESTS)
set(DESKTOP_APP_PERIPHERY_GUI_TESTS)
