#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

#include "platform/autostart.h"
#include "platform/files.h"
#include "platform/scm.h"
#include "platform/xdg_folders.h"

namespace {

std::string Lower(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// "a\\b\\" and "\\a\\\\b" both name a\b.
std::string NormalKey(const std::string& key) {
  std::string out;
  for (char c : key) {
    if (c == '/') c = '\\';
    if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
    out.push_back(c);
  }
  while (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

struct Key {
  std::string name;  // as first created
  std::vector<RegValue> values;
};

struct Store {
  std::vector<Key> keys;
  Key* Find(const std::string& name) {
    const std::string want = Lower(name);
    for (Key& k : keys)
      if (Lower(k.name) == want) return &k;
    return nullptr;
  }
};

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '"') out += "\\\"";
    else out.push_back(c);
  }
  return out;
}

// Reads a quoted text starting at s[i] == '"'; i ends after the closing quote.
bool Unquote(const std::string& s, size_t& i, std::string& out) {
  if (i >= s.size() || s[i] != '"') return false;
  ++i;
  out.clear();
  while (i < s.size()) {
    const char c = s[i++];
    if (c == '"') return true;
    if (c == '\\' && i < s.size()) {
      const char e = s[i++];
      out.push_back(e == 'n' ? '\n' : e == 'r' ? '\r' : e);
    } else {
      out.push_back(c);
    }
  }
  return false;
}

// Format: "[key]" lines, then value lines: "name"=sz:"text" | expand:"text" | dword:xxxxxxxx
void Parse(const std::string& text, Store& store) {
  std::istringstream in(text);
  std::string line;
  Key* current = nullptr;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[' && line.back() == ']') {
      const std::string name = NormalKey(line.substr(1, line.size() - 2));
      current = store.Find(name);
      if (!current) {
        store.keys.push_back(Key{name, {}});
        current = &store.keys.back();
      }
      continue;
    }
    if (!current) continue;
    size_t i = 0;
    RegValue v;
    if (!Unquote(line, i, v.name) || i >= line.size() || line[i] != '=') continue;
    const std::string rest = line.substr(i + 1);
    size_t j = 0;
    if (rest.compare(0, 3, "sz:") == 0 || rest.compare(0, 7, "expand:") == 0) {
      v.type = rest[0] == 's' ? kRegSz : kRegExpandSz;
      j = rest.find(':') + 1;
      if (!Unquote(rest, j, v.text)) continue;
    } else if (rest.compare(0, 6, "dword:") == 0) {
      v.type = kRegDword;
      v.dword = static_cast<uint32_t>(std::strtoul(rest.c_str() + 6, nullptr, 16));
    } else {
      continue;
    }
    current->values.push_back(v);
  }
}

std::string Serialise(const Store& store) {
  std::string out = "; Quarlo registry store. Written by the programs; keep the format.\n";
  for (const Key& k : store.keys) {
    out += "[" + k.name + "]\n";
    for (const RegValue& v : k.values) {
      out += "\"" + Escape(v.name) + "\"=";
      if (v.type == kRegDword) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", v.dword);
        out += buf;
      } else {
        out += (v.type == kRegExpandSz ? "expand:\"" : "sz:\"") + Escape(v.text) + "\"";
      }
      out += "\n";
    }
  }
  return out;
}

// Maps a root and key to the store's root and the key inside it.
void Resolve(RegRoot root, const std::string& key, RegRoot& storeRoot, std::string& storeKey) {
  storeRoot = root == RegRoot::CurrentUser ? RegRoot::CurrentUser : RegRoot::LocalMachine;
  storeKey = NormalKey(key);
  if (root == RegRoot::ClassesRoot)
    storeKey = storeKey.empty() ? "SOFTWARE\\Classes" : "SOFTWARE\\Classes\\" + storeKey;
}

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/')); }

bool Writable(const std::string& path) {
  if (access(path.c_str(), F_OK) == 0) return access(path.c_str(), W_OK) == 0;
  std::string dir = Folder(path);
  while (!dir.empty() && access(dir.c_str(), F_OK) != 0) dir = Folder(dir);
  return !dir.empty() && access(dir.c_str(), W_OK) == 0;
}

void MakeFolders(const std::string& dir) {
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0755);
  }
}

bool ReadStore(const std::string& path, Store& store) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return true;  // an absent store is empty
  std::ostringstream ss;
  ss << in.rdbuf();
  Parse(ss.str(), store);
  return true;
}

bool WriteStore(const std::string& path, const Store& store) {
  return Plat_WriteFileAtomically(path, Serialise(store));
}

