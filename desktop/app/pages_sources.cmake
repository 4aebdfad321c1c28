# The main window's pages, the phone log-in prompt and its queue, the language switch.
set(DESKTOP_APP_PAGES_SOURCES
  main_pages.cpp
)
