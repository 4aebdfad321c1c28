#pragma once
// The operator's web pages the program opens in the browser (the site lies outside the system).
#include <string>

constexpr char kWebSite[] = "https://quarlo.example.org/quarlo";
constexpr char kBlogSite[] = "https://blog.quarlo.example.org";

// kWebSite followed by path ("/faq.html").
std::string WebPage(const std::string& path);
// Opens a web page or a folder with the desktop's handler; nothing is reported on failure.
void OpenInBrowser(const std::string& url);
void OpenFolder(const std::string& path);
