# Tests of the main window's pages, the phone prompt and the language switch: sources added to
# the pure and the window test binaries of tests/desktop_app.
set(DESKTOP_APP_PAGES_TESTS)
set(DESKTOP_APP_PAGES_GUI_TESTS)
