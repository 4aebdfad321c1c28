# The main window's pages, the phone log-in prompt and its queue, the language switch.
set(DESKTOP_APP_PAGES_SOURCES
  main_pages.cpp
  mobile_login_queue.cpp
  connect_dlg.cpp
  share_edits.cpp
  trans_log.cpp
)
