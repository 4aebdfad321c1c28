# Updates, registration, the first-run wizard, the hotspot dialog, the about box, the banner.
set(DESKTOP_APP_PERIPHERY_SOURCES
  site_http.cpp
  update_info.cpp
  update_checker.cpp
  register_account.cpp
  register_account_dlg.cpp
  hotspot_control.cpp
  ap_dlg.cpp
  wizard_logic.cpp
  wizard_dlg.cpp
  html_dlg.cpp
  update_dlg.cpp
  about_dlg.cpp
)
# What they link besides the foundation: libcurl, jsoncpp, the web view, the MD5 class, the
# update signature check.
pkg_check_modules(LIBCURL REQUIRED IMPORTED_TARGET libcurl)
find_package(jsoncpp REQUIRED)
find_package(wxWidgets 3.2 REQUIRED COMPONENTS webview core base)
set(DESKTOP_APP_PERIPHERY_LIBS PkgConfig::LIBCURL JsonCpp::JsonCpp ${wxWidgets_LIBRARIES} quarlo_md5
    platform platform_update)
