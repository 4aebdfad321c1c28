#include "desktop/foundation/ui_data.h"

#include <dlfcn.h>
#include <gio/gio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/local_api_ops.h"
#include "desktop/foundation/languages.h"
#include "desktop/foundation/profile_file.h"
#include "desktop/foundation/share_list.h"
#include "desktop/foundation/sys_utils.h"
#include "desktop/foundation/text_encodings.h"
#include "platform/files.h"
#include "platform/net_info.h"
#include "platform/registry.h"
#include "platform/xdg_folders.h"

namespace fs = std::filesystem;

namespace desktop {

namespace {

constexpr size_t kTextMax = kDefShareFieldSize - 1;  // a path field holds 259 bytes and its zero

uint16_t g_requestPort = kLocalRequestPort;
uint16_t g_pushPort = kLocalPushPort;
CUIData* g_uiData = nullptr;

using Bytes = std::vector<uint8_t>;

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void PutBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

Bytes Message(uint16_t opcode, const Bytes& body) {
  Bytes m(8 + body.size(), 0);
  PutBe16(m.data(), static_cast<uint16_t>(m.size()));
  PutBe16(m.data() + 2, opcode);
  std::copy(body.begin(), body.end(), m.begin() + 8);
  return m;
}

std::string FixedText(const uint8_t* p, size_t width) {
  const char* c = reinterpret_cast<const char*>(p);
  return std::string(c, strnlen(c, width));
}

// Converts with the malloc'ed result of fn; false when the conversion is refused.
bool Convert(char* (*fn)(const char*), const std::string& in, std::string& out) {
  char* converted = fn(in.c_str());
  if (!converted) return false;
  out = converted;
  std::free(converted);
  return true;
}

// A text from the service for the local code page; an entry that has no local form is shown
// as it came rather than dropped.
std::string FromService(const std::string& utf8) {
  std::string local;
  return Convert(Utf8ToLocal, utf8, local) ? local : utf8;
}

}  // namespace

std::vector<std::string> SplitReplyEntries(const uint8_t* data, size_t len) {
  std::vector<std::string> out;
  const std::string text(reinterpret_cast<const char*>(data), len);
  size_t at = 0;
  for (;;) {
    const size_t end = text.find("\r\n", at);
    if (end == std::string::npos) break;
    const std::string entry = text.substr(at, end - at);
    if (!entry.empty() && entry.size() <= kTextMax) out.push_back(entry.substr(0, strnlen(entry.c_str(), entry.size())));
    at = end + 2;
  }
  return out;
}

namespace {

void CopyText(char* dst, size_t width, const std::string& text) {
  std::memset(dst, 0, width);
  std::memcpy(dst, text.data(), std::min(text.size(), width - 1));
}

}  // namespace

bool DecodeLoginPush(const uint8_t* message, size_t length, MobileLoginRequest& out) {
  if (!message || length < static_cast<size_t>(kMinPushSize)) return false;
  if (Be16(message) != length || Be16(message + 2) != kOpDeviceLoginPush) return false;
  std::memset(&out, 0, sizeof out);
  CopyText(out.sender, sizeof out.sender, FromService(FixedText(message + 72, 64)));
  CopyText(out.network, sizeof out.network, FixedText(message + 136, 64));
  std::memcpy(&out.requestId, message + 4, 4);
  out.age = 0;
  return true;
}

int LogOnStateOfCode(uint32_t code) {
  switch (code) {
    case 0: return 1;
    case 0x1000:
    case 0x1001: return 4;
    case 0x101A: return 5;
    case 0x101F: return 2;
    case 0x1024: return 7;
    default: return static_cast<int>(code);
  }
}

DefShareInfo FillDefShareInfo(const std::string& base) {
  DefShareInfo info;
  const std::string sep = !base.empty() && base.back() == '/' ? "" : "/";
  info.path[0] = base + sep + "Quarlo";
  info.path[1] = info.path[0] + "/" + LocalizedFolderName("PICTURE");
  info.path[2] = info.path[0] + "/" + LocalizedFolderName("MUSIC");
  info.path[3] = info.path[0] + "/" + LocalizedFolderName("VIDEO");
  info.path[4] = info.path[0] + "/" + LocalizedFolderName("DOCUMENT");
  info.path[5] = info.path[1] + "/" + LocalizedFolderName("INSTANT");
  return info;
}

void CreateCategoryFolders(const DefShareInfo& info) {
  for (int i : {3, 4, 2, 1, 5}) {
    std::error_code ec;
    fs::create_directories(info.path[i], ec);
  }
}

std::string DefaultBaseFolder() { return Plat_ProfileDir(); }

int CryptPassword(char out[64], const char* password) {
  using CryptFn = char* (*)(const char*, const char*);
  static void* library = dlopen("libcrypt.so.1", RTLD_NOW);  // kept loaded, as the program needs it
  if (!library || !password) return -1;
  auto fn = reinterpret_cast<CryptFn>(dlsym(library, "crypt"));
  if (!fn) return -1;
  const char* result = fn(password, "$1$bramle$");
  if (!result || result[0] == '*') return -1;  // the library's way of refusing
  std::string text = result;
  StripCryptPrefix(text);
  CopyText(out, 64, text);
  return 0;
}

void StripCryptPrefix(std::string& text) {
  if (text.find("$1$bramle$") != std::string::npos) text.erase(0, 10);
}

bool IsComputerNamespaceIconRegistered(const std::string& folder) {
  const std::string guid = std::string("{") + kFolderShortcutGuid + "}";
  if (Reg_OpenKey(RegRoot::LocalMachine,
                  "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\Namespace\\" + guid,
                  true) != kRegOk)
    return false;
  std::string target;
  return Reg_GetString(RegRoot::LocalMachine,
                       "SOFTWARE\\Classes\\CLSID\\" + guid + "\\Instance\\InitPropertyBag", "Target",
                       target) == kRegOk &&
         target == folder;
}

namespace {

// Copies the tree with every file checked; false on the first failure.
bool CopyTree(const fs::path& from, const fs::path& to, uint64_t total, uint64_t& done,
              const MoveProgress& progress) {
  std::error_code ec;
  if (!fs::create_directory(to, ec) || ec) return false;
  for (const fs::directory_entry& e : fs::directory_iterator(from, ec)) {
    const fs::path target = to / e.path().filename();
    const fs::file_status st = e.symlink_status(ec);
    if (fs::is_symlink(st)) {
      fs::copy_symlink(e.path(), target, ec);
      if (ec) return false;
    } else if (fs::is_directory(st)) {
      if (!CopyTree(e.path(), target, total, done, progress)) return false;
    } else if (fs::is_regular_file(st)) {
      const uintmax_t size = fs::file_size(e.path(), ec);
      if (ec || !fs::copy_file(e.path(), target, fs::copy_options::none, ec) || ec) return false;
      if (fs::file_size(target, ec) != size || ec) return false;
      done += size;
      if (progress) progress(done, total);
    }
    // Sockets, pipes and devices are not data: they stay behind with the old folder.
  }
  return !ec;
}

uint64_t TreeSize(const fs::path& root) {
  uint64_t total = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_regular_file(ec) && !it->is_symlink(ec)) total += it->file_size(ec);
  }
  return total;
}

