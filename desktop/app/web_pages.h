#pragma once
// The operator's web pages the program opens in the browser. The site's origin is the
// setting QUARLO_SITE_ORIGIN (make run's central server serves one), else the operator's.
#include <string>

constexpr char kDefaultSiteOrigin[] = "https://quarlo.example.org";
constexpr char kBlogSite[] = "https://blog.quarlo.example.org";

std::string SiteOrigin();
// The site's origin followed by path ("/faq.html").
std::string WebPage(const std::string& path);
// Opens a web page or a folder with the desktop's handler; nothing is reported on failure.
void OpenInBrowser(const std::string& url);
void OpenFolder(const std::string& path);
