# Updates, registration, the first-run wizard, the hotspot dialog, the about box, the banner.
set(DESKTOP_APP_PERIPHERY_SOURCES
  periphery.cpp
)
