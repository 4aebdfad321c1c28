#pragma once
// The language service: one language file (INI text, UTF-8) per interface language beside the
// program, loaded into memory and looked up by section and key. Sections whose name contains
// "FONT_" describe fonts. One shared, reference-counted instance per process, used from the
// user-interface thread only.
#include <map>
#include <memory>
#include <set>
#include <string>

enum LanguageId { kLangChineseSimplified = 0, kLangEnglish = 1, kLangChineseTraditional = 2 };

struct FontInfo {
  std::wstring name;  // at most 31 characters
  int height = -12;   // points
  int weight = 0;     // 0..1000, 400 normal, 700 bold
};

class ILanguageCallBack {
 public:
  virtual ~ILanguageCallBack() = default;
  virtual void OnLanguageChanged() = 0;
};

class ILanguages {
 public:
  virtual ~ILanguages() = default;
  virtual int AddRef() = 0;
  virtual int Release() = 0;
  virtual void RegisterCallback(ILanguageCallBack* cb) = 0;
  virtual void UnregisterCallback(ILanguageCallBack* cb) = 0;
  virtual bool HasTexts() = 0;
  virtual void SetLanguage(int id) = 0;
  virtual std::string GetTextA(std::string section, std::string key) = 0;  // ANSI code page
  virtual std::wstring GetText(std::string section, std::string key) = 0;
  virtual const FontInfo* GetFont(std::string section) = 0;
  virtual void Reload() = 0;
  virtual int GetLanguage() = 0;
  virtual int GetPreviousLanguage() = 0;
};

// The file names, in language-id order.
const char* LanguageFileName(int id);  // nullptr for an unknown id

// Limits every language file keeps (the reader cuts or drops what lies beyond them).
constexpr size_t kMaxSectionNameChars = 63;
constexpr size_t kMaxSectionListChars = 1024;  // all names, each with a terminating zero
constexpr size_t kMaxSectionTextChars = 32767;  // all lines of a section, each with a zero
constexpr size_t kMaxLineChars = 299;

class CLanguages : public ILanguages {
 public:
  CLanguages();
  ~CLanguages() override;
  CLanguages(const CLanguages&) = delete;
  CLanguages& operator=(const CLanguages&) = delete;

  // The shared instance with one more reference; created (and loaded) when absent.
  static ILanguages* GetInstance();
  static ILanguages* Instance();  // the shared instance or nullptr, no reference taken
  // The folder-shortcut tool chooses from the system language alone, never the settings file.
  static void UseSystemLanguageOnly(bool on);

  int AddRef() override;
  int Release() override;
  void RegisterCallback(ILanguageCallBack* cb) override;
  void UnregisterCallback(ILanguageCallBack* cb) override;
  bool HasTexts() override;
  void SetLanguage(int id) override;
  std::string GetTextA(std::string section, std::string key) override;
  std::wstring GetText(std::string section, std::string key) override;
  const FontInfo* GetFont(std::string section) override;
  void Reload() override;
  int GetLanguage() override;
  int GetPreviousLanguage() override;

  // The language ChooseLanguage picks: the settings file's "Language" value (when read and
  // not negative), else the system language id.
  static int LanguageOfSetting(const std::string& value, int systemLangId);
  static int LanguageOfSystem(int systemLangId);
  const std::string& LoadedPath() const { return m_path; }

 private:
  void ChooseLanguage();
  void Clear();
  void LoadFile(const std::string& utf8Text);
  void AddText(const std::wstring& section, const std::wstring& key, const std::wstring& value);
  std::wstring Lookup(const std::wstring& section, const std::wstring& key) const;

  std::set<ILanguageCallBack*> m_callbacks;
  int m_refs = 0;
  std::string m_path;
  std::map<std::wstring, std::map<std::wstring, std::wstring>> m_texts;
  std::map<std::wstring, std::unique_ptr<FontInfo>> m_fonts;
  int m_language = 0;
  int m_previous = 0;
};
