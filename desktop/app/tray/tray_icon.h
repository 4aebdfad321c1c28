#pragma once
// The program's icon in the desktop's tray. Where a StatusNotifierWatcher is on the session
// bus (KDE Plasma, GNOME with the AppIndicator extension, XFCE, Cinnamon) it is a
// StatusNotifierItem through libayatana-appindicator3, whose menu is the native menu; else an
// XEmbed tray icon (wxTaskBarIcon) where an X tray exists; else nothing shows and the owner
// keeps its windows on screen. The StatusNotifierItem is our own object on the session bus (its
// menu through dbusmenu), so that the host's left click reaches the program as Activate.
// Pictures are skin pictures by number; notifications go to the desktop's notification
// service (org.freedesktop.Notifications).
#include <memory>
#include <string>

class wxMenu;

class ITrayHost {
 public:
  virtual ~ITrayHost() = default;
  virtual void OnTrayLeftClick() = 0;
  // The menu as it is now; commands come back through OnTrayCommand.
  virtual std::unique_ptr<wxMenu> BuildTrayMenu() = 0;
  virtual void OnTrayCommand(unsigned command) = 0;
};

enum class TrayKind { None, XEmbed, StatusNotifier };
TrayKind ChooseTrayKind(bool watcherOnBus, bool xembedTrayAvailable);
// Asks the session bus (a short, bounded call) whether a StatusNotifierWatcher runs.
bool StatusNotifierWatcherPresent();
// Whether a notification daemon runs (or the bus would start one); a bounded call.
bool NotificationServicePresent();
// Sends a desktop notification without waiting for the daemon; false without a session bus.
// The body is plain text.
bool SendDesktopNotification(const std::string& summary, const std::string& body);
// The picture file the indicator names for icon (written once into the private folder).
std::string TrayIconName(int icon);

constexpr unsigned kTrayIconUid = 62547;

class CTrayIcon {
 public:
  explicit CTrayIcon(ITrayHost& host);
  ~CTrayIcon();  // the icon goes away
  CTrayIcon(const CTrayIcon&) = delete;
  CTrayIcon& operator=(const CTrayIcon&) = delete;

  // Picks the kind from what the session offers (or the given one) and shows nothing yet.
  TrayKind Create();
  TrayKind CreateAs(TrayKind kind);
  // Shows, changes (icon != 0) or removes (icon 0) the icon; an empty tip keeps the shown one.
  // 1 on success (also when there was nothing to remove), 0 when it could not show.
  int SetIcon(int icon, const std::wstring& tip);
  // A desktop notification, cut to 63 characters of title and 255 of text.
  int ShowBalloon(const std::wstring& text, const std::wstring& title);
  // The menu's content changed: the indicator's exported menu is rebuilt.
  void MenuChanged();

  TrayKind Kind() const { return m_kind; }
  bool CanShow() const { return m_kind != TrayKind::None; }
  int IconShown() const { return m_icon; }
  const std::wstring& Tip() const { return m_tip; }
  const std::wstring& LastBalloonText() const { return m_balloonText; }
  int BalloonCount() const { return m_balloons; }

 struct Backend;

 private:
  ITrayHost& m_host;
  TrayKind m_kind = TrayKind::None;
  std::unique_ptr<Backend> m_backend;
  int m_icon = 0;
  std::wstring m_tip;
  std::wstring m_balloonText;
  int m_balloons = 0;
};
