#include "desktop/app/tray/tray_icon.h"

#include <gio/gio.h>
#include <libdbusmenu-glib/dbusmenu-glib.h>
#include <unistd.h>
#include <wx/app.h>
#include <wx/icon.h>
#include <wx/menu.h>
#include <wx/mstream.h>
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

namespace {

constexpr char kItemPath[] = "/StatusNotifierItem";
constexpr char kMenuPath[] = "/MenuBar";
constexpr char kItemInterface[] = "org.kde.StatusNotifierItem";

constexpr char kItemXml[] =
    "<node><interface name='org.kde.StatusNotifierItem'>"
    "<method name='Activate'><arg type='i' direction='in'/><arg type='i' direction='in'/></method>"
    "<method name='SecondaryActivate'><arg type='i' direction='in'/><arg type='i' direction='in'/></method>"
    "<method name='ContextMenu'><arg type='i' direction='in'/><arg type='i' direction='in'/></method>"
    "<method name='Scroll'><arg type='i' direction='in'/><arg type='s' direction='in'/></method>"
    "<property name='Category' type='s' access='read'/>"
    "<property name='Id' type='s' access='read'/>"
    "<property name='Title' type='s' access='read'/>"
    "<property name='Status' type='s' access='read'/>"
    "<property name='WindowId' type='i' access='read'/>"
    "<property name='IconName' type='s' access='read'/>"
    "<property name='IconThemePath' type='s' access='read'/>"
    "<property name='OverlayIconName' type='s' access='read'/>"
    "<property name='AttentionIconName' type='s' access='read'/>"
    "<property name='ToolTip' type='(sa(iiay)ss)' access='read'/>"
    "<property name='ItemIsMenu' type='b' access='read'/>"
    "<property name='Menu' type='o' access='read'/>"
    "<signal name='NewTitle'/><signal name='NewIcon'/><signal name='NewToolTip'/>"
    "<signal name='NewStatus'><arg type='s'/></signal>"
    "</interface></node>";

GDBusConnection* SessionBus() {
  static GDBusConnection* bus = [] {
    GError* error = nullptr;
    GDBusConnection* c = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (error) g_error_free(error);
    return c;
  }();
  return bus;
}

bool SessionBusAvailable() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code ec;
  return (address && *address) || (runtime && std::filesystem::exists(std::string(runtime) + "/bus", ec));
}

// A bounded question to the bus daemon: (s) -> (b).
bool AskBus(const char* method, const char* name) {
  GDBusConnection* bus = SessionBusAvailable() ? SessionBus() : nullptr;
  if (!bus) return false;
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", method, g_variant_new("(s)", name),
                                                G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, &error);
  bool yes = false;
  if (reply) {
    gboolean b = FALSE;
    g_variant_get(reply, "(b)", &b);
    yes = b;
    g_variant_unref(reply);
  }
  if (error) g_error_free(error);
  return yes;
}

}  // namespace

bool StatusNotifierWatcherPresent() { return AskBus("NameHasOwner", "org.kde.StatusNotifierWatcher"); }

bool NotificationServicePresent() {
  if (AskBus("NameHasOwner", "org.freedesktop.Notifications")) return true;
  // A daemon the bus starts on the first notification counts too.
  GDBusConnection* bus = SessionBusAvailable() ? SessionBus() : nullptr;
  if (!bus) return false;
  GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "ListActivatableNames", nullptr,
                                                G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
  bool found = false;
  if (reply) {
    GVariantIter* it = nullptr;
    const gchar* name = nullptr;
    g_variant_get(reply, "(as)", &it);
    while (g_variant_iter_loop(it, "&s", &name))
      if (std::string(name) == "org.freedesktop.Notifications") found = true;
    g_variant_iter_free(it);
    g_variant_unref(reply);
  }
  return found;
}

bool SendDesktopNotification(const std::string& summary, const std::string& body) {
  GDBusConnection* bus = SessionBusAvailable() ? SessionBus() : nullptr;
  if (!bus) return false;
  // The body may carry markup for the daemon; texts from phones are plain text.
  gchar* escaped = g_markup_escape_text(body.c_str(), -1);
  GVariantBuilder actions, hints;
  g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(1));
  g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("Quarlo"));
  // Asynchronous: the daemon's answer (or its start) never holds the caller up.
  g_dbus_connection_call(bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                         "org.freedesktop.Notifications", "Notify",
                         g_variant_new("(susssasa{sv}i)", "Quarlo", 0u, "dialog-information", summary.c_str(),
                                       escaped, &actions, &hints, 5000),
                         G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr, nullptr);
  g_free(escaped);
  return true;
}

std::string TrayIconName(int icon) { return "quarlo-tray-" + std::to_string(icon); }

