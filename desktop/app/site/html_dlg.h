#pragma once
// The web banner: a page of the operator's site in an embedded web view, chosen by language.
// When the page cannot be loaded the banner shows the local page of the per-user folder with
// the banner picture of the language. The view never leaves the banner: a link the page
// opens elsewhere goes to the user's browser, only right after a click or key press of the user
// on the view (a page's script opens nothing by itself). No context menu.
#include <wx/panel.h>

#include <chrono>
#include <string>

#include "desktop/app/support/background_task.h"

class wxWebView;
class wxWebViewEvent;

class CHtmlDlg : public wxPanel {
 public:
  CHtmlDlg(wxWindow* parent, const wxPoint& pos, const wxSize& size);
  ~CHtmlDlg() override;

  void SetLanguage(int language) { m_language = language; }
  int Language() const { return m_language; }
  // The banner page of the site for the current language (flag 0), or the local page (1).
  void NavigateTo(const std::string& url, int onLocalPage);
  void NavigateBanner();  // SiteUrl("/quarlo/bannerpc") with the language's query
  void ShowLocalBanner();
  bool OnLocalPage() const { return m_onLocalPage != 0; }
  const std::string& Target() const { return m_target; }
  // Pages put in the view (the site's or the local one), the last address sent out to the
  // browser instead of the view, and the addresses held back for want of a user's click.
  int Loads() const { return m_loads; }
  const std::string& LastExternal() const { return m_lastExternal; }
  int HeldBack() const { return m_heldBack; }
  // A real input event on the view (from the window system, which no script can make).
  void NoteUserGesture() { m_gestureAt = std::chrono::steady_clock::now(); }

  // The local page's picture for a language, and the page as shown (the picture added once).
  static std::string LocalPicture(int language);
  static std::string LocalPageHtml(const std::string& pageText, const std::string& pictureUri);
  // True when a navigation to url stays in the banner (the page being loaded, the local page).
  static bool StaysInBanner(const std::string& url, const std::string& target);

 private:
  void OnNavigating(wxWebViewEvent& event);
  void OnError(wxWebViewEvent& event);
  void OnNewWindow(wxWebViewEvent& event);
  // Opens url in the browser when a user's gesture is fresh; each gesture opens one page.
  void OpenOnGesture(const wxString& url);

  wxWebView* m_view = nullptr;
  int m_language = 0;
  int m_onLocalPage = 0;
  std::string m_target;
  std::string m_localPage;
  int m_loads = 0;
  int m_generation = 0;
  std::string m_lastExternal;
  int m_heldBack = 0;
  std::chrono::steady_clock::time_point m_gestureAt{};  // none: the epoch
  CBackgroundTasks m_fetch;  // the page's fetch; a newer one cancels it, the end joins it
};
