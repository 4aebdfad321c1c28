#include "desktop/foundation/languages.h"

#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "desktop/foundation/profile_file.h"
#include "desktop/foundation/text_encodings.h"
#include "tests/desktop/desktop_test_support.h"

namespace {

const char kSample[] =
    "; comment line\n"
    "[UI]\n"
    "PLAIN=Hello\n"
    "EQUALS=a=b=c\n"
    "LEADING= with a blank\n"
    "NOEQUALS\n"
    "TWICE=first\n"
    "TWICE=second\n"
    "CHINESE=\xE4\xBD\xA0\xE5\xA5\xBD\n"
    "EMPTY=\n"
    "[MESSAGEBOX]\r\n"
    "MSG=Windows line end\r\n"
    "[FONT_DEFAULT]\n"
    "FONT_NAME=DejaVu Sans\n"
    "FONT_HEIGHT=10\n"
    "FONT_WEIGHT=700\n"
    "[FONT_PARTIAL]\n"
    "FONT_WEIGHT=400\n"
    "OTHER=ignored\n"
    "[UI]\n"
    "PLAIN=a second UI section is not read\n";

class LanguagesTest : public ::testing::Test {
 protected:
  DesktopFolders folders;
  void WriteLanguage(int id, const std::string& text) {
    DesktopFolders::Write(folders.Program() + "/" + LanguageFileName(id), text);
  }
};

TEST_F(LanguagesTest, LooksUpTextsAndFontsAsTheFileSpellsThem) {
  WriteLanguage(kLangEnglish, kSample);
  ILanguages* l = CLanguages::GetInstance();
  ASSERT_EQ(l->GetLanguage(), kLangEnglish);
  ASSERT_TRUE(l->HasTexts());
  const struct {
    const char* section;
    const char* key;
    std::wstring want;
  } cases[] = {
      {"UI", "PLAIN", L"Hello"},
      {"UI", "EQUALS", L"a=b=c"},
      {"UI", "LEADING", L" with a blank"},
      {"UI", "NOEQUALS", L""},
      {"UI", "TWICE", L"second"},
      {"UI", "CHINESE", L"\u4f60\u597d"},
      {"UI", "EMPTY", L""},
      {"ui", "PLAIN", L""},  // sections compare with case
      {"UI", "plain", L""},
      {"MESSAGEBOX", "MSG", L"Windows line end"},
      {"NOSUCH", "PLAIN", L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(l->GetText(c.section, c.key), c.want) << c.section << "/" << c.key;
  }
  EXPECT_EQ(l->GetTextA("UI", "CHINESE"), "\xE4\xBD\xA0\xE5\xA5\xBD");  // UTF-8 locale

  const FontInfo* def = l->GetFont("FONT_DEFAULT");
  ASSERT_NE(def, nullptr);
  EXPECT_EQ(def->name, L"DejaVu Sans");
  EXPECT_EQ(def->height, 10);
  EXPECT_EQ(def->weight, 700);
  EXPECT_EQ(l->GetFont("FONT_NOT_IN_FILE"), def);
  const FontInfo* partial = l->GetFont("FONT_PARTIAL");
  ASSERT_NE(partial, nullptr);
  EXPECT_EQ(partial->name, L"Arial");
  EXPECT_EQ(partial->height, -12);
  EXPECT_EQ(partial->weight, 400);
  EXPECT_EQ(l->GetText("FONT_PARTIAL", "OTHER"), L"");
  EXPECT_EQ(l->Release(), 0);
}

TEST_F(LanguagesTest, MissingFileOrFontDefaultLeavesNothingButStillNotifies) {
  WriteLanguage(kLangEnglish, "[FONT_ONLY]\nFONT_NAME=X\n");
  struct Counter : ILanguageCallBack {
    int calls = 0;
    void OnLanguageChanged() override { ++calls; }
  } counter;
  ILanguages* l = CLanguages::GetInstance();
  l->RegisterCallback(&counter);
  l->RegisterCallback(&counter);  // stays once
  EXPECT_FALSE(l->HasTexts());
  EXPECT_EQ(l->GetFont("FONT_OTHER"), nullptr);
  ASSERT_NE(l->GetFont("FONT_ONLY"), nullptr);

  l->SetLanguage(kLangChineseTraditional);  // no such file here
  EXPECT_EQ(counter.calls, 1);
  EXPECT_FALSE(l->HasTexts());
  EXPECT_EQ(l->GetFont("FONT_ONLY"), nullptr);
  EXPECT_EQ(l->GetLanguage(), kLangChineseTraditional);
  EXPECT_EQ(l->GetPreviousLanguage(), kLangEnglish);

  l->SetLanguage(kLangEnglish);
  l->SetLanguage(kLangEnglish);
  EXPECT_EQ(l->GetPreviousLanguage(), kLangEnglish);
  EXPECT_EQ(counter.calls, 3);
  l->UnregisterCallback(&counter);
  l->UnregisterCallback(&counter);  // absent: ignored
  l->SetLanguage(kLangEnglish);
  EXPECT_EQ(counter.calls, 3);
  l->Release();
}

TEST_F(LanguagesTest, CallbackMayUnregisterListenersWhileBeingCalled) {
  WriteLanguage(kLangEnglish, kSample);
  ILanguages* l = CLanguages::GetInstance();
  struct Listener : ILanguageCallBack {
    ILanguages* service = nullptr;
    std::vector<Listener*> drop;
    int calls = 0;
    void OnLanguageChanged() override {
      ++calls;
      for (Listener* d : drop) service->UnregisterCallback(d);
    }
  } a, b, c;
  for (Listener* x : {&a, &b, &c}) {
    x->service = l;
    x->drop = {&a, &b, &c};  // whoever is called first drops everyone
    l->RegisterCallback(x);
  }
  l->SetLanguage(kLangEnglish);
  EXPECT_EQ(a.calls + b.calls + c.calls, 1);
  l->Release();
}

TEST_F(LanguagesTest, ReferenceCountingSharesOneInstance) {
  WriteLanguage(kLangEnglish, kSample);
  ILanguages* first = CLanguages::GetInstance();
  ILanguages* second = CLanguages::GetInstance();
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->AddRef(), 3);
  EXPECT_EQ(first->Release(), 2);
  EXPECT_EQ(first->Release(), 1);
  EXPECT_EQ(first->Release(), 0);
  EXPECT_EQ(CLanguages::Instance(), nullptr);
}

TEST_F(LanguagesTest, Utf16FileWithByteOrderMarkIsRead) {
  const std::wstring text = L"[UI]\r\nK=\u7e41\u9ad4\r\n";
  std::string raw = "\xFF\xFE";
  for (wchar_t c : text) {
    raw.push_back(static_cast<char>(c & 0xFF));
    raw.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  WriteLanguage(kLangEnglish, raw);
  ILanguages* l = CLanguages::GetInstance();
  EXPECT_EQ(l->GetText("UI", "K"), L"\u7e41\u9ad4");
  l->Release();
}

TEST_F(LanguagesTest, LongLinesAreCutAtTheLineLimit) {
  const std::string value(400, 'x');
  WriteLanguage(kLangEnglish, "[UI]\nK=" + value + "\n");
  ILanguages* l = CLanguages::GetInstance();
  EXPECT_EQ(l->GetText("UI", "K").size(), kMaxLineChars - 2);  // "K=" is part of the line
  l->Release();
}

TEST(LanguageChoice, SettingValueAndSystemLanguage) {
  const struct {
    const char* setting;
    int systemLangId;
    int want;
  } cases[] = {
      {"1", 0x0804, kLangEnglish},   {"7", 0x0804, kLangEnglish},
      {"99", 0x0804, kLangEnglish},  {"0", 0x0409, kLangChineseSimplified},
      {"abc", 0x0409, kLangChineseSimplified},
      {"2", 0x0409, kLangChineseTraditional},
      {"-1", 0x0804, kLangChineseSimplified}, {"", 0x0404, kLangChineseTraditional},
      {"-1", 0x0C04, kLangEnglish},  {"-1", 0x0409, kLangEnglish},
      {"-1", 0x0407, kLangEnglish},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CLanguages::LanguageOfSetting(c.setting, c.systemLangId), c.want)
        << "'" << c.setting << "' on 0x" << std::hex << c.systemLangId;
  }
}

TEST_F(LanguagesTest, ChooseLanguageReadsTheSettingsFileOnlyWhenAllUserFilesExist) {
  for (int id : {0, 1, 2}) WriteLanguage(id, "[UI]\nWHO=" + std::to_string(id) + "\n");
  setenv("LANG", "zh_TW.UTF-8", 1);
  // Not all per-user files: the system language decides.
  DesktopFolders::Write(folders.UserDir() + "/qv_config_3.4.0.cfg", "[qv_config]\nLanguage=1\n");
  {
    ILanguages* l = CLanguages::GetInstance();
    EXPECT_EQ(l->GetLanguage(), kLangChineseTraditional);
    EXPECT_EQ(l->GetText("UI", "WHO"), L"2");
    l->Release();
  }
  for (const std::string& f : UiConfig::FileNames()) {
    if (f != UiConfig::SettingsFileName()) DesktopFolders::Write(folders.UserDir() + "/" + f, "x");
  }
  UiConfig::DeleteInstance();
  {
    ILanguages* l = CLanguages::GetInstance();
    EXPECT_EQ(l->GetLanguage(), kLangEnglish);
    // The tool variant ignores the settings file.
    CLanguages::UseSystemLanguageOnly(true);
    l->Reload();
    EXPECT_EQ(l->GetLanguage(), kLangChineseTraditional);
    l->Release();
  }
}

// Every section and key that the desktop program and the folder-shortcut tool read.
const std::map<std::string, std::vector<std::string>>& RequiredKeys() {
  static const std::map<std::string, std::vector<std::string>> keys = {
      {"UI",
       {"DIALOG_TITLE", "DIRVER_NAME", "MSGBOX_BUTTON_OK", "MSGBOX_BUTTON_CANCEL",
        "MSGBOX_BUTTON_YES", "MSGBOX_BUTTON_NO", "SETTING_LISTBOX_FOLDER", "SETTING_LISTBOX_PATH",
        "SETTING_LISTBOX_TRANS_FILENAME", "SETTING_LISTBOX_TRANS_SIZE",
        "SETTING_LISTBOX_TRANS_TIME", "SETTING_STATIC_LANGUAGESET", "SETTING_STATIC_DATAFOLDER",
        "SETTING_STATIC_SETTING1", "SETTING_STATIC_START", "SETTING_STATIC_SETTING2",
        "SETTING_BUTTON_SETTING", "SETTING_BUTTON_SHARE", "SETTING_BUTTON_TRANS",
        "SETTING_BUTTON_ACCOUNT", "SETTING_BUTTON_OK", "SETTING_BUTTON_CANCEL",
        "SETTING_BUTTON_ADD", "SETTING_BUTTON_DELETE", "SETTING_CHECKBOX_AUTOSTART",
        "SETTING_BUTTON_MOVEFOLDER", "SETTING_BUTTON_SWITCH_ACCOUNT", "SETTING_BUTTON_LOGIN",
        "SETTING_STATIC_ACCOUNT", "SETTING_STATIC_NOTLOGGEDIN", "SETTING_LINK_CHANGEPASSWORD",
        "SETTING_HELP", "SETTING_HELP2", "TRAYMENU_OPENFOLDER", "TRAYMENU_AP",
        "TRAYMENU_SHAREMANAGE", "TRAYMENU_MOBILE_OUTLINE", "TRAYMENU_MOBILE_ONLINE",
        "TRAYMENU_DOWNLOAD", "TRAYMENU_UPDATE", "TRAYMENU_HELP", "TRAYMENU_FEEFBACK",
        "TRAYMENU_ABOUT", "TRAYMENU_CHANGACCOUNT", "TRAYMENU_EXIT", "LOGIN_STATIC_ACCOUNT",
        "LOGIN_STATIC_PASSWORD", "LOGIN_STATIC_LOGINING", "LOGIN_BUTTON_LOGIN",
        "LOGIN_LINK_REGISTER", "LOGIN_CHECKBOX_REMEMBERPW", "LOGIN_EDIT_ACCOUNT",
        "LOGIN_EDIT_PASSWORD", "LOGIN_LINK_FORGETPW", "REGACCOUNT_STATIC_EMAIL",
        "REGACCOUNT_STATIC_PASS1", "REGACCOUNT_STATIC_PASS2", "REGACCOUNT_INFO_EMPTY",
        "REGACCOUNT_INFO_INVALIDPASS", "REGACCOUNT_INFO_INVALIDEMAIL",
        "REGACCOUNT_INFO_EMAILREGISTERED", "REGACCOUNT_INFO_TIMELIMIT",
        "REGACCOUNT_INFO_NETWORKERR", "REGACCOUNT_INFO_NOTCHECKED",
        "REGACCOUNT_INFO_PASSMISMATCH", "REGACCOUNT_INFO_ADDRTOOLONG",
        "REGACCOUNT_INFO_REGISTERING", "REGACCOUNT_BUTTON_REGISTERANDLOGIN",
        "REGACCOUNT_LINK_LICENSE", "CONNECT_STATIC_TITLE", "CONNECT_STATIC_SENDER",
        "CONNECT_STATIC_NET", "CONNECT_STATIC_OTHER", "CONNECT_BUTTON_OK",
        "CONNECT_BUTTON_CANCEL", "UPDATE_STATIC1", "UPDATE_STATIC3", "UPDATE_STATIC4",
        "UPDATE_STATIC_UPDATENOTICE_HEAD", "UPDATE_STATIC_UPDATENOTICE_TAIL",
        "UPDATE_BUTTON_UPDATE", "UPDATE_BUTTON_CANCEL", "UPDATE_STATIC_NEVERSHOW",
        "WIZARD_LISTBOX_FOLDER", "WIZARD_LISTBOX_PATH", "WIZARD_STATIC_TITLESTEP1",
        "WIZARD_STATIC_TITLESTEP2", "WIZARD_STATIC_TITLESTEP3", "WIZARD_STATIC_FLODER1",
        "WIZARD_STATIC_FLODER2", "WIZARD_RADIO_DEF", "WIZARD_RADIO_USER",
        "WIZARD_STATIC_BROWSE", "WIZARD_STATIC2", "WIZARD_MFCLINK2", "WIZARD_BUTTON_ADD",
        "WIZARD_BUTTON_DELETE", "WIZARD_BUTTON_NEXT", "WIZARD_BUTTON_FRONT",
        "WIZARD_BUTTON_FINISH", "AP_BUTTON_START", "AP_BUTTON_STOP", "AP_STATIC_TITLE", "AP_OK",
        "AP_STARTED", "AP_OS", "AP_NOWLAN", "AP_NOWIFI", "AP_DEVICE_UNAVAILABLE",
        "ABOUT_STATIC_LINK2", "ABOUT_STATIC_ABOUT2"}},
      {"MESSAGEBOX",
       {"MSGBOX_ONEMORESTART", "MSGBOX_IDORPWERROR", "MSGBOX_ONNET", "MSGBOX_CONNECTFAIL",
        "MSGBOX_OTHER", "MSGBOX_NOACCOUNT", "MSGBOX_NOPASSWORD", "MSGBOX_LOGIOUTUSER",
        "MSGBOX_SHARESAMEFOLDER", "MSGBOX_MOVEFOLDER_FAILED", "MSGBOX_MOVEFOLDER_FAILED_COPY",
        "MSGBOX_MOVEFOLDER_FAILED_DEL", "MSGBOX_NOUPDATE", "MSGBOX_UPDATETITLE", "MSGBOX_UAC",
        "MSGBOX_UAC_STARTSERVICE", "MSGBOX_UAC_STOPSERVICE", "MSGBOX_UAC_UPDATE_SERVICE_DESC",
        "MSGBOX_SERVICE_START_FAILED", "MSGBOX_SERVICE_CRASHED", "MSGBOX_UAC_STARTAP",
        "MSGBOX_UAC_BUILDAP"}},
      {"TOOLTIP", {"TOOTIP_FORGETPW"}},
      {"URL", {"URL_HOMEPAGE", "URL_FORGETPW", "URL_LICENSE", "URL_MFCLINK2"}},
      {"OTHER", {"OTHER_SELECTFLODER", "OTHER_SELECT_DEFAULTFLODER"}},
      {"LANGUAGE", {"LANGUAGE_CHINESESIMPLIFIED", "LANGUAGE_ENGLISH", "LANGUAGE_CHINESETRAD"}},
  };
  return keys;
}

const std::vector<std::string>& RequiredFonts() {
  static const std::vector<std::string> fonts = {
      "FONT_DEFAULT", "FONT_MESSAGEBOX_BUTTON", "FONT_SWITCH_STATIC", "FONT_SETTING_ACCOUNT",
      "FONT_SETTING_STATUS", "FONT_SETTING_BUTTON", "FONT_SETTING_EDIT",
      "FONT_UI_SETTING_BUTTON", "FONT_UI_SHARE_BUTTON", "FONT_UI_LOGIN_EDIT",
      "FONT_LOGIN_STATIC", "FONT_LOGIN_STATIC1", "FONT_LOGIN_LOGIN", "FONT_LOGIN_REGISTER",
      "FONT_LOGIN_FORGETPW", "FONT_REGACCOUNT_STATIC", "FONT_REGACCOUNT_LOGINBTN",
      "FONT_REGACCOUNT_EDIT", "FONT_REGACCOUNT_LICENSE", "FONT_CONNECT_TITLE",
      "FONT_CONNECT_INFO", "FONT_CONNECT_OTHER", "FONT_CONNECT_BUTTON", "FONT_UPDATE_STATIC",
      "FONT_UPDATE_STATIC1", "FONT_UPDATE_BUTTON", "FONT_WIZARD_STATIC", "FONT_WIZARD_STATIC1",
      "FONT_WIZARD_BUTTON", "FONT_WIZARD_LINK1", "FONT_AP_BUTTON", "FONT_AP_STARIC",
      "FONT_AP_TITLE", "FONT_ABOUT_STATIC", "FONT_ABOUT_STATIC1", "FONT_ABOUT_BUTTON"};
  return fonts;
}

// The shipped files: every key present with a text, within the reader's limits, one key set.
TEST(ShippedLanguageFiles, HaveEveryKeyWithinTheLimits) {
  std::set<std::string> firstKeys;
  for (int id : {0, 1, 2}) {
    const std::string path = std::string(QUARLO_SOURCE_DIR) + "/resources/" + LanguageFileName(id);
    SCOPED_TRACE(path);
    std::string text;
    ASSERT_TRUE(ReadProfileText(path, text));
    const std::vector<ProfileSection> sections = ParseProfileText(text);
    std::map<std::string, std::map<std::string, std::string>> values;
    std::set<std::string> fonts, allKeys;
    size_t listChars = 0;
    for (const ProfileSection& s : sections) {
      const std::wstring name = Utf8ToWide(s.name);
      listChars += name.size() + 1;
      EXPECT_LE(name.size(), kMaxSectionNameChars) << s.name;
      EXPECT_TRUE(values.count(s.name) == 0 && fonts.count(s.name) == 0) << "twice: " << s.name;
      if (s.name.find("FONT_") != std::string::npos) {
        fonts.insert(s.name);
        std::set<std::string> fontKeys;
        for (const std::string& line : s.lines) fontKeys.insert(line.substr(0, line.find('=')));
        EXPECT_EQ(fontKeys, (std::set<std::string>{"FONT_NAME", "FONT_HEIGHT", "FONT_WEIGHT"}))
            << s.name;
        continue;
      }
      size_t sectionChars = 0;
      for (const std::string& line : s.lines) {
        const std::wstring wide = Utf8ToWide(line);
        EXPECT_EQ(WideToUtf8(wide), line) << "not UTF-8: " << line;
        EXPECT_LE(wide.size(), kMaxLineChars) << line;
        sectionChars += wide.size() + 1;
        const size_t eq = line.find('=');
        ASSERT_NE(eq, std::string::npos) << line;
        const std::string key = line.substr(0, eq);
        EXPECT_TRUE(values[s.name].emplace(key, line.substr(eq + 1)).second) << "twice: " << key;
        allKeys.insert(s.name + "/" + key);
      }
      EXPECT_LE(sectionChars, kMaxSectionTextChars) << s.name;
    }
    EXPECT_LE(listChars, kMaxSectionListChars);
    for (const auto& [section, keys] : RequiredKeys()) {
      for (const std::string& key : keys) {
        const auto s = values.find(section);
        ASSERT_TRUE(s != values.end()) << section;
        const auto v = s->second.find(key);
        ASSERT_TRUE(v != s->second.end()) << section << "/" << key;
        if (key != "REGACCOUNT_INFO_EMPTY") {
          EXPECT_FALSE(v->second.empty()) << key;
        }
      }
    }
    for (const std::string& f : RequiredFonts()) {
      EXPECT_TRUE(fonts.count(f)) << f;
    }
    if (id == 0) {
      firstKeys = allKeys;
    } else {
      EXPECT_EQ(allKeys, firstKeys);
    }
  }
}

TEST_F(LanguagesTest, ShippedFilesLoadThroughTheService) {
  for (int id : {0, 1, 2}) {
    std::filesystem::copy_file(std::string(QUARLO_SOURCE_DIR) + "/resources/" + LanguageFileName(id),
                               folders.Program() + "/" + LanguageFileName(id));
  }
  ILanguages* l = CLanguages::GetInstance();
  const std::wstring names[3] = {l->GetText("LANGUAGE", "LANGUAGE_CHINESESIMPLIFIED"),
                                 l->GetText("LANGUAGE", "LANGUAGE_ENGLISH"),
                                 l->GetText("LANGUAGE", "LANGUAGE_CHINESETRAD")};
  std::set<std::wstring> titles;
  for (int id : {0, 1, 2}) {
    l->SetLanguage(id);
    EXPECT_EQ(l->GetText("LANGUAGE", "LANGUAGE_ENGLISH"), names[1]);
    titles.insert(l->GetText("UI", "MSGBOX_BUTTON_CANCEL"));
    ASSERT_NE(l->GetFont("FONT_MESSAGEBOX_BUTTON"), nullptr);
  }
  EXPECT_EQ(titles.size(), 2u);  // the two Chinese files share this word, English differs
  l->Release();
}

}  // namespace
