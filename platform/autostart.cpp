#include "platform/autostart.h"

#include <unistd.h>

#include <filesystem>

#include "platform/files.h"
#include "platform/line_value.h"
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

std::string Plat_ProgramIcon(const std::string& programPath, const std::string& iconName) {
  if (programPath.empty() || programPath[0] != '/') return iconName;
  const std::filesystem::path dir = std::filesystem::path(programPath).parent_path();
  const std::string file = "hicolor/scalable/apps/" + iconName + ".svg";
  for (const std::filesystem::path& icon : {dir / "icons" / file, dir.parent_path() / "share/icons" / file}) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(icon, ec)) return icon.string();
  }
  return iconName;
}

bool Plat_WriteAutostart(const std::string& file, const std::string& name,
                         const std::vector<std::string>& argv, const std::string& icon) {
  if (argv.empty()) return false;
  std::string exec;
  for (const std::string& a : argv) exec += (exec.empty() ? "" : " ") + ExecQuote(a);
  const std::string path = Plat_AutostartPath(file);
  std::error_code ec;
  std::filesystem::create_directories(Plat_AppDataDir() + "/autostart", ec);
  if (ec) return false;
  // TryExec: once the program is gone (its package removed), sessions skip the entry instead
  // of failing to run it at every log-in.
  const std::string tryExec = argv[0].empty() || argv[0][0] != '/' ? std::string()
                                                                  : "\nTryExec=" + Plat_EscapeLineValue(argv[0]);
  return Plat_WriteFileAtomically(path, "[Desktop Entry]\nType=Application\nName=" + OneLine(name) +
                                            "\nExec=" + OneLine(exec) + tryExec +
                                            (icon.empty() ? "" : "\nIcon=" + OneLine(icon)) +
                                            "\nX-GNOME-Autostart-enabled=true\n");
}

void Plat_RemoveAutostart(const std::string& file) { unlink(Plat_AutostartPath(file).c_str()); }
