// Every page of the operator's site the desktop program opens answers from the real
// QuarloCentral site. The paths come from the program itself: the literal paths its sources
// hand to WebPage, SitePage and SiteUrl, and the addresses of the three language files'
// "URL" section; so a page added to the program without its page on the site fails here.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "desktop/app/site/site_http.h"
#include "tests/support/central_process.h"
#include "tests/support/env_guard.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The literal site paths in the program's sources ("/faq.html", "/changepwd.html?MAIL=").
std::set<std::string> PathsInTheSources() {
  std::set<std::string> paths;
  const std::regex call(R"re(\b(?:WebPage|SitePage|SiteUrl)\("(/[^"]*)")re");
  for (const auto& entry : fs::recursive_directory_iterator(std::string(QUARLO_SOURCE_DIR) + "/desktop")) {
    const std::string ext = entry.path().extension().string();
    if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
    const std::string text = ReadFile(entry.path().string());
    for (std::sregex_iterator m(text.begin(), text.end(), call), end; m != end; ++m) paths.insert((*m)[1]);
  }
  return paths;
}

// language file -> its "URL" section's values that are paths of the site.
std::vector<std::pair<std::string, std::string>> PathsInTheLanguageFiles() {
  std::vector<std::pair<std::string, std::string>> paths;
  for (const char* file : {"ChineseSimplified.qvl", "English.qvl", "ChineseTrad.qvl"}) {
    std::istringstream in(ReadFile(std::string(QUARLO_SOURCE_DIR) + "/resources/" + file));
    std::string line;
    bool inUrl = false;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty() && line[0] == '[') inUrl = line == "[URL]";
      const size_t eq = line.find('=');
      if (inUrl && eq != std::string::npos && line.compare(eq + 1, 1, "/") == 0)
        paths.emplace_back(file, line.substr(eq + 1));
    }
  }
  return paths;
}

TEST(SitePages, EveryPageTheProgramOpensAnswersFromTheRealSite) {
  CentralProcess central;
  ASSERT_TRUE(central.StartWithSite()) << central.LogText();
  // A published update and its notes, as the operator's site has them.
  std::ofstream(central.SiteFolder() + "/update.ini")
      << "version=9.0.0.1\ndown=" << central.SiteUrl() << "/quarlo/download/quarlo_9.0.0.1_amd64.deb\n"
      << "md5=0123456789abcdef0123456789abcdef\nsize=4096\n";
  for (const char* lang : {"cn", "en", "tw"})
    std::ofstream(central.SiteFolder() + "/notes-" + lang + ".txt") << "Faster transfers.\n";
  CEnvGuard origin("QUARLO_SITE_ORIGIN");
  setenv("QUARLO_SITE_ORIGIN", central.SiteUrl().c_str(), 1);

  const std::set<std::string> fromSources = PathsInTheSources();
  // The tray's pages, the account page's link, the banner and the update page at least.
  for (const char* known : {"/book", "/faq.html", "/download.html", "/quarlo/bannerpc"})
    EXPECT_EQ(fromSources.count(known), 1u) << known << " is no longer found in the sources";
  for (const std::string& path : fromSources) {
    const HttpReply reply = HttpGet(SiteUrl(path), 10000, 1 << 20);
    EXPECT_EQ(reply.result, HttpResult::Ok) << path;
    EXPECT_EQ(reply.code, 200) << path << ": " << reply.body;
    EXPECT_FALSE(reply.body.empty()) << path;
  }

  // The language files' pages, each in its file's language.
  const std::vector<std::pair<std::string, std::string>> fromLanguages = PathsInTheLanguageFiles();
  EXPECT_GE(fromLanguages.size(), 12u);
  for (const auto& [file, path] : fromLanguages) {
    const HttpReply reply = HttpGet(SitePage(path), 10000, 1 << 20);
    EXPECT_EQ(reply.code, 200) << file << " " << path << ": " << reply.body;
    const char* lang = file == "English.qvl" ? "lang=\"en\"" : file == "ChineseTrad.qvl" ? "lang=\"zh-TW\""
                                                                                        : "lang=\"zh-CN\"";
    EXPECT_NE(reply.body.find(lang), std::string::npos) << file << " " << path << ": " << reply.body;
  }

  // The download page names the published package; an unknown page is still refused.
  const HttpReply download = HttpGet(SiteUrl("/quarlo/download.html?L=en"), 10000, 1 << 20);
  EXPECT_NE(download.body.find("9.0.0.1"), std::string::npos) << download.body;
  EXPECT_EQ(HttpGet(SiteUrl("/quarlo/nothing.html"), 10000, 1 << 20).code, 404);
}

}  // namespace
