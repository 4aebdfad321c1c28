#pragma once
// Stand-ins for the pages' tests: the local API client (whose service the window tests do not
// need), a skinned window with the four page buttons as the main window's, and the user who
// acts inside a modal prompt's loop (a timer, since the prompt's loop runs the test's events).
#include <wx/timer.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "desktop/app/main_window/main_pages.h"
#include "desktop/app/main_window/setting_dlg.h"
#include "desktop/foundation/diy_dialog.h"
#include "desktop/foundation/languages.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_controls.h"

inline desktop::MobileLoginRequest MakeRequest(uint32_t id, const std::string& sender, const std::string& network) {
  desktop::MobileLoginRequest r{};
  std::strncpy(r.sender, sender.c_str(), sizeof r.sender - 1);
  std::strncpy(r.network, network.c_str(), sizeof r.network - 1);
  r.requestId = id;
  return r;
}
inline const desktop::MobileLoginRequest* ptr(const desktop::MobileLoginRequest& r) { return &r; }

inline desktop::TransLogRecord MakeRecord(int type, uint32_t size, const std::string& file, const std::string& time) {
  desktop::TransLogRecord r{};
  r.type = static_cast<uint16_t>(type);
  r.size = size;
  std::strncpy(r.file, file.c_str(), sizeof r.file - 1);
  std::strncpy(r.time, time.c_str(), sizeof r.time - 1);
  return r;
}

class FakeUIData : public desktop::IUIData {
 public:
  std::vector<std::string> shares;
  std::vector<desktop::TransLogRecord> log;
  std::string account;
  std::vector<std::string> defShareCalls;
  int defShareResult = 0;
  int setShareCalls = 0;
  bool loaded = false;

  void LoadShares(desktop::CMainPages& pages) {
    loaded = true;
    for (const std::string& s : shares) pages.OnShareItem(s);
  }
  std::vector<std::pair<uint32_t, int>> Answers() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_answers;
  }
  void SetTransLogSink(desktop::CMainPages* pages) { m_pages = pages; }

  int AddRef() override { return 1; }
  int Release() override { return 1; }
  void SetCallback(desktop::IUIDataCallBack*) override {}
  void ClearCallback() override {}
  int LogOn(desktop::LoginRecord*, int) override { return 0; }
  int LogOut() override { return 0; }
  // Which threads asked what (a loopback request on the main thread freezes the window).
  void Note(const char* what) {
    std::lock_guard<std::mutex> g(m_lock);
    threads[what].insert(std::this_thread::get_id());
  }
  std::set<std::thread::id> ThreadsOf(const char* what) {
    std::lock_guard<std::mutex> g(m_lock);
    return threads[what];
  }
  std::map<std::string, std::set<std::thread::id>> threads;

  int GetLogOnInfo(desktop::LoginRecord* record) override {
    Note("GetLogOnInfo");
    std::memset(record, 0, sizeof *record);
    std::strncpy(record->email, account.c_str(), sizeof record->email - 1);
    return 0;
  }
  int GetDefShare(std::string&) override { return 0; }
  int SetDefShare(const std::string& base) override {
    defShareCalls.push_back(base);
    return defShareResult;
  }
  int GetShare() override { return 0; }
  int SetShare(const std::vector<std::string>* add, const std::vector<std::string>* remove) override {
    Note("SetShare");
    std::lock_guard<std::mutex> g(m_lock);
    ++setShareCalls;
    shares = desktop::MergeShareList(shares, add, remove);
    return 0;
  }
  std::vector<std::string> Shares() {
    std::lock_guard<std::mutex> g(m_lock);
    return shares;
  }
  int GetLogOnStatus() override {
    Note("GetLogOnStatus");
    return 1;
  }
  int GetMobileState() override { return 1; }
  int SetServerAddr(const std::string&) override { return 0; }
  int GetTransLog() override {
    if (m_pages)
      for (const auto& r : log) m_pages->OnTransLogItem(r);
    return 0;
  }
  // On the pages' worker: what the service would answer now.
  int ReadShares(std::vector<std::string>& out) override {
    Note("ReadShares");
    std::lock_guard<std::mutex> g(m_lock);
    out = shares;
    return 0;
  }
  int ReadTransLog(std::vector<desktop::TransLogRecord>& out) override {
    Note("ReadTransLog");
    std::lock_guard<std::mutex> g(m_lock);
    out = log;
    ++transLogReads;
    return 0;
  }
  int transLogReads = 0;
  int GetPath(const std::string&) override { return 0; }
  int GetSysType() override { return 2; }
  int AnswerMobileLogin(const desktop::MobileLoginAnswer* a) override {
    std::lock_guard<std::mutex> g(m_lock);
    m_answers.emplace_back(a->requestId, a->accept);
    return 0;
  }
  int SetPwd(const std::string&) override { return 0; }
  int GetPwd(std::string&) override { return 0; }
  int RefreshDataFolder() override { return 0; }
  bool SharesLoaded() const override { return loaded; }

 private:
  std::mutex m_lock;
  std::vector<std::pair<uint32_t, int>> m_answers;
  desktop::CMainPages* m_pages = nullptr;
};