bool MoveToTrash(const std::string& path) {
  GFile* file = g_file_new_for_path(path.c_str());
  GError* error = nullptr;
  const gboolean ok = g_file_trash(file, nullptr, &error);
  if (error) g_error_free(error);
  g_object_unref(file);
  return ok;
}

bool Inside(const fs::path& inner, const fs::path& outer) {
  const std::string i = inner.string(), o = outer.string();
  return i == o || (i.size() > o.size() && i.compare(0, o.size(), o) == 0 && (o == "/" || i[o.size()] == '/'));
}

}  // namespace

int MoveDataFolder(const std::string& dataFolder, const std::string& newBase, const MoveProgress& progress) {
  if (!IsAllowedShareFolder(newBase)) return -1;
  std::error_code ec;
  const fs::path src = fs::weakly_canonical(dataFolder, ec);
  if (ec) return -1;
  const fs::path base = fs::weakly_canonical(newBase, ec);
  if (ec) return -1;
  if (src == base || fs::weakly_canonical(DataFolderParent(dataFolder), ec) == base) return 1;
  const fs::path dst = base / "Quarlo";
  if (dst == src) return 1;
  // No move may put the folder inside itself, nor over anything that is there already.
  if (Inside(dst, src) || fs::exists(fs::symlink_status(dst, ec))) return -1;
  if (!fs::exists(src, ec)) return 0;  // nothing to carry over
  if (!fs::is_directory(base, ec)) return -1;
  if (Plat_RenameNoReplace(src.string(), dst.string()) == 0) return 0;
  if (errno != EXDEV) return -1;
  const uint64_t total = TreeSize(src);
  uint64_t done = 0;
  if (!CopyTree(src, dst, total, done, progress)) {
    fs::remove_all(dst, ec);  // only our own partial copy; the original is untouched
    return -1;
  }
  return MoveToTrash(src.string()) ? 0 : -2;
}

