#include "desktop/foundation/languages.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "desktop/foundation/profile_file.h"
#include "desktop/foundation/sys_utils.h"
#include "desktop/foundation/text_encodings.h"
#include "desktop/foundation/ui_config.h"

namespace {

CLanguages* g_languages = nullptr;
bool g_systemLanguageOnly = false;

std::string TrimText(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// The profile functions' integer reading: optional sign, then digits; anything else is 0.
// Out-of-range numbers are clamped rather than overflowing.
int ProfileInt(const std::string& text, int def, bool present) {
  if (!present) return def;
  const long long v = std::strtoll(TrimText(text).c_str(), nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int>(v);
}

}  // namespace

const char* LanguageFileName(int id) {
  switch (id) {
    case kLangChineseSimplified: return "ChineseSimplified.qvl";
    case kLangEnglish: return "English.qvl";
    case kLangChineseTraditional: return "ChineseTrad.qvl";
    default: return nullptr;
  }
}

CLanguages::CLanguages() { ChooseLanguage(); }

CLanguages::~CLanguages() {
  if (g_languages == this) g_languages = nullptr;
}

ILanguages* CLanguages::GetInstance() {
  if (!g_languages) g_languages = new CLanguages();
  g_languages->AddRef();
  return g_languages;
}

ILanguages* CLanguages::Instance() { return g_languages; }

void CLanguages::UseSystemLanguageOnly(bool on) { g_systemLanguageOnly = on; }

int CLanguages::AddRef() { return ++m_refs; }

int CLanguages::Release() {
  --m_refs;
  if (m_refs > 0) return m_refs;
  m_refs = 0;
  delete this;
  return 0;
}

void CLanguages::RegisterCallback(ILanguageCallBack* cb) {
  if (cb) m_callbacks.insert(cb);
}

void CLanguages::UnregisterCallback(ILanguageCallBack* cb) { m_callbacks.erase(cb); }

bool CLanguages::HasTexts() { return !m_texts.empty(); }

int CLanguages::LanguageOfSystem(int langId) {
  if ((langId & 0x3FF) == 4) {
    if ((langId & 0xFC00) == 0x800) return kLangChineseSimplified;
    if ((langId & 0xFC00) == 0x400) return kLangChineseTraditional;
  }
  return kLangEnglish;
}

int CLanguages::LanguageOfSetting(const std::string& value, int systemLangId) {
  if (value.empty()) return LanguageOfSystem(systemLangId);
  const long long n = std::strtoll(value.c_str(), nullptr, 10);
  if (n < 0) return LanguageOfSystem(systemLangId);
  if (n == 0) return kLangChineseSimplified;
  if (n == 2) return kLangChineseTraditional;
  return kLangEnglish;
}

void CLanguages::ChooseLanguage() {
  const int system = GetSystemDefaultLangId();
  int id = LanguageOfSystem(system);
  if (!g_systemLanguageOnly) {
    UiConfig* config = UiConfig::GetInstance();
    if (config->Load()) id = LanguageOfSetting(config->Language(), system);
  }
  SetLanguage(id);
}

void CLanguages::Clear() {
  m_texts.clear();
  m_fonts.clear();
}

void CLanguages::SetLanguage(int id) {
  Clear();
  m_previous = m_language;
  m_language = id;
  if (const char* file = LanguageFileName(id)) m_path = GetModuleDir() + "/" + file;
  std::string text;
  if (!m_path.empty() && ReadProfileText(m_path, text)) LoadFile(text);
  // A callback may unregister itself (or another) while being told.
  const std::set<ILanguageCallBack*> callbacks = m_callbacks;
  for (ILanguageCallBack* cb : callbacks) {
    if (m_callbacks.count(cb)) cb->OnLanguageChanged();
  }
}

void CLanguages::LoadFile(const std::string& utf8Text) {
  const std::vector<ProfileSection> sections = ParseProfileText(utf8Text);
  std::set<std::wstring> seen;
  size_t listChars = 0;
  for (const ProfileSection& s : sections) {
    const std::wstring name = Utf8ToWide(s.name);
    listChars += name.size() + 1;
    if (listChars > kMaxSectionListChars) break;  // past the list of names the reader keeps
    if (name.empty() || name.size() > kMaxSectionNameChars) continue;
    // Only the first section of a name is read, as the profile functions find it.
    if (!seen.insert(name).second) continue;
    if (name.find(L"FONT_") != std::wstring::npos) {
      auto font = std::make_unique<FontInfo>();
      bool hasName = false, hasHeight = false, hasWeight = false;
      std::string faceName, height, weight;
      for (const std::string& line : s.lines) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = TrimText(line.substr(0, eq));
        const std::string value = TrimText(line.substr(eq + 1));
        if (key == "FONT_NAME" && !hasName) { faceName = value; hasName = true; }
        if (key == "FONT_HEIGHT" && !hasHeight) { height = value; hasHeight = true; }
        if (key == "FONT_WEIGHT" && !hasWeight) { weight = value; hasWeight = true; }
      }
      font->name = hasName ? Utf8ToWide(faceName).substr(0, 31) : L"Arial";
      font->height = ProfileInt(height, -12, hasHeight);
      font->weight = ProfileInt(weight, 0, hasWeight);
      m_fonts.emplace(name, std::move(font));
      continue;
    }
    size_t sectionChars = 0;
    for (const std::string& raw : s.lines) {
      std::wstring line = Utf8ToWide(raw);
      sectionChars += line.size() + 1;
      if (sectionChars > kMaxSectionTextChars) break;
      if (line.size() > kMaxLineChars) line.resize(kMaxLineChars);
      const size_t eq = line.find(L'=');
      if (eq == std::wstring::npos) continue;  // not a key line
      std::wstring key = line.substr(0, eq);
      while (!key.empty() && (key.back() == L' ' || key.back() == L'\t')) key.pop_back();
      AddText(name, key, line.substr(eq + 1));
    }
  }
}

void CLanguages::AddText(const std::wstring& section, const std::wstring& key,
                         const std::wstring& value) {
  m_texts[section][key] = value;
}

std::wstring CLanguages::Lookup(const std::wstring& section, const std::wstring& key) const {
  const auto s = m_texts.find(section);
  if (s == m_texts.end()) return L"";
  const auto k = s->second.find(key);
  return k == s->second.end() ? L"" : k->second;
}

std::string CLanguages::GetTextA(std::string section, std::string key) {
  return WideToAnsi(GetText(std::move(section), std::move(key)));
}

std::wstring CLanguages::GetText(std::string section, std::string key) {
  return Lookup(AnsiToWide(section), AnsiToWide(key));
}

const FontInfo* CLanguages::GetFont(std::string section) {
  auto it = m_fonts.find(AnsiToWide(section));
  if (it == m_fonts.end()) it = m_fonts.find(L"FONT_DEFAULT");
  return it == m_fonts.end() ? nullptr : it->second.get();
}

void CLanguages::Reload() { ChooseLanguage(); }

int CLanguages::GetLanguage() { return m_language; }

int CLanguages::GetPreviousLanguage() { return m_previous; }
