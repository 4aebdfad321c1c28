#include "desktop/app/site/html_dlg.h"

#include <gtk/gtk.h>
#include <wx/filename.h>
#include <wx/webview.h>

#include <fstream>
#include <sstream>

#include "desktop/app/support/dialog_ui.h"
#include "desktop/app/site/site_http.h"
#include "desktop/app/update/update_info.h"
#include "desktop/app/site/web_pages.h"
#include "desktop/foundation/sys_utils.h"

namespace {

constexpr long kBannerTimeoutMs = 5000;
constexpr size_t kMaxBannerBytes = 256 * 1024;
// How long after a click its navigation may still come (the page's own handler runs first).
constexpr auto kGestureWindow = std::chrono::seconds(2);

gboolean OnViewInput(GtkWidget*, GdkEvent* event, gpointer self) {
  if (event->type == GDK_BUTTON_RELEASE ||
      (event->type == GDK_KEY_PRESS && (event->key.keyval == GDK_KEY_Return ||
                                        event->key.keyval == GDK_KEY_KP_Enter || event->key.keyval == GDK_KEY_space)))
    static_cast<CHtmlDlg*>(self)->NoteUserGesture();
  return FALSE;  // the view handles the event as always
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}


}  // namespace

CHtmlDlg::CHtmlDlg(wxWindow* parent, const wxPoint& pos, const wxSize& size)
    : wxPanel(parent, wxID_ANY, pos, size, wxBORDER_NONE) {
  m_localPage = GetAppDataDir() + "/HtmlDlg.htm";
  SetBackgroundColour(wxColour(0xEE, 0xF2, 0xF5));
  if (!wxWebView::IsBackendAvailable(wxWebViewBackendDefault)) return;
  m_view = wxWebView::New(this, wxID_ANY, wxWebViewDefaultURLStr, wxPoint(0, 0), size);
  if (!m_view) return;
  m_view->EnableContextMenu(false);
  m_view->Bind(wxEVT_WEBVIEW_NAVIGATING, &CHtmlDlg::OnNavigating, this);
  m_view->Bind(wxEVT_WEBVIEW_ERROR, &CHtmlDlg::OnError, this);
  m_view->Bind(wxEVT_WEBVIEW_NEWWINDOW, &CHtmlDlg::OnNewWindow, this);
  // Only input from the window system counts as the user's: a script's click() is not seen here.
  if (auto* widget = static_cast<GtkWidget*>(m_view->GetNativeBackend())) {
    g_signal_connect(widget, "button-release-event", G_CALLBACK(OnViewInput), this);
    g_signal_connect(widget, "key-press-event", G_CALLBACK(OnViewInput), this);
  }
  Bind(wxEVT_SIZE, [this](wxSizeEvent& e) {
    if (m_view) m_view->SetSize(GetClientSize());
    e.Skip();
  });
}

std::string CHtmlDlg::LocalPicture(int language) {
  const char* name = language == 1 ? "banner_en.gif" : language == 2 ? "banner_tw.gif" : "banner_ch.gif";
  return GetAppDataDir() + "/" + name;
}

std::string CHtmlDlg::LocalPageHtml(const std::string& pageText, const std::string& pictureUri) {
  std::string page = pageText.empty() ? "<html><body></body></html>" : pageText;
  const std::string img = "<img src=\"" + pictureUri + "\">";
  std::string lower = page;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  const size_t body = lower.rfind("</body>");
  if (body == std::string::npos) return page + img;
  return page.insert(body, img);
}

bool CHtmlDlg::StaysInBanner(const std::string& url, const std::string& target) {
  if (url.empty() || url == "about:blank" || url == target) return true;
  if (url.compare(0, 7, "file://") == 0) return false;  // only the fallback loads a local page
  // The banner page itself, also after a redirect within its site (another query, a slash).
  UrlParts to, banner;
  if (!ParseUrl(url, to) || !ParseUrl(target, banner)) return false;
  return UrlOrigin(to) == UrlOrigin(banner) &&
         to.path.compare(0, std::string("/quarlo/bannerpc").size(), "/quarlo/bannerpc") == 0;
}

void CHtmlDlg::NavigateTo(const std::string& url, int onLocalPage) {
  m_onLocalPage = onLocalPage;
  m_target = url;
  ++m_generation;
  if (onLocalPage) {
    ShowLocalBanner();
    return;
  }
  // The page comes over the site road (https with its certificate checked, or loopback) on a
  // worker; what cannot be had there is the local page.
  const int generation = m_generation;
  m_fetch.CancelPending();  // an older fetch ends at once (curl's progress callback)
  m_fetch.Run<HttpReply>(
      [url](const std::atomic<bool>& cancelled) { return HttpGet(url, kBannerTimeoutMs, kMaxBannerBytes, &cancelled); },
      [this, url, generation](HttpReply reply) {
        if (generation != m_generation) return;  // navigated again meanwhile
        if (reply.result != HttpResult::Ok || reply.code != 200) {
          NavigateTo(m_localPage, 1);
          return;
        }
        ++m_loads;
        if (m_view) m_view->SetPage(wxString::FromUTF8(reply.body), wxString::FromUTF8(url));
      });
}

CHtmlDlg::~CHtmlDlg() { m_fetch.Stop(); }

void CHtmlDlg::NavigateBanner() { NavigateTo(SiteUrl("/quarlo/bannerpc" + LanguageQuery(m_language)), 0); }

void CHtmlDlg::ShowLocalBanner() {
  m_onLocalPage = 1;
  if (!m_view) {
    ++m_loads;
    return;
  }
  const std::string picture =
      wxFileName::FileNameToURL(wxFileName(wxString::FromUTF8(LocalPicture(m_language)))).ToStdString(wxConvUTF8);
  const std::string base =
      wxFileName::FileNameToURL(wxFileName(wxString::FromUTF8(m_localPage))).ToStdString(wxConvUTF8);
  m_target = base;
  ++m_loads;
  // The page is built with its picture once, so a reload never adds a second one.
  m_view->SetPage(wxString::FromUTF8(LocalPageHtml(ReadText(m_localPage), picture)), wxString::FromUTF8(base));
}

void CHtmlDlg::OnNavigating(wxWebViewEvent& event) {
  const std::string url = event.GetURL().ToStdString(wxConvUTF8);
  if (m_onLocalPage && (url == m_target || url == "about:blank" || url.empty())) return;
  if (!m_onLocalPage && StaysInBanner(url, m_target)) return;
  event.Veto();
  OpenOnGesture(event.GetURL());
}

void CHtmlDlg::OnNewWindow(wxWebViewEvent& event) { OpenOnGesture(event.GetURL()); }

void CHtmlDlg::OpenOnGesture(const wxString& url) {
  const auto now = std::chrono::steady_clock::now();
  const bool fresh = m_gestureAt != std::chrono::steady_clock::time_point{} && now - m_gestureAt <= kGestureWindow;
  if (!fresh) {
    ++m_heldBack;
    return;
  }
  m_gestureAt = {};
  m_lastExternal = url.ToStdString(wxConvUTF8);
  OpenInBrowser(m_lastExternal);
}

void CHtmlDlg::OnError(wxWebViewEvent& event) {
  // The site cannot be reached: show the local page once (its own failure ends here).
  if (m_onLocalPage || event.GetInt() == wxWEBVIEW_NAV_ERR_USER_CANCELLED) return;
  m_onLocalPage = 1;
  // After the view has finished with the failed load, or its error page would replace ours.
  CallAfter([this] { NavigateTo(m_localPage, 1); });
}