void CUIData::SetPorts(uint16_t requestPort, uint16_t pushPort) {
  g_requestPort = requestPort;
  g_pushPort = pushPort;
}

CUIData* CUIData::GetInstance() {
  if (!g_uiData) g_uiData = new CUIData();
  g_uiData->AddRef();
  return g_uiData;
}

CUIData* CUIData::Instance() { return g_uiData; }

CUIData::CUIData() {
  m_socket = std::make_unique<LocalSocket>(g_requestPort, g_pushPort);
  m_languages = CLanguages::GetInstance();
  QuerySysType();
  m_socket->SetCallback(this);
  m_socket->StartListener();
  m_watch = std::thread(&CUIData::WatchNetwork, this);
}

CUIData::~CUIData() {
  m_socket->SetCallback(nullptr);
  // A push reader may be inside a callback that answers through this object: its threads end
  // while every member is still whole.
  m_socket->Stop();
  if (m_languages) m_languages->Release();
  {
    std::lock_guard<std::mutex> lock(m_watchLock);
    m_stop = true;
  }
  m_watchWake.notify_all();
  if (m_watch.joinable()) m_watch.join();
  m_socket.reset();
  if (g_uiData == this) g_uiData = nullptr;
}

int CUIData::AddRef() { return ++m_refs; }

int CUIData::Release() {
  if (--m_refs > 0) return m_refs;
  m_refs = 0;
  delete this;
  return 0;
}

int CUIData::Request(uint16_t opcode, const Bytes& body, Bytes& reply) {
  const Bytes message = Message(opcode, body);
  const int rc = m_socket->SendRequest(message.data(), static_cast<int>(message.size()), reply, m_host);
  if (rc != 0) return rc;
  return Be16(reply.data() + 2) == opcode ? 0 : 1;
}

void CUIData::QuerySysType() {
  Bytes reply;
  if (Request(kOpGetSysType, {}, reply) == 0 && reply.size() >= 12) m_sysType = static_cast<int>(Be32(reply.data() + 8));
}

void CUIData::WatchNetwork() {
  std::unique_lock<std::mutex> lock(m_watchLock);
  while (!m_watchWake.wait_for(lock, std::chrono::seconds(1), [this] { return m_stop; })) {
    lock.unlock();
    const bool alive = Plat_IsNetworkAlive();
    IUIDataCallBack* cb = m_callback;
    if (cb) {
      if (alive) cb->OnNetworkUp();
      else cb->OnNetworkDown();
    }
    lock.lock();
  }
}

