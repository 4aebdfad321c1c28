#include "desktop/app/web_pages.h"

#include <wx/filename.h>
#include <wx/utils.h>

#include "desktop/app/site_http.h"

// The pages live on the operator's site, wherever its origin is set (site_http.h).
std::string WebPage(const std::string& path) { return SiteUrl("/quarlo" + path); }

void OpenInBrowser(const std::string& url) {
  if (!url.empty()) wxLaunchDefaultBrowser(wxString::FromUTF8(url));
}

void OpenFolder(const std::string& path) {
  if (path.empty()) return;
  std::string folder = path;
  if (folder.back() != '/') folder += '/';
  wxLaunchDefaultApplication(wxString::FromUTF8(folder));
}
