#include "desktop/app/main_window/main_pages.h"

#include <wx/textctrl.h>

#include <algorithm>

#include "desktop/app/prompts/connect_dlg.h"
#include "desktop/app/site/site_http.h"
#include "desktop/app/site/web_pages.h"
#include "desktop/foundation/data_paths.h"
#include "desktop/foundation/languages.h"
#include "desktop/foundation/move_progress.h"
#include "desktop/foundation/service_control.h"
#include "desktop/foundation/skin_buttons.h"
#include "desktop/foundation/skin_controls.h"
#include "desktop/foundation/skin_image.h"
#include "desktop/foundation/skin_list.h"
#include "desktop/foundation/sys_utils.h"
#include "desktop/foundation/text_encodings.h"
#include "desktop/foundation/ui_config.h"
#include "platform/registry.h"

namespace desktop {

namespace {

wxString W(const std::string& utf8) { return wxString::FromUTF8(utf8); }

const int kPageIds[4] = {kPageShares, kPageSettings, kPageTransLog, kPageAccount};

}  // namespace

CMainPages::CMainPages()
    : m_queue([this](const MobileLoginAnswer& a) {
        IUIData* ui = m_host ? m_host->UIData() : nullptr;
        if (ui) ui->AnswerMobileLogin(&a);
      }) {}

CMainPages::~CMainPages() {
  Stop();
  *m_alive = false;
}

ILanguages* CMainPages::L() const { return m_host ? m_host->Languages() : nullptr; }

std::wstring CMainPages::Text(const char* section, const char* key) const {
  ILanguages* l = L();
  return l ? l->GetText(section, key) : std::wstring();
}

void CMainPages::Create(IPagesHost& host) {
  m_host = &host;
  wxWindow* w = host.Window();
  ILanguages* l = L();
  const wxFont status = MakeLanguageFont(l, "FONT_SETTING_STATUS", false);
  const wxFont buttonFont = MakeLanguageFont(l, "FONT_SETTING_BUTTON", false);
  const wxFont okFont = MakeLanguageFont(l, "FONT_LOGIN_LOGIN", false);
  const wxFont editFont = MakeLanguageFont(l, "FONT_SETTING_EDIT", false);
  auto button = [&](int id, wxPoint at, wxSize size, const wxFont& font, int normal, int pressed) {
    auto* b = new CColorButton(w, id, at, size);
    b->m_normalImage = b->m_hoverImage = b->m_disabledImage = normal;
    b->m_pressedImage = pressed;
    b->m_textColour = 0xFF434343;
    if (font.IsOk()) b->SetTextFont(font);
    return b;
  };
  auto label = [&](int id, wxPoint at, wxSize size, uint32_t colour) {
    auto* s = new CDiyStatic(w, id, "", at, size);
    if (status.IsOk()) s->SetTextFont(status);
    s->m_textColour = colour;
    s->SetStringFormat(TextFormat{TextAlign::Near, TextAlign::Center, false});
    return s;
  };

  // Shares.
  m_shareList = new CQVListCtrl(w, kShareList, wxPoint(14, 196), wxSize(456, 134));
  m_shareList->InsertColumn(0, "", ColumnFormat::Left, 130);
  m_shareList->InsertColumn(1, "", ColumnFormat::Left, 218);
  m_shareList->SetColumnEllipsis(1, EllipsisAt::Middle);
  m_shareList->Body()->Bind(wxEVT_LISTBOX, [this](wxCommandEvent&) { OnShareListClick(); });
  m_shareList->Body()->Bind(wxEVT_LISTBOX_DCLICK, [this](wxCommandEvent&) { OnShareListDoubleClick(); });
  m_shareList->Body()->Bind(wxEVT_RIGHT_DOWN, [this](wxMouseEvent& e) {
    // A right click selects the row under the pointer, as a left click would.
    const int row = m_shareList->Body()->VirtualHitTest(e.GetY());
    if (row != wxNOT_FOUND) m_shareList->SetSelection(row);
    UpdateDeleteButton();
  });
  m_add = button(kAddShare, wxPoint(310, 336), wxSize(73, 25), buttonFont, 345, 346);
  m_delete = button(kDeleteShare, wxPoint(392, 336), wxSize(73, 25), buttonFont, 345, 346);
  m_delete->Enable(false);
  // Settings.
  m_heading1 = label(kSettingHeading1, wxPoint(31, 198), wxSize(420, 20), 0xFF888888);
  m_autoStart = button(kAutoStartBox, wxPoint(31, 222), wxSize(220, 20), status, 0, 0);
  m_autoStart->m_style = CColorButton::kCheck;
  m_autoStart->m_textColour = 0xFF787878;
  m_start = label(kStartStatic, wxPoint(31, 244), wxSize(420, 20), 0xFF323232);
  m_heading2 = label(kSettingHeading2, wxPoint(31, 272), wxSize(420, 20), 0xFF888888);
  m_languageLabel = label(kLanguageLabel, wxPoint(31, 298), wxSize(120, 21), 0xFF323232);
  m_language = new CColorCombobox(w, kLanguageCombo, wxPoint(160, 298), wxSize(150, 21));
  m_language->m_textColour = 0xFF323232;
  if (editFont.IsOk()) m_language->SetTextFont(editFont);
  m_language->Bind(wxEVT_COMBOBOX, [this](wxCommandEvent&) { OnCbnSelchangeLanguage(); });
  m_folderLabel = label(kDataFolderLabel, wxPoint(31, 326), wxSize(120, 20), 0xFF323232);
  // The field's frame is the skin's picture behind it (274 x 26 at (29, 349), drawn on this
  // page only): the entry draws none of its own, or the two frames would show side by side,
  // and sits inside the picture's frame with a margin before the text.
  m_edit = new wxTextCtrl(w, kDataFolderEdit, "", wxPoint(35, 351), wxSize(264, 22),
                          wxTE_READONLY | wxBORDER_NONE);
  m_edit->SetBackgroundColour(*wxWHITE);
  m_edit->SetForegroundColour(*wxBLACK);
  if (editFont.IsOk()) m_edit->SetFont(editFont);
  m_moveFolder = button(kMoveFolderButton, wxPoint(310, 349), wxSize(73, 25), buttonFont, 342, 343);
  // Transfer log.
  m_transList = new CQVListCtrl(w, kTransLogList, wxPoint(14, 196), wxSize(456, 178));
  m_transList->SetSmallImages({kTransLogImages[0], kTransLogImages[1]});
  // The time column takes what a whole time needs in the list's font ("2026-12-11 09:12:03"),
  // at least its 138 pixels; the name column gives up the rest.
  const int timeWidth = std::max(138, m_transList->Body()->GetTextExtent("0000-00-00 00:00:00").x + 12);
  m_transList->InsertColumn(0, "", ColumnFormat::Left, 219 + 138 - timeWidth);
  m_transList->InsertColumn(1, "", ColumnFormat::Left, 76);
  m_transList->InsertColumn(2, "", ColumnFormat::Left, timeWidth);
  // A long name keeps its extension in sight.
  m_transList->SetColumnEllipsis(0, EllipsisAt::Middle);
  for (CQVListCtrl* list : {m_shareList, m_transList}) {
    CQVHeaderCtrl* header = list->Header();
    header->m_textColour = 0xFF323232;
    header->m_separator = header->m_bottomLine = 0xFFD7D7D7;
    if (status.IsOk()) header->SetHeaderFont(status);
  }
  // Account.
  m_accountLine = label(kAccountLine, wxPoint(31, 215), wxSize(420, 22), 0xFF323232);
  m_link = new CLinkButtonCtrl(w, kChangePasswordLink, wxPoint(31, 245), wxSize(100, 14));
  m_link->m_textColour = 0xFF1380C6;
  const wxFont linkFont = MakeLanguageFont(l, "FONT_LOGIN_REGISTER", true);
  if (linkFont.IsOk()) m_link->SetTextFont(linkFont);
  m_link->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    OpenInBrowser(m_linkUrl);
  });
  m_switchAccount = button(kSwitchAccount, wxPoint(31, 275), wxSize(100, 25), buttonFont, 340, 341);
  m_switchAccount->m_textColour = 0xFF41799C;
  // Every page.
  m_ok = button(kOkButton, wxPoint(300, 388), wxSize(73, 25), okFont, 340, 341);
  m_cancel = button(kCancelButton, wxPoint(385, 388), wxSize(73, 25), okFont, 340, 341);

  w->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedAddShare(); }, kAddShare);
  w->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedDeleteShare(); }, kDeleteShare);
  w->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedOk(); }, kOkButton);
  w->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedCancel(); }, kCancelButton);
  w->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnBnClickedMoveFolder(); }, kMoveFolderButton);
  w->Bind(wxEVT_CHECKBOX, [this](wxCommandEvent&) { OnBnClickedAutoStart(); }, kAutoStartBox);

  // Requests from the push reader reach the main thread through the window's own queue of
  // events, which wx empties when the window goes, and through a relay that is cut first.
  std::weak_ptr<bool> alive = m_alive;
  m_relay->Attach([this, w, alive](const MobileLoginRequest& request) {
    w->CallAfter([this, alive, request] {
      if (alive.expired() || !*alive.lock()) return;
      if (m_queue.Push(request)) ShowNextPrompt();
    });
  });
  ShowPage(kPageShares);
}