int CUIData::LogOn(LoginRecord* record, int hash) {
  if (!record) return -1;
  Bytes message(kLoginQueueMessageSize, 0);
  PutBe16(message.data(), kLoginQueueMessageSize);
  PutBe16(message.data() + 2, kOpLogOn);
  std::memcpy(message.data() + 8, record->email, 32);
  if (hash) {
    char hashed[64] = {};
    // Without a hash there is nothing the service could check: nothing is sent.
    if (CryptPassword(hashed, record->password) != 0) return -1;
    std::memcpy(message.data() + 40, hashed, 32);
    CopyText(record->password, sizeof record->password, hashed);
  } else {
    std::memcpy(message.data() + 40, record->password, 32);
  }
  m_socket->QueueRequest(message.data(), m_host);
  return 0;
}

int CUIData::LogOut() {
  Bytes reply;
  Request(kOpLogOut, {}, reply);
  return 0;
}

int CUIData::GetLogOnInfo(LoginRecord* record) {
  Bytes reply;
  if (Request(kOpGetLogOnInfo, {}, reply) != 0 || reply.size() < 8 + 64) return 0;
  std::memcpy(&m_account, reply.data() + 8, sizeof m_account);
  const std::string email = FixedText(reply.data() + 8, 32), password = FixedText(reply.data() + 40, 32);
  if (record) {
    CopyText(record->email, sizeof record->email, email);
    CopyText(record->password, sizeof record->password, password);
    record->valid = !email.empty() && !password.empty() ? 1 : 0;
  }
  return 0;
}

int CUIData::GetLogOnStatus() {
  Bytes reply;
  const int rc = Request(kOpLogOnStatues, {}, reply);
  if (rc == -2 || rc == -3) return rc;
  if (rc != 0 || reply.size() < 12) return 0;
  return LogOnStateOfCode(Be32(reply.data() + 8));
}

int CUIData::GetMobileState() {
  Bytes reply;
  if (Request(kOpGetIsMobileLinked, {}, reply) != 0 || reply.size() < 12) return 0;
  if (Be32(reply.data() + 8) != 0) return 1;
  if (Request(kOpGetIsTraning, {}, reply) != 0 || reply.size() < 12) return 0;
  if (Be16(reply.data() + 8) != 0) return 3;
  if (Be16(reply.data() + 10) != 0) return 4;
  return 2;
}

int CUIData::SetServerAddr(const std::string& host) {
  m_host = host;
  return 0;
}

int CUIData::GetDefShare(std::string& dataFolder) {
  Bytes reply;
  if (Request(kOpGetDefShare, {}, reply) == 0 && reply.size() >= 8 + 6 * kDefShareFieldSize) {
    std::string six[6];
    for (size_t i = 0; i < 6; ++i)
      six[i] = FromService(
          FixedText(reply.data() + 8 + i * kDefShareFieldSize, kDefShareFieldSize));
    dataFolder = six[0];
    m_dataFolder = six[0];
    m_categories = CategoryFolders{six[1], six[2], six[3], six[4], six[5]};
  }
  if (dataFolder.empty()) {
    const std::string base = DefaultBaseFolder();
    dataFolder = FillDefShareInfo(base).path[0];
    SetDefShare(base);
  }
  PrepareDataFolder();
  return 0;
}

int CUIData::SetDefShare(const std::string& base) {
  int moved = 0;
  if (!m_dataFolder.empty()) {
    moved = CheckAndMoveDataFolder(base);
    if (moved == -1 || moved == 1) return moved;
  }
  const DefShareInfo info = FillDefShareInfo(base);
  // Every path must reach the service whole: one that cannot be converted or does not fit its
  // field stops the change before anything is sent.
  Bytes body(6 * kDefShareFieldSize, 0);
  for (size_t i = 0; i < 6; ++i) {
    std::string utf8;
    if (!Convert(LocalToUtf8, info.path[i], utf8) || utf8.size() > kTextMax) return -1;
    std::memcpy(body.data() + i * kDefShareFieldSize, utf8.data(), utf8.size());
  }
  CreateCategoryFolders(info);
  m_dataFolder = info.path[0];
  PrepareDataFolder();
  m_categories = CategoryFolders{info.path[1], info.path[2], info.path[3], info.path[4], info.path[5]};
  Bytes reply;
  Request(kOpSetDefShare, body, reply);
  return moved == -2 ? -2 : 0;
}

