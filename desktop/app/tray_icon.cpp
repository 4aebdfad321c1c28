#include "desktop/app/tray_icon.h"

#include <gio/gio.h>
#include <libayatana-appindicator/app-indicator.h>
#include <unistd.h>
#include <wx/app.h>
#include <wx/icon.h>
#include <wx/menu.h>
#include <wx/notifmsg.h>
#include <wx/taskbar.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "desktop/foundation/skin_controls.h"
#include "desktop/foundation/skin_image.h"

namespace {

// A picture the skin does not have yet: a disc in the state's colour, so the tray still tells
// the states apart.
wxImage StandInIcon(int icon) {
  unsigned char r = 150, g = 150, b = 150;
  switch (icon) {
    case 368: r = 40, g = 160, b = 80; break;
    case 239: r = 40, g = 110, b = 200; break;
    case 174: break;
    default: r = 230, g = 150, b = 40; break;
  }
  const int size = 22;
  wxImage image(size, size);
  image.InitAlpha();
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      const double dx = x - 10.5, dy = y - 10.5;
      const bool inside = dx * dx + dy * dy <= 9.5 * 9.5;
      image.SetRGB(x, y, r, g, b);
      image.SetAlpha(x, y, inside ? 255 : 0);
    }
  }
  return image;
}

wxImage TrayPicture(int icon) {
  wxImage image;
  if (LoadPngResource(image, icon)) return image;
  return StandInIcon(icon);
}

std::string PrivateIconFolder() {
  const char* runtime = g_get_user_runtime_dir();
  std::string pattern = std::string(runtime ? runtime : "/tmp") + "/quarlo-tray-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  if (!mkdtemp(buffer.data())) return "";
  return buffer.data();
}

class CTaskBar : public wxTaskBarIcon {
 public:
  explicit CTaskBar(ITrayHost& host) : m_host(host) {
    Bind(wxEVT_TASKBAR_LEFT_DOWN, [this](wxTaskBarIconEvent&) { m_host.OnTrayLeftClick(); });
    Bind(wxEVT_MENU, [this](wxCommandEvent& e) { m_host.OnTrayCommand(CDiyMenu::CommandOf(e.GetId())); });
  }

 protected:
  wxMenu* CreatePopupMenu() override { return m_host.BuildTrayMenu().release(); }

 private:
  ITrayHost& m_host;
};

}  // namespace

TrayKind ChooseTrayKind(bool watcherOnBus, bool xembedTrayAvailable) {
  if (watcherOnBus) return TrayKind::StatusNotifier;
  if (xembedTrayAvailable) return TrayKind::XEmbed;
  return TrayKind::None;
}

bool StatusNotifierWatcherPresent() {
  // Without a session bus there is nothing to ask (and GIO would try to start one).
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code ec;
  if ((!address || !*address) && !(runtime && std::filesystem::exists(std::string(runtime) + "/bus", ec)))
    return false;
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    if (error) g_error_free(error);
    return false;
  }
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", "org.kde.StatusNotifierWatcher"), G_VARIANT_TYPE("(b)"),
      G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, &error);
  bool present = false;
  if (reply) {
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    present = owned;
    g_variant_unref(reply);
  }
  if (error) g_error_free(error);
  g_object_unref(bus);
  return present;
}

std::string TrayIconName(int icon) { return "quarlo-tray-" + std::to_string(icon); }