// Runs fn on the store under its lock; a change is written back when fn says so.
int WithStore(RegRoot storeRoot, bool write, const std::function<int(Store&, bool&)>& fn) {
  const std::string path = Reg_StorePath(storeRoot);
  if (path.empty()) return kRegNotFound;
  if (write) {
    if (!Writable(path)) return kRegAccessDenied;
    MakeFolders(Folder(path));
  }
  const int lockFd = open((path + ".lock").c_str(), (write ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC, 0644);
  if (lockFd >= 0) flock(lockFd, write ? LOCK_EX : LOCK_SH);
  Store store;
  ReadStore(path, store);
  bool changed = false;
  int rc = fn(store, changed);
  if (rc == kRegOk && changed && !WriteStore(path, store)) rc = kRegAccessDenied;
  if (lockFd >= 0) close(lockFd);
  return rc;
}

bool IsAutostartRun(RegRoot storeRoot, const std::string& storeKey, const std::string& name) {
  return storeRoot == RegRoot::CurrentUser &&
         Lower(storeKey) == "software\\microsoft\\windows\\currentversion\\run" &&
         Lower(name) == "quarlo";
}

void MirrorAutostart(const std::string* command) {
  std::vector<std::string> argv;
  if (!command || !Scm_SplitCommandLine(*command, argv) || argv.empty()) {
    Plat_RemoveAutostart("Quarlo.desktop");
    return;
  }
  Plat_WriteAutostart("Quarlo.desktop", "Quarlo", argv, Plat_ProgramIcon(argv[0], "Quarlo"));
}

}  // namespace

bool Reg_ParseRoot(const std::string& text, RegRoot& root) {
  const std::string t = Lower(text);
  if (t == "hkcu" || t == "hkey_current_user") root = RegRoot::CurrentUser;
  else if (t == "hklm" || t == "hkey_local_machine") root = RegRoot::LocalMachine;
  else if (t == "hkcr" || t == "hkey_classes_root") root = RegRoot::ClassesRoot;
  else return false;
  return true;
}

std::string Reg_RootName(RegRoot root) {
  switch (root) {
    case RegRoot::CurrentUser: return "HKEY_CURRENT_USER";
    case RegRoot::LocalMachine: return "HKEY_LOCAL_MACHINE";
    case RegRoot::ClassesRoot: return "HKEY_CLASSES_ROOT";
  }
  return "";
}

std::string Reg_StorePath(RegRoot root) {
  if (root == RegRoot::CurrentUser) return Plat_AppDataDir() + "/Quarlo/registry.ini";
  const std::string system = Scm_SystemDir();
  return system.empty() ? "" : system + "/registry.ini";
}

int Reg_CreateKey(RegRoot root, const std::string& key) {
  RegRoot sr;
  std::string sk;
  Resolve(root, key, sr, sk);
  if (sk.empty()) return kRegOk;
  return WithStore(sr, true, [&](Store& s, bool& changed) {
    // Every ancestor exists as its own key, so a listing of subkeys finds it.
    for (size_t i = 0; i <= sk.size(); ++i) {
      if (i != sk.size() && sk[i] != '\\') continue;
      const std::string part = sk.substr(0, i);
      if (!s.Find(part)) {
        s.keys.push_back(Key{part, {}});
        changed = true;
      }
    }
    return kRegOk;
  });
}

int Reg_OpenKey(RegRoot root, const std::string& key, bool forWrite) {
  RegRoot sr;
  std::string sk;
  Resolve(root, key, sr, sk);
  if (forWrite && !Writable(Reg_StorePath(sr))) return kRegAccessDenied;
  if (sk.empty()) return kRegOk;
  return WithStore(sr, false, [&](Store& s, bool&) { return s.Find(sk) ? kRegOk : kRegNotFound; });
}

int Reg_DeleteKey(RegRoot root, const std::string& key) {
  RegRoot sr;
  std::string sk;
  Resolve(root, key, sr, sk);
  if (sk.empty()) return kRegInvalidParameter;
  int rc = WithStore(sr, true, [&](Store& s, bool& changed) {
    if (!s.Find(sk)) return kRegNotFound;
    const std::string low = Lower(sk);
    std::vector<Key> kept;
    for (Key& k : s.keys) {
      const std::string kl = Lower(k.name);
      if (kl == low || kl.compare(0, low.size() + 1, low + "\\") == 0) continue;
      kept.push_back(k);
    }
    s.keys.swap(kept);
    changed = true;
    return kRegOk;
  });
  if (rc == kRegOk && sr == RegRoot::CurrentUser) {
    const std::string run = "software\\microsoft\\windows\\currentversion\\run";
    const std::string low = Lower(sk);
    if (run == low || run.compare(0, low.size() + 1, low + "\\") == 0) MirrorAutostart(nullptr);
  }
  return rc;
}