int CUIData::GetShare() {
  Bytes reply;
  if (Request(kOpGetShare, {}, reply) != 0) return 0;
  m_shares.clear();
  for (const std::string& entry : SplitReplyEntries(reply.data() + 8, reply.size() - 8)) {
    const std::string folder = FromService(entry);
    m_shares.push_back(folder);
    IUIDataCallBack* cb = m_callback;
    if (cb) cb->OnShareItem(folder);
  }
  m_sharesLoaded = true;
  return 0;
}

int CUIData::SetShare(const std::vector<std::string>* add, const std::vector<std::string>* remove) {
  // Until the list was read, sending it would replace every share the service has.
  if (!m_sharesLoaded) return -1;
  std::vector<std::string> shares = m_shares;
  if (add) {
    for (const std::string& f : *add)
      if (std::find(shares.begin(), shares.end(), f) == shares.end()) shares.push_back(f);
  }
  if (remove) {
    for (const std::string& f : *remove) {
      auto it = std::find(shares.begin(), shares.end(), f);
      if (it != shares.end()) shares.erase(it);
    }
  }
  const std::vector<std::string> previous = m_shares;
  m_shares = shares;
  const int rc = SendShareList();
  if (rc != 0) m_shares = previous;
  return rc;
}

int CUIData::SendShareList() {
  std::string text;
  for (const std::string& f : m_shares) text += f + "\r\n";
  std::string utf8;
  if (!Convert(LocalToUtf8, text, utf8)) return -1;
  if (utf8.size() + 8 > 0xFFFF) return -1;  // the frame's length field holds no more
  Bytes reply;
  Request(kOpSetShare, Bytes(utf8.begin(), utf8.end()), reply);
  return 0;
}

int CUIData::GetTransLog() {
  Bytes reply;
  if (Request(kOpGetTransLog, {}, reply) != 0) return 0;
  const size_t count = (reply.size() - 8) / kTransLogRecordSize;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* r = reply.data() + 8 + i * kTransLogRecordSize;
    TransLogRecord rec{};
    rec.type = Be16(r);
    rec.status = Be16(r + 2);
    rec.size = Be32(r + 4);
    CopyText(rec.time, sizeof rec.time, FixedText(r + 8, 30));
    CopyText(rec.file, sizeof rec.file, FromService(FixedText(r + 38, kTextMax)));
    IUIDataCallBack* cb = m_callback;
    if (cb) cb->OnTransLogItem(&rec);
  }
  return 0;
}

int CUIData::GetPath(const std::string& path) {
  Bytes body;
  if (!path.empty()) {
    std::string utf8;
    if (!Convert(LocalToUtf8, path, utf8) || utf8.size() > kTextMax) return -1;
    body.assign(utf8.begin(), utf8.end());
  }
  Bytes reply;
  if (Request(kOpGetPath, body, reply) != 0) return 0;
  for (const std::string& entry : SplitReplyEntries(reply.data() + 8, reply.size() - 8)) {
    IUIDataCallBack* cb = m_callback;
    if (cb) cb->OnPathItem(FromService(entry));
  }
  return 0;
}

int CUIData::AnswerMobileLogin(const MobileLoginAnswer* answer) {
  if (!answer) return 0;
  std::lock_guard<std::recursive_mutex> map(m_socket->MapLock());
  PushConnection held;
  if (m_socket->FindPush(answer->requestId, held))
    LocalSocket::ReplyToPush(held.socket, held.owner, held.requestId, answer->accept == 1 ? 0 : 1);
  return 0;
}

