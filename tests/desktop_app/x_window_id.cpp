// Kept apart: the X11 headers define names (None, Status) that clash with the tests' own.
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <wx/window.h>

#include <string>

std::string XidOf(wxWindow* window) {
  GdkWindow* gdk = gtk_widget_get_window(static_cast<GtkWidget*>(window->GetHandle()));
  return gdk ? std::to_string(gdk_x11_window_get_xid(gdk)) : std::string();
}
