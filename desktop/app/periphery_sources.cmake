# Updates, registration, the first-run wizard, the hotspot dialog, the about box, the banner.
set(DESKTOP_APP_PERIPHERY_SOURCES
  periphery.cpp
  site_http.cpp
  update_info.cpp
  update_checker.cpp
  register_account.cpp
)
# What they link besides the foundation: libcurl, jsoncpp, the MD5 class.
pkg_check_modules(LIBCURL REQUIRED IMPORTED_TARGET libcurl)
find_package(jsoncpp REQUIRED)
set(DESKTOP_APP_PERIPHERY_LIBS PkgConfig::LIBCURL JsonCpp::JsonCpp quarlo_md5 platform)
