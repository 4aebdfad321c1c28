#include "platform/autostart.h"

#include <unistd.h>

#include <filesystem>

#include "platform/files.h"
#include "platform/xdg_folders.h"

namespace {

// An Exec argument of a desktop entry: quoted, with a backslash before each of the characters
// " ` $ and backslash, and the string rule then doubles every backslash; "%" is written "%%".
std::string ExecQuote(const std::string& arg) {
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"' || c == '`' || c == '$') {
      out += "\\\\";
      out.push_back(c);
    } else if (c == '\\') {
      out += "\\\\\\\\";
    } else if (c == '%') {
      out += "%%";
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

// A line break would start a key of its own.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

std::string Plat_AutostartPath(const std::string& file) {
  return Plat_AppDataDir() + "/autostart/" + file;
}

bool Plat_WriteAutostart(const std::string& file, const std::string& name,
                         const std::vector<std::string>& argv) {
  if (argv.empty()) return false;
  std::string exec;
  for (const std::string& a : argv) exec += (exec.empty() ? "" : " ") + ExecQuote(a);
  const std::string path = Plat_AutostartPath(file);
  std::error_code ec;
  std::filesystem::create_directories(Plat_AppDataDir() + "/autostart", ec);
  if (ec) return false;
  return Plat_WriteFileAtomically(path, "[Desktop Entry]\nType=Application\nName=" + OneLine(name) +
                                            "\nExec=" + OneLine(exec) +
                                            "\nX-GNOME-Autostart-enabled=true\n");
}

void Plat_RemoveAutostart(const std::string& file) { unlink(Plat_AutostartPath(file).c_str()); }
