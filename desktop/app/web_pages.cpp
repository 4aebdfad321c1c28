#include "desktop/app/web_pages.h"

#include <wx/filename.h>
#include <wx/utils.h>

#include <cstdlib>

std::string SiteOrigin() {
  const char* origin = std::getenv("QUARLO_SITE_ORIGIN");
  std::string text = origin && *origin ? origin : kDefaultSiteOrigin;
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

std::string WebPage(const std::string& path) { return SiteOrigin() + path; }

void OpenInBrowser(const std::string& url) {
  if (!url.empty()) wxLaunchDefaultBrowser(wxString::FromUTF8(url));
}

void OpenFolder(const std::string& path) {
  if (path.empty()) return;
  std::string folder = path;
  if (folder.back() != '/') folder += '/';
  wxLaunchDefaultApplication(wxString::FromUTF8(folder));
}