namespace {

int SetValue(RegRoot root, const std::string& key, RegValue v) {
  RegRoot sr;
  std::string sk;
  Resolve(root, key, sr, sk);
  const int rc = WithStore(sr, true, [&](Store& s, bool& changed) {
    Key* k = s.Find(sk);
    if (!k) return kRegNotFound;
    for (RegValue& existing : k->values) {
      if (Lower(existing.name) == Lower(v.name)) {
        v.name = existing.name;
        existing = v;
        changed = true;
        return kRegOk;
      }
    }
    k->values.push_back(v);
    changed = true;
    return kRegOk;
  });
  if (rc == kRegOk && IsAutostartRun(sr, sk, v.name)) {
    if (v.type == kRegDword || v.text.empty()) MirrorAutostart(nullptr);
    else MirrorAutostart(&v.text);
  }
  return rc;
}

}  // namespace

int Reg_SetString(RegRoot root, const std::string& key, const std::string& name,
                  const std::string& value, uint32_t type) {
  if (type != kRegSz && type != kRegExpandSz) return kRegInvalidParameter;
  RegValue v;
  v.name = name;
  v.type = type;
  v.text = value;
  return SetValue(root, key, v);
}

int Reg_SetDword(RegRoot root, const std::string& key, const std::string& name, uint32_t value) {
  RegValue v;
  v.name = name;
  v.type = kRegDword;
  v.dword = value;
  return SetValue(root, key, v);
}

int Reg_GetValue(RegRoot root, const std::string& key, const std::string& name, RegValue& out) {
  RegRoot sr;
  std::string sk;
  Resolve(root, key, sr, sk);
  return WithStore(sr, false, [&](Store& s, bool&) {
    Key* k = s.Find(sk);
    if (!k) return kRegNotFound;
    for (const RegValue& v : k->values) {
      if (Lower(v.name) == Lower(name)) {
        out = v;
        return kRegOk;
      }
    }
    return kRegNotFound;
  });
}

int Reg_GetString(RegRoot root, const std::string& key, const std::string& name,
                  std::string& out) {
  RegValue v;
  const int rc = Reg_GetValue(root, key, name, v);
  if (rc != kRegOk) return rc;
  if (v.type == kRegDword) return kRegInvalidData;
  out = v.text;
  return kRegOk;
}

int Reg_GetDword(RegRoot root, const std::string& key, const std::string& name, uint32_t& out) {
  RegValue v;
  const int rc = Reg_GetValue(root, key, name, v);
  if (rc != kRegOk) return rc;
  if (v.type != kRegDword) return kRegInvalidData;
  out = v.dword;
  return kRegOk;
}

int Reg_DeleteValue(RegRoot root, const std::string& key, const std::string& name) {
  RegRoot sr;
  std::string sk;
  Resolve(root, key, sr, sk);
  const int rc = WithStore(sr, true, [&](Store& s, bool& changed) {
    Key* k = s.Find(sk);
    if (!k) return kRegNotFound;
    for (size_t i = 0; i < k->values.size(); ++i) {
      if (Lower(k->values[i].name) == Lower(name)) {
        k->values.erase(k->values.begin() + static_cast<long>(i));
        changed = true;
        return kRegOk;
      }
    }
    return kRegNotFound;
  });
  if (rc == kRegOk && IsAutostartRun(sr, sk, name)) MirrorAutostart(nullptr);
  return rc;
}

int Reg_ListValues(RegRoot root, const std::string& key, std::vector<RegValue>& out) {
  RegRoot sr;
  std::string sk;
  Resolve(root, key, sr, sk);
  return WithStore(sr, false, [&](Store& s, bool&) {
    Key* k = s.Find(sk);
    if (!k) return sk.empty() ? kRegOk : kRegNotFound;
    out = k->values;
    return kRegOk;
  });
}

int Reg_ListSubkeys(RegRoot root, const std::string& key, std::vector<std::string>& out) {
  RegRoot sr;
  std::string sk;
  Resolve(root, key, sr, sk);
  return WithStore(sr, false, [&](Store& s, bool&) {
    if (!sk.empty() && !s.Find(sk)) return kRegNotFound;
    const std::string prefix = sk.empty() ? "" : Lower(sk) + "\\";
    out.clear();
    for (const Key& k : s.keys) {
      const std::string kl = Lower(k.name);
      if (kl.compare(0, prefix.size(), prefix) != 0 || kl.size() == prefix.size()) continue;
      if (kl.find('\\', prefix.size()) != std::string::npos) continue;
      out.push_back(k.name.substr(prefix.size()));
    }
    return kRegOk;
  });
}
