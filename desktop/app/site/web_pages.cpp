#include "desktop/app/site/web_pages.h"

#include "desktop/app/site/site_http.h"
#include "platform/run_command.h"

std::string WebPage(const std::string& pathOrUrl) { return SitePage(pathOrUrl); }

void OpenInBrowser(const std::string& url) {
  UrlParts parts;
  if (!ParseUrl(url, parts) || (parts.scheme != "http" && parts.scheme != "https")) return;
  for (char c : url)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return;
  Plat_RunDetached({"xdg-open", url});
}

void OpenFolder(const std::string& path) {
  if (path.empty()) return;
  std::string folder = path;
  if (folder.back() != '/') folder += '/';
  Plat_RunDetached({"xdg-open", folder});
}