void CMainPages::ApplyLanguageTexts() {
  if (!m_shareList) return;
  ILanguages* l = L();
  if (l && !l->HasTexts()) l->Reload();
  auto t = [this](const char* key) { return wxString(Text("UI", key)); };
  auto column = [this](CQVListCtrl* list, int c, const wxString& text) {
    list->Header()->SetColumnText(c, text);
    m_columnTitles[list->GetId() * 10 + c] = text.ToStdWstring();
  };
  column(m_shareList, 0, t("SETTING_LISTBOX_FOLDER"));
  column(m_shareList, 1, t("SETTING_LISTBOX_PATH"));
  column(m_transList, 0, t("SETTING_LISTBOX_TRANS_FILENAME"));
  column(m_transList, 1, t("SETTING_LISTBOX_TRANS_SIZE"));
  column(m_transList, 2, t("SETTING_LISTBOX_TRANS_TIME"));
  m_languageLabel->SetLabel(t("SETTING_STATIC_LANGUAGESET"));
  m_folderLabel->SetLabel(t("SETTING_STATIC_DATAFOLDER"));
  m_heading1->SetLabel(t("SETTING_STATIC_SETTING1"));
  m_start->SetLabel(t("SETTING_STATIC_START"));
  m_heading2->SetLabel(t("SETTING_STATIC_SETTING2"));
  const struct {
    int id;
    const char* key;
  } pages[] = {{kPageSettings, "SETTING_BUTTON_SETTING"}, {kPageShares, "SETTING_BUTTON_SHARE"},
               {kPageTransLog, "SETTING_BUTTON_TRANS"}, {kPageAccount, "SETTING_BUTTON_ACCOUNT"}};
  for (const auto& p : pages)
    if (CSettingButton* b = m_host->PageButton(p.id)) b->SetCaption(t(p.key));
  m_ok->SetText(t("SETTING_BUTTON_OK"));
  m_cancel->SetText(t("SETTING_BUTTON_CANCEL"));
  m_add->SetText(t("SETTING_BUTTON_ADD"));
  m_delete->SetText(t("SETTING_BUTTON_DELETE"));
  m_autoStart->SetText(t("SETTING_CHECKBOX_AUTOSTART"));
  m_moveFolder->SetText(t("SETTING_BUTTON_MOVEFOLDER"));
  m_moveFolder->SetToolTip(t("SETTING_HELP") + t("SETTING_HELP2"));
  // The combo's three names, in language-id order.
  m_language->SetCurSel(-1);
  m_language->ResetContent();
  m_language->InsertItem(0, wxString(Text("LANGUAGE", "LANGUAGE_CHINESESIMPLIFIED")));
  m_language->InsertItem(1, wxString(Text("LANGUAGE", "LANGUAGE_ENGLISH")));
  m_language->InsertItem(2, wxString(Text("LANGUAGE", "LANGUAGE_CHINESETRAD")));
  m_language->SetCurSel(l ? l->GetLanguage() : 1);
  RefreshAccountInfo();
  m_host->Window()->Refresh();
}