int CUIData::SetPwd(const std::string& password) {
  if (password.size() > 31) return -1;  // the field holds 31 bytes and its zero
  Bytes body(32, 0);
  std::copy(password.begin(), password.end(), body.begin());
  Bytes reply;
  Request(kOpSetPwd, body, reply);
  return 0;
}

int CUIData::GetPwd(std::string& out) {
  Bytes reply;
  if (Request(kOpGetPwd, {}, reply) == 0) out = FixedText(reply.data() + 8, reply.size() - 8);
  return 0;
}

int CUIData::RefreshDataFolder() {
  if (m_host != "127.0.0.1" || m_dataFolder.empty()) return 0;
  WriteDesktopIni();
  CopyHelpPdf();
  RegisterComputerIcon(true);
  return 0;
}

void CUIData::OnRecv(const uint8_t* message, int length) {
  IUIDataCallBack* cb = m_callback;
  if (!cb || length < 8) return;
  MobileLoginRequest request;
  if (DecodeLoginPush(message, static_cast<size_t>(length), request)) cb->OnMobileLoginRequest(&request);
}

int CUIData::CheckAndMoveDataFolder(const std::string& base) {
  if (m_host != "127.0.0.1") return -1;  // the data folder of another PC is not ours to move
  return m_mover ? m_mover(m_dataFolder, base) : MoveDataFolder(m_dataFolder, base);
}

void CUIData::PrepareDataFolder() {
  if (m_host != "127.0.0.1" || m_dataFolder.empty()) return;
  WriteDesktopIni();
  CopyHelpPdf();
  RegisterComputerIcon(false);
}

void CUIData::WriteDesktopIni() {
  const std::string ini = m_dataFolder + (m_dataFolder.back() == '/' ? "" : "/") + "desktop.ini";
  const std::string name = m_languages ? WideToUtf8(m_languages->GetText("UI", "DIRVER_NAME")) : "";
  ProfileWriteString(ini, ".ShellClassInfo", "IconResource", GetModuleDir() + "/Quarlo,0");
  ProfileWriteString(ini, ".ShellClassInfo", "LocalizedResourceName", name);
}

void CUIData::CopyHelpPdf() {
  static const char* const kNames[3] = {"Quarlo帮助说明.pdf", "Instructions for Quarlo.pdf", "Quarlo幫助說明.pdf"};
  const std::string target = m_dataFolder + (m_dataFolder.back() == '/' ? "" : "/");
  std::error_code ec;
  for (const char* n : kNames) fs::remove(target + n, ec);
  const int id = GetSystemDefaultLangId();
  int pick = 1;
  if ((id & 0x3FF) == 4 && (id & 0xFC00) == 0x800) pick = 0;
  if ((id & 0x3FF) == 4 && (id & 0xFC00) == 0x400) pick = 2;
  fs::copy_file(GetModuleDir() + "/" + kNames[pick], target + kNames[pick], fs::copy_options::none, ec);
}

void CUIData::RegisterComputerIcon(bool force) {
  if (!force && IsComputerNamespaceIconRegistered(m_dataFolder)) return;
  const int language = m_languages ? m_languages->GetLanguage() : 1;
  const char digit = language == 0 ? '0' : language == 2 ? '2' : '1';
  const std::string params = std::string(kFolderShortcutGuid) + " cmd_add_icon " + digit + " \"" +
                             m_dataFolder + "\" \"" + GetModuleDir() + "/Quarlo\"";
  const std::wstring notice = m_languages ? m_languages->GetText("MESSAGEBOX", "MSGBOX_UAC") : L"";
  RunMaybeElevated(m_languages, GetModuleDir() + "/Quarlo_Cmd", params, notice);
}

}  // namespace desktop