struct CTrayIcon::Backend {
  AppIndicator* indicator = nullptr;
  std::unique_ptr<wxMenu> menu;  // the indicator's exported menu
  std::unique_ptr<CTaskBar> taskbar;
  std::string iconFolder;
  std::set<int> written;
  std::unique_ptr<wxNotificationMessage> notification;
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

CTrayIcon::CTrayIcon(ITrayHost& host) : m_host(host), m_backend(new Backend) {}

CTrayIcon::~CTrayIcon() {
  *m_backend->alive = false;
  SetIcon(0, L"");
  if (m_backend->indicator) g_object_unref(m_backend->indicator);
  m_backend->indicator = nullptr;
  m_backend->menu.reset();
  if (m_backend->taskbar) m_backend->taskbar->RemoveIcon();
  m_backend->taskbar.reset();
  if (!m_backend->iconFolder.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(m_backend->iconFolder, ec);
  }
}

TrayKind CTrayIcon::Create() {
  const char* forced = std::getenv("QUARLO_TRAY");  // "none", "xembed", "sni": tests and odd desktops
  if (forced && std::string(forced) == "none") return CreateAs(TrayKind::None);
  if (forced && std::string(forced) == "xembed") return CreateAs(TrayKind::XEmbed);
  const bool xembed = wxTaskBarIcon::IsAvailable();
  return CreateAs(ChooseTrayKind(StatusNotifierWatcherPresent(), xembed));
}

TrayKind CTrayIcon::CreateAs(TrayKind kind) {
  m_kind = kind;
  if (kind == TrayKind::StatusNotifier) {
    m_backend->iconFolder = PrivateIconFolder();
    m_backend->indicator =
        app_indicator_new("Quarlo", TrayIconName(174).c_str(), APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
    if (!m_backend->indicator || m_backend->iconFolder.empty()) {
      m_kind = TrayKind::None;
      return m_kind;
    }
    app_indicator_set_icon_theme_path(m_backend->indicator, m_backend->iconFolder.c_str());
    app_indicator_set_title(m_backend->indicator, "Quarlo");
    MenuChanged();
  } else if (kind == TrayKind::XEmbed) {
    m_backend->taskbar.reset(new CTaskBar(m_host));
  }
  return m_kind;
}

int CTrayIcon::SetIcon(int icon, const std::wstring& tip) {
  if (!tip.empty()) m_tip = tip.substr(0, 127);
  if (icon == 0) {
    if (m_icon == 0) return 1;
    m_icon = 0;
    if (m_backend->indicator) app_indicator_set_status(m_backend->indicator, APP_INDICATOR_STATUS_PASSIVE);
    if (m_backend->taskbar) m_backend->taskbar->RemoveIcon();
    return 1;
  }
  if (m_kind == TrayKind::None) {
    m_icon = icon;
    return 0;
  }
  const bool changed = icon != m_icon;
  m_icon = icon;
  if (m_backend->indicator) {
    if (!m_backend->written.count(icon)) {
      const std::string file = m_backend->iconFolder + "/" + TrayIconName(icon) + ".png";
      if (TrayPicture(icon).SaveFile(wxString::FromUTF8(file), wxBITMAP_TYPE_PNG)) m_backend->written.insert(icon);
    }
    const wxString title(m_tip.c_str());
    if (changed) app_indicator_set_icon_full(m_backend->indicator, TrayIconName(icon).c_str(), title.utf8_str());
    app_indicator_set_title(m_backend->indicator, title.utf8_str());
    app_indicator_set_status(m_backend->indicator, APP_INDICATOR_STATUS_ACTIVE);
    return 1;
  }
  if (m_backend->taskbar) {
    wxIcon shown;
    shown.CopyFromBitmap(wxBitmap(TrayPicture(icon), 32));
    // A failed set means the tray went away: the next call adds the icon anew.
    if (!m_backend->taskbar->SetIcon(shown, wxString(m_tip.c_str()))) {
      m_icon = 0;
      return 0;
    }
    return 1;
  }
  return 0;
}

int CTrayIcon::ShowBalloon(const std::wstring& text, const std::wstring& title) {
  m_balloonText = text.substr(0, 255);
  ++m_balloons;
  m_backend->notification.reset(
      new wxNotificationMessage(wxString(title.substr(0, 63).c_str()), wxString(m_balloonText.c_str())));
  m_backend->notification->SetFlags(wxICON_INFORMATION);
  return m_backend->notification->Show(5) ? 1 : 0;
}

void CTrayIcon::MenuChanged() {
  if (!m_backend->indicator) return;
  std::unique_ptr<wxMenu> menu = m_host.BuildTrayMenu();
  if (!menu) return;
  // Commands run after the menu's own handler has returned: a command may rebuild the menu.
  ITrayHost* host = &m_host;
  std::shared_ptr<bool> alive = m_backend->alive;
  menu->Bind(wxEVT_MENU, [host, alive](wxCommandEvent& e) {
    const unsigned command = CDiyMenu::CommandOf(e.GetId());
    wxTheApp->CallAfter([host, alive, command] {
      if (*alive) host->OnTrayCommand(command);
    });
  });
  app_indicator_set_menu(m_backend->indicator, GTK_MENU(menu->m_menu));
  // Middle click (the indicator's secondary activation) opens the data folder.
  if (wxMenuItem* open = menu->FindItem(CDiyMenu::MenuIdOf(32810)))
    app_indicator_set_secondary_activate_target(m_backend->indicator, open->GetMenuItem());
  m_backend->menu = std::move(menu);
}