void CMainPages::OnLanguageChanged() {
  ApplyLanguageTexts();
  // The account page's link and captions follow the language the next time it is filled.
  m_accountPageFresh = false;
}

void CMainPages::ShowControlsOf(int page) {
  wxWindow* shares[] = {m_shareList, m_add, m_delete};
  wxWindow* settings[] = {m_heading1, m_autoStart, m_start, m_heading2, m_languageLabel,
                          m_language, m_folderLabel, m_edit, m_moveFolder};
  wxWindow* trans[] = {m_transList};
  wxWindow* account[] = {m_accountLine, m_link, m_switchAccount};
  for (wxWindow* c : shares) c->Show(page == kPageShares);
  for (wxWindow* c : settings) c->Show(page == kPageSettings);
  for (wxWindow* c : trans) c->Show(page == kPageTransLog);
  for (wxWindow* c : account) c->Show(page == kPageAccount);
  if (page == kPageAccount) m_link->Show(!m_linkUrl.empty());
}

void CMainPages::ShowPage(int id) {
  if (!m_shareList) return;
  if (id == kPageSettings) {
    // The Run value is read again even when the page is showing.
    std::string value;
    const int rc = Reg_GetString(RegRoot::CurrentUser, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", "Quarlo", value);
    m_autoStart->SetCheck(rc == kRegOk);
  }
  const bool same = id == m_page && !(id == kPageAccount && !m_accountPageFresh);
  if (same) return;
  m_page = id;
  if (auto* dlg = dynamic_cast<CDiyDialog*>(m_host->Window())) {
    dlg->m_decorationFlag = id == kPageSettings ? 1 : 0;
    dlg->InvalidateBackdrop();
  }
  for (int p : kPageIds)
    if (CSettingButton* b = m_host->PageButton(p)) {
      b->m_lightFace = p == id;
      b->Refresh();
    }
  ShowControlsOf(id);
  if (id == kPageSettings) {
    m_language->SetCurSel(L() ? L()->GetLanguage() : 1);
    // Opening the page discards a chosen base folder that was not applied.
    const std::string base = BaseFolderOf(m_dataFolder);
    m_editText = base.empty() ? m_dataFolder : base;
    m_edit->ChangeValue(W(m_editText));
    m_dataFolderChanged = false;
  } else if (id == kPageTransLog) {
    m_transList->DeleteAllItems();
    if (IUIData* ui = m_host->UIData()) {
      // A page opened again meanwhile asks again: only the newest answer fills the list (the
      // other requests queued, Apply's among them, still go out).
      const int generation = ++m_transLogGeneration;
      m_tasks.Run<std::vector<TransLogRecord>>(
          [ui](const std::atomic<bool>&) {
            std::vector<TransLogRecord> records;
            ui->ReadTransLog(records);
            return records;
          },
          [this, generation](std::vector<TransLogRecord> records) {
            if (generation != m_transLogGeneration) return;
            m_transList->DeleteAllItems();
            for (const TransLogRecord& r : records) OnTransLogItem(r);
          });
    }
  } else if (id == kPageAccount) {
    RefreshAccountInfo();
    m_accountPageFresh = true;
  }
  m_host->Window()->Refresh();
}

// ---- shares ----

void CMainPages::OnShareItem(const std::string& folder) {
  if (m_shareList) AddShareToList(folder, -1, *m_shareList);
}

void CMainPages::ClearShareList() {
  if (m_shareList) m_shareList->DeleteAllItems();
  m_edits.Clear();
}

void CMainPages::SetDataFolder(const std::string& folder) {
  if (!m_shareList) {
    m_dataFolder = folder;
    return;
  }
  if (!m_dataFolder.empty()) RemoveShareFromList(*m_shareList, m_dataFolder);
  m_dataFolder = folder;
  if (folder.empty()) return;
  // The category folders inside the folder the service names, whatever its own name is.
  DefShareInfo info;
  info.path[0] = folder;
  const char* const keys[4] = {"PICTURE", "MUSIC", "VIDEO", "DOCUMENT"};
  for (int i = 0; i < 4; ++i) info.path[i + 1] = JoinPath(folder, LocalizedFolderName(keys[i]));
  info.path[5] = JoinPath(info.path[1], LocalizedFolderName("INSTANT"));
  std::string error;
  if (!CreateCategoryFolders(info, &error)) {
    // Phones would find no place for their files: the user hears of it.
    std::fprintf(stderr, "Quarlo: cannot make the folder %s\n", error.c_str());
    m_host->ShowMessage(Text("MESSAGEBOX", "MSGBOX_MOVEFOLDER_FAILED") + L"\n" + wxString::FromUTF8(error).ToStdWstring(),
                        Text("UI", "DIALOG_TITLE"));
  }
  AddShareToList(folder, -1, *m_shareList);
}

void CMainPages::UpdateDeleteButton() {
  const int row = m_shareList->GetSelection();
  const bool enable = row >= 0 && m_shareList->RowText(row, 1) != m_dataFolder;
  if (m_delete->IsEnabled() != enable) {
    m_delete->Enable(enable);
    m_delete->Refresh();
  }
}

void CMainPages::OnShareListClick() { UpdateDeleteButton(); }

void CMainPages::OnShareListDoubleClick() {
  const int row = m_shareList->GetSelection();
  if (row < 0) return;
  const std::string path = m_shareList->RowText(row, 1);
  OpenFolder(path);
}

void CMainPages::OnBnClickedAddShare() {
  IUIData* ui = m_host->UIData();
  if (ui && !ui->SharesLoaded()) return;  // edits before the list is known would replace it
  const std::string folder = m_host->ChooseFolder(Text("OTHER", "OTHER_SELECTFLODER"), "");
  if (folder.empty()) return;
  const int rc = AddShareToList(folder, -1, *m_shareList);
  if (rc == -1) m_host->ShowMessage(Text("MESSAGEBOX", "MSGBOX_SHARESAMEFOLDER"), Text("UI", "DIALOG_TITLE"));
  else if (rc == 1) m_edits.Added(folder);
}

void CMainPages::OnBnClickedDeleteShare() {
  const int row = m_shareList->GetSelection();
  if (row < 0) return;
  const std::string path = m_shareList->RowText(row, 1);
  if (path == m_dataFolder) return;  // the data folder stays shared
  m_shareList->DeleteRow(row);
  m_edits.Removed(path, row);
  UpdateDeleteButton();
}

void CMainPages::OnBnClickedApply() {
  IUIData* ui = m_host->UIData();
  if (!m_edits.Empty() && ui && ui->SharesLoaded()) {
    auto adds = std::make_shared<std::vector<std::string>>();
    auto removes = std::make_shared<std::vector<std::string>>();
    m_edits.Fold(*adds, *removes);
    // The service's answer is not awaited (the list shows the user's edits): off the main thread.
    if (!adds->empty() || !removes->empty())
      m_tasks.Run([ui, adds, removes](const std::atomic<bool>&) { ui->SetShare(adds.get(), removes.get()); });
    m_edits.Clear();
  } else if (!ui) {
    m_edits.Clear();
  }
  if (m_dataFolderChanged) {
    m_dataFolderChanged = false;
    MoveDataFolder(m_editText);
  }
  if (m_autoStartChanged) {
    m_autoStartChanged = false;
    if (IServiceControlHost* sh = m_host->ServiceHost()) ApplyAutoStart(*sh, m_autoStart->GetCheck(), true);
  }
}

void CMainPages::OnBnClickedOk() {
  OnBnClickedApply();
  m_host->HideWindow();
}

void CMainPages::OnBnClickedCancel() {
  m_autoStartChanged = false;
  m_dataFolderChanged = false;
  m_edits.Undo(*m_shareList);
  m_edits.Clear();
  m_host->HideWindow();
}

// ---- settings ----

void CMainPages::OnBnClickedMoveFolder() {
  const std::string folder =
      m_host->ChooseFolder(Text("OTHER", "OTHER_SELECTFLODER"), BaseFolderOf(m_dataFolder));
  if (folder.empty()) return;  // nothing chosen: nothing changes
  m_editText = folder;
  m_edit->ChangeValue(W(folder));
  m_dataFolderChanged = true;
}

void CMainPages::OnBnClickedAutoStart() { m_autoStartChanged = !m_autoStartChanged; }

void CMainPages::OnCbnSelchangeLanguage() {
  const int index = m_language->GetCurSel();
  ILanguages* l = L();
  if (index >= 0 && index <= 2 && l) {
    UiConfig* config = UiConfig::GetInstance();
    l->SetLanguage(index);  // every registered window hears of it
    if (config) config->WriteLanguage(std::to_string(l->GetLanguage()), true);
  }
  m_host->Window()->Refresh();
  if (!m_dataFolder.empty())
    if (IUIData* ui = m_host->UIData()) ui->RefreshDataFolder();
}

std::string CMainPages::DataFolderEditText() const { return m_editText; }

int CMainPages::MoveDataFolder(const std::string& newBase) {
  IUIData* ui = m_host->UIData();
  if (!ui || newBase.empty()) return 0;
  // The same folder however it is written moves nothing and says nothing.
  if (SameFolder(newBase, BaseFolderOf(m_dataFolder))) return 0;
  const std::wstring title = Text("UI", "DIALOG_TITLE");
  // A copy to another file system runs on a worker behind a progress dialog.
  if (auto* client = dynamic_cast<CUIData*>(ui))
    client->SetMover(MakeProgressMover(m_host->Window(), wxString(title),
                                       wxString(Text("UI", "SETTING_STATIC_DATAFOLDER")) + " " + W(DataFolderUnder(newBase))));
  const int rc = ui->SetDefShare(newBase);
  if (rc == 1) return 0;
  if (rc == -2) m_host->ShowMessage(Text("MESSAGEBOX", "MSGBOX_MOVEFOLDER_FAILED_DEL"), title);
  if (rc != 0 && rc != -2) {
    m_host->ShowMessage(Text("MESSAGEBOX", rc == -1 ? "MSGBOX_MOVEFOLDER_FAILED_COPY" : "MSGBOX_MOVEFOLDER_FAILED"), title);
    m_editText = BaseFolderOf(m_dataFolder);
    if (m_edit) m_edit->ChangeValue(W(m_editText));
    return rc;
  }
  if (m_shareList) RemoveShareFromList(*m_shareList, m_dataFolder);
  m_dataFolder = DataFolderUnder(newBase);
  ui->RefreshDataFolder();
  if (m_shareList) AddShareToList(m_dataFolder, -1, *m_shareList);
  return rc == -2 ? 0 : rc;
}

// ---- transfer log and account ----

void CMainPages::OnTransLogItem(const TransLogRecord& record) {
  const std::string file(record.file, strnlen(record.file, sizeof record.file));
  const std::string time(record.time, strnlen(record.time, sizeof record.time));
  AddTransLogRow(file, FormatFileSize(record.size), record.type, time);
}

void CMainPages::AddTransLogRow(const std::string& path, const std::string& sizeText, int type,
                                const std::string& time) {
  const auto row = MakeTransLogRow(path, sizeText, type, time);
  if (!row || !m_transList) return;
  m_transList->InsertItem(0, W(row->name));
  m_transList->SetItemImage(0, row->image);
  m_transList->SetItemText(0, 1, W(row->size));
  m_transList->SetItemText(0, 2, W(row->time));
}

void CMainPages::RefreshAccountInfo() {
  if (!m_accountLine) return;
  ShowAccount(m_account);
  IUIData* ui = m_host->UIData();
  if (!ui) return;
  m_tasks.Run<std::string>(
      [ui](const std::atomic<bool>&) {
        LoginRecord record{};
        if (ui->GetLogOnInfo(&record) != 0) return std::string();
        return std::string(record.email, strnlen(record.email, sizeof record.email));
      },
      [this](std::string account) {
        if (!account.empty()) ShowAccount(account);
      });
}

void CMainPages::ShowAccount(const std::string& account) {
  const bool valid = account.size() > 1 && IsValidEmail(account.c_str());
  std::wstring text = Text("UI", "SETTING_STATIC_ACCOUNT");
  m_link->SetLinkText(wxString(Text("UI", "SETTING_LINK_CHANGEPASSWORD")));  // shown only when valid
  if (valid) {
    text += wxString::FromUTF8(account).ToStdWstring();
    m_switchAccount->SetText(wxString(Text("UI", "SETTING_BUTTON_SWITCH_ACCOUNT")));
    m_linkUrl = SiteUrl("/changepwd.html?MAIL=" + PercentEncodeUtf8(account));
    const bool english = L() && L()->GetLanguage() == kLangEnglish;
    m_link->SetSize(english ? 100 : 60, 14);
  } else {
    text += Text("UI", "SETTING_STATIC_NOTLOGGEDIN");
    m_switchAccount->SetText(wxString(Text("UI", "SETTING_BUTTON_LOGIN")));
    m_linkUrl.clear();
  }
  m_link->Show(valid && m_page == kPageAccount);
  m_accountLine->SetLabel(wxString(text));
}

// ---- phone log-in requests ----

void CMainPages::QueueMobileLoginRequest(const MobileLoginRequest* request) {
  if (request) m_relay->Deliver(*request);
}

void CMainPages::ShowNextPrompt() {
  if (m_stopped || m_prompt) return;
  const std::shared_ptr<bool> alive = m_alive;  // this object may go during a prompt
  while (auto next = m_queue.TakeNext()) {
    ShowConnectDlg(*next);
    if (!*alive || m_stopped) return;
  }
}

void CMainPages::ShowConnectDlg(const MobileLoginRequest& request) {
  std::shared_ptr<bool> alive = m_alive;
  CConnectDlg dialog(nullptr, request);
  dialog.SetCallback(this);
  dialog.SetTimeLimit(static_cast<int>(kRefuseAtAge) - static_cast<int>(request.age));
  m_prompt = &dialog;
  dialog.CentreOnScreen();
  dialog.ShowModal();
  if (!*alive) return;  // the pages went while the prompt was open: touch nothing of theirs
  m_prompt = nullptr;
  // Answered, refused by its age or dismissed: the request is over either way, and the next
  // phone's prompt may come.
  m_queue.CloseOpen(request.requestId);
}

void CMainPages::OnMobileLoginAnswer(const MobileLoginAnswer* answer) {
  if (answer) m_queue.AnswerOpen(answer->requestId, answer->accept == 1);
}

bool CMainPages::ServeWaitingRequest() {
  if (m_prompt) {
    m_prompt->Raise();
    return true;
  }
  if (m_queue.Waiting() == 0) return false;
  ShowNextPrompt();
  return true;
}

void CMainPages::MobileLoginRequestAgeTimer() {
  m_queue.Tick();
  if (m_prompt && m_queue.OpenExpired()) m_prompt->Dismiss();  // refused already
}

void CMainPages::Stop() {
  if (m_stopped) return;
  m_stopped = true;
  m_tasks.Stop();
  m_relay->Detach();
  m_queue.Shutdown();
  if (m_prompt) m_prompt->Dismiss();
}

std::map<int, std::wstring> CMainPages::Texts() const {
  std::map<int, std::wstring> out = m_columnTitles;
  if (!m_shareList) return out;
  const CDiyStatic* statics[] = {m_languageLabel, m_folderLabel, m_heading1, m_start, m_heading2, m_accountLine};
  for (const CDiyStatic* s : statics) out[s->GetId()] = s->GetLabel().ToStdWstring();
  const CColorButton* buttons[] = {m_ok, m_cancel, m_add, m_delete, m_autoStart, m_moveFolder, m_switchAccount};
  for (const CColorButton* b : buttons) out[b->GetId()] = b->GetText().ToStdWstring();
  for (int p : kPageIds)
    if (CSettingButton* b = m_host->PageButton(p)) out[p] = b->Caption().ToStdWstring();
  for (int i = 0; i < m_language->GetCount(); ++i) out[kLanguageCombo * 10 + i] = m_language->ItemTextAt(i).ToStdWstring();
  out[kChangePasswordLink] = m_link->LinkText().ToStdWstring();
  return out;
}

}  // namespace desktop

