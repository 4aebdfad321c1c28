#pragma once
// The program's one way to open an address in the user's browser and a folder in the user's
// file manager, and the operator's pages it opens. The site's origin has its one home in
// site_http.h (SiteOrigin).
#include <string>

// A page of the operator's site: a path ("/faq.html") or a language file's address (a path of
// the site, or a whole address); "" when it names nothing that may be opened.
std::string WebPage(const std::string& pathOrUrl);
// Opens an http or https address with the desktop's handler (xdg-open, by argv); anything
// else is ignored. Nothing is reported on failure.
void OpenInBrowser(const std::string& url);
// Opens a folder with the desktop's handler.
void OpenFolder(const std::string& path);