// The StatusNotifierItem this program exports (its menu through dbusmenu): a left click is the
// item's Activate, the middle click its SecondaryActivate, the menu is the host's own.
struct CTrayIcon::Backend {
  GDBusConnection* bus = nullptr;
  guint objectId = 0;
  guint nameId = 0;
  guint watchId = 0;
  std::string busName;
  DbusmenuServer* menuServer = nullptr;
  std::unique_ptr<CTaskBar> taskbar;
  std::string iconFolder;
  std::set<int> written;
  std::string iconName;
  std::string title = "Quarlo";
  bool active = false;
  ITrayHost* host = nullptr;
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);

  void Emit(const char* signal, GVariant* args = nullptr) {
    if (bus && objectId)
      g_dbus_connection_emit_signal(bus, nullptr, kItemPath, kItemInterface, signal, args, nullptr);
    else if (args)
      g_variant_unref(g_variant_ref_sink(args));
  }
  void Register() {
    if (!bus || busName.empty()) return;
    g_dbus_connection_call(bus, "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                           "org.kde.StatusNotifierWatcher", "RegisterStatusNotifierItem",
                           g_variant_new("(s)", busName.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
                           nullptr, nullptr);
  }
  // Runs a host call on the main thread after the bus handler has returned.
  void Post(std::function<void(ITrayHost&)> fn) {
    ITrayHost* h = host;
    std::shared_ptr<bool> a = alive;
    if (wxTheApp) wxTheApp->CallAfter([h, a, fn] {
      if (*a && h) fn(*h);
    });
  }
};

namespace {

void OnItemCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant*,
                GDBusMethodInvocation* invocation, gpointer data) {
  auto* b = static_cast<CTrayIcon::Backend*>(data);
  const std::string m = method;
  if (m == "Activate") b->Post([](ITrayHost& h) { h.OnTrayLeftClick(); });
  else if (m == "SecondaryActivate") b->Post([](ITrayHost& h) { h.OnTrayCommand(32810); });
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* OnItemProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property,
                         GError**, gpointer data) {
  auto* b = static_cast<CTrayIcon::Backend*>(data);
  const std::string p = property;
  if (p == "Category") return g_variant_new_string("ApplicationStatus");
  if (p == "Id") return g_variant_new_string("Quarlo");
  if (p == "Title") return g_variant_new_string(b->title.c_str());
  if (p == "Status") return g_variant_new_string(b->active ? "Active" : "Passive");
  if (p == "WindowId") return g_variant_new_int32(0);
  if (p == "IconName") return g_variant_new_string(b->iconName.c_str());
  if (p == "IconThemePath") return g_variant_new_string(b->iconFolder.c_str());
  if (p == "OverlayIconName" || p == "AttentionIconName") return g_variant_new_string("");
  if (p == "ToolTip") {
    GVariantBuilder pixmaps;
    g_variant_builder_init(&pixmaps, G_VARIANT_TYPE("a(iiay)"));
    return g_variant_new("(sa(iiay)ss)", b->iconName.c_str(), &pixmaps, b->title.c_str(), "");
  }
  if (p == "ItemIsMenu") return g_variant_new_boolean(FALSE);
  if (p == "Menu") return g_variant_new_object_path(kMenuPath);
  return nullptr;
}

const GDBusInterfaceVTable kItemVTable = {OnItemCall, OnItemProperty, nullptr, {}};

std::string PngBytes(const wxBitmap& bitmap) {
  wxMemoryOutputStream out;
  if (!bitmap.IsOk() || !bitmap.ConvertToImage().SaveFile(out, wxBITMAP_TYPE_PNG)) return "";
  std::string bytes(out.GetLength(), '\0');
  out.CopyTo(bytes.data(), bytes.size());
  return bytes;
}

}  // namespace

CTrayIcon::CTrayIcon(ITrayHost& host) : m_host(host), m_backend(new Backend) { m_backend->host = &host; }

CTrayIcon::~CTrayIcon() {
  *m_backend->alive = false;
  SetIcon(0, L"");
  Backend& b = *m_backend;
  if (b.watchId) g_bus_unwatch_name(b.watchId);
  if (b.nameId) g_bus_unown_name(b.nameId);
  if (b.bus && b.objectId) g_dbus_connection_unregister_object(b.bus, b.objectId);
  if (b.menuServer) g_object_unref(b.menuServer);
  if (b.taskbar) b.taskbar->RemoveIcon();
  b.taskbar.reset();
  if (!b.iconFolder.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(b.iconFolder, ec);
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
  Backend& b = *m_backend;
  if (kind == TrayKind::StatusNotifier) {
    b.iconFolder = PrivateIconFolder();
    b.bus = SessionBus();
    GDBusNodeInfo* node = b.bus ? g_dbus_node_info_new_for_xml(kItemXml, nullptr) : nullptr;
    if (node) {
      b.objectId = g_dbus_connection_register_object(b.bus, kItemPath, node->interfaces[0], &kItemVTable, &b,
                                                     nullptr, nullptr);
      g_dbus_node_info_unref(node);
    }
    if (!b.objectId || b.iconFolder.empty()) {
      m_kind = TrayKind::None;
      return m_kind;
    }
    b.menuServer = dbusmenu_server_new(kMenuPath);
    b.busName = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";
    b.nameId = g_bus_own_name_on_connection(
        b.bus, b.busName.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, gpointer data) { static_cast<Backend*>(data)->Register(); }, nullptr, &b,
        nullptr);
    // A panel that starts (or restarts) later gets the item too.
    b.watchId = g_bus_watch_name_on_connection(
        b.bus, "org.kde.StatusNotifierWatcher", G_BUS_NAME_WATCHER_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, gpointer data) { static_cast<Backend*>(data)->Register(); },
        nullptr, &b, nullptr);
    MenuChanged();
  } else if (kind == TrayKind::XEmbed) {
    b.taskbar.reset(new CTaskBar(m_host));
  }
  return m_kind;
}