// A skinned window of the main window's size with its four page buttons.
class PagesWindow : public desktop::IPagesHost {
 public:
  PagesWindow(const std::string& windowTitle, desktop::IUIData* ui) : title(windowTitle), m_ui(ui) {
    dialog = new CDiyDialog(nullptr, 129, 337, wxString(windowTitle));
    dialog->m_dialogKind = 129;
    dialog->SetSize(484, 426);
    const struct {
      int id, x, icon;
    } buttons[] = {{kPageAccount, 1, 339}, {kPageShares, 122, 311}, {kPageTransLog, 243, 308}, {kPageSettings, 364, 310}};
    for (const auto& b : buttons) {
      auto* button = new CSettingButton(dialog, b.id, wxPoint(b.x, 156), wxSize(121, 31));
      button->m_faceImage = 338;
      button->m_iconImage = b.icon;
      m_buttons.push_back(button);
    }
  }
  ~PagesWindow() override { delete dialog; }  // now, before the shared language service goes

  // The user picks a language in the combo; the window's texts follow at once.
  void SelectLanguage(desktop::CMainPages& pages, int language) {
    auto* combo = static_cast<CColorCombobox*>(dialog->FindWindow(desktop::kLanguageCombo));
    combo->SetCurSel(language);
    pages.OnCbnSelchangeLanguage();
    pages.OnLanguageChanged();
  }

  wxWindow* Window() override { return dialog; }
  ILanguages* Languages() override { return dialog->Languages(); }
  desktop::IUIData* UIData() override { return m_ui; }
  CSettingButton* PageButton(int id) override {
    for (CSettingButton* b : m_buttons)
      if (b->GetId() == id) return b;
    return nullptr;
  }
  void HideWindow() override { ++hides; }
  int ShowMessage(const std::wstring& text, const std::wstring&) override {
    messages.push_back(text);
    return 1;
  }
  std::string ChooseFolder(const std::wstring&, const std::string&) override {
    if (folders.empty()) return "";
    const std::string f = folders.front();
    if (folders.size() > 1) folders.pop_front();
    return f;
  }
  IServiceControlHost* ServiceHost() override { return nullptr; }

  std::string title;
  CDiyDialog* dialog;
  std::deque<std::string> folders;  // what the folder chooser gives, in turn (the last stays)
  std::vector<std::wstring> messages;
  int hides = 0;

 private:
  desktop::IUIData* m_ui;
  std::vector<CSettingButton*> m_buttons;
};

// Runs step every 50 ms on the main thread (inside any modal loop) until it returns true.
class ScriptedUser : public wxTimer {
 public:
  explicit ScriptedUser(std::function<bool()> step) : m_step(std::move(step)) { Start(50); }
  void Notify() override {
    if (m_done) return;
    if (m_step()) {
      m_done = true;
      Stop();
    }
  }

 private:
  std::function<bool()> m_step;
  bool m_done = false;
};