int CTrayIcon::SetIcon(int icon, const std::wstring& tip) {
  if (!tip.empty()) m_tip = tip.substr(0, 127);
  Backend& b = *m_backend;
  if (icon == 0) {
    if (m_icon == 0) return 1;
    m_icon = 0;
    if (b.objectId && b.active) {
      b.active = false;
      b.Emit("NewStatus", g_variant_new("(s)", "Passive"));
    }
    if (b.taskbar) b.taskbar->RemoveIcon();
    return 1;
  }
  if (m_kind == TrayKind::None) {
    m_icon = icon;
    return 0;
  }
  const bool changed = icon != m_icon;
  m_icon = icon;
  if (b.objectId) {
    if (!b.written.count(icon)) {
      const std::string file = b.iconFolder + "/" + TrayIconName(icon) + ".png";
      if (TrayPicture(icon).SaveFile(wxString::FromUTF8(file), wxBITMAP_TYPE_PNG)) b.written.insert(icon);
    }
    const std::string title = wxString(m_tip.c_str()).ToStdString(wxConvUTF8);
    if (changed) {
      b.iconName = TrayIconName(icon);
      b.Emit("NewIcon");
    }
    if (title != b.title) {
      b.title = title;
      b.Emit("NewTitle");
      b.Emit("NewToolTip");
    }
    if (!b.active) {
      b.active = true;
      b.Emit("NewStatus", g_variant_new("(s)", "Active"));
    }
    return 1;
  }
  if (b.taskbar) {
    wxIcon shown;
    shown.CopyFromBitmap(wxBitmap(TrayPicture(icon), 32));
    // A failed set means the tray went away: the next call adds the icon anew.
    if (!b.taskbar->SetIcon(shown, wxString(m_tip.c_str()))) {
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
  return SendDesktopNotification(wxString(title.substr(0, 63).c_str()).ToStdString(wxConvUTF8),
                                 wxString(m_balloonText.c_str()).ToStdString(wxConvUTF8))
             ? 1
             : 0;
}

void CTrayIcon::MenuChanged() {
  Backend& b = *m_backend;
  if (!b.menuServer) return;
  std::unique_ptr<wxMenu> menu = m_host.BuildTrayMenu();
  if (!menu) return;
  DbusmenuMenuitem* root = dbusmenu_menuitem_new();
  for (wxMenuItem* item : menu->GetMenuItems()) {
    DbusmenuMenuitem* entry = dbusmenu_menuitem_new();
    if (item->IsSeparator()) {
      dbusmenu_menuitem_property_set(entry, DBUSMENU_MENUITEM_PROP_TYPE, DBUSMENU_CLIENT_TYPES_SEPARATOR);
    } else {
      dbusmenu_menuitem_property_set(entry, DBUSMENU_MENUITEM_PROP_LABEL,
                                     item->GetItemLabelText().ToStdString(wxConvUTF8).c_str());
      dbusmenu_menuitem_property_set_bool(entry, DBUSMENU_MENUITEM_PROP_ENABLED, item->IsEnabled());
      const std::string png = PngBytes(item->GetBitmap());
      if (!png.empty())
        dbusmenu_menuitem_property_set_byte_array(entry, DBUSMENU_MENUITEM_PROP_ICON_DATA,
                                                  reinterpret_cast<const guchar*>(png.data()), png.size());
      const unsigned command = CDiyMenu::CommandOf(item->GetId());
      // Commands run after the bus handler has returned: a command may rebuild the menu.
      using Pack = std::pair<Backend*, unsigned>;
      g_signal_connect_data(
          entry, DBUSMENU_MENUITEM_SIGNAL_ITEM_ACTIVATED, G_CALLBACK(+[](DbusmenuMenuitem*, guint, gpointer data) {
            auto* pack = static_cast<Pack*>(data);
            const unsigned c = pack->second;
            pack->first->Post([c](ITrayHost& h) { h.OnTrayCommand(c); });
          }),
          new Pack(&b, command), +[](gpointer data, GClosure*) { delete static_cast<Pack*>(data); },
          GConnectFlags(0));
    }
    dbusmenu_menuitem_child_append(root, entry);
    g_object_unref(entry);
  }
  dbusmenu_server_set_root(b.menuServer, root);
  g_object_unref(root);
}
