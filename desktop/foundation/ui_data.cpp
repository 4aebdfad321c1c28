#include "desktop/foundation/ui_data.h"

#include <dlfcn.h>
#include <gio/gio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/local_api_ops.h"
#include "desktop/foundation/data_paths.h"
#include "desktop/foundation/languages.h"
#include "desktop/foundation/profile_file.h"
#include "desktop/foundation/share_list.h"
#include "desktop/foundation/sys_utils.h"
#include "desktop/foundation/text_encodings.h"
#include "platform/files.h"
#include "platform/net_info.h"
#include "platform/process_path.h"
#include "platform/run_command.h"
#include "platform/scm.h"
#include "platform/registry.h"
#include "platform/xdg_folders.h"

namespace fs = std::filesystem;

namespace desktop {

namespace {

constexpr size_t kTextMax = kDefShareFieldSize - 1;  // a path field holds 259 bytes and its zero

constexpr int kCmdToolTimeoutMs = 10000;  // the tool only writes two small files

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

// The running program, which carries the icon (not a fixed name beside it).
std::string OwnProgramPath() {
  std::string path;
  return Plat_ProgramPath(path) == 0 ? path : GetModuleDir() + "/Quarlo";
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
  info.path[0] = DataFolderUnder(base);
  info.path[1] = JoinPath(info.path[0], LocalizedFolderName("PICTURE"));
  info.path[2] = JoinPath(info.path[0], LocalizedFolderName("MUSIC"));
  info.path[3] = JoinPath(info.path[0], LocalizedFolderName("VIDEO"));
  info.path[4] = JoinPath(info.path[0], LocalizedFolderName("DOCUMENT"));
  info.path[5] = JoinPath(info.path[1], LocalizedFolderName("INSTANT"));
  return info;
}

bool CreateCategoryFolders(const DefShareInfo& info, std::string* error) {
  bool all = true;
  for (int i : {3, 4, 2, 1, 5}) {
    std::error_code ec;
    fs::create_directories(info.path[i], ec);
    if (ec || !fs::is_directory(info.path[i])) {
      if (all && error) *error = info.path[i] + ": " + (ec ? ec.message() : "not a folder");
      all = false;
    }
  }
  return all;
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

// Copies the tree with every file checked; false on the first failure. With keep, a name
// that exists at the destination is left as it is (the late-arrivals pass).
bool CopyTree(const fs::path& from, const fs::path& to, uint64_t total, uint64_t& done,
              const MoveProgress& progress, bool keep) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(to, ec))) {
    if (!fs::create_directory(to, ec) || ec) return false;
  }
  std::error_code walk;
  for (const fs::directory_entry& e : fs::directory_iterator(from, walk)) {
    const fs::path target = to / e.path().filename();
    const fs::file_status st = e.symlink_status(ec);
    if (keep && fs::exists(fs::symlink_status(target, ec)) && !fs::is_directory(st)) continue;
    if (fs::is_symlink(st)) {
      fs::copy_symlink(e.path(), target, ec);
      if (ec) return false;
    } else if (fs::is_directory(st)) {
      if (!CopyTree(e.path(), target, total, done, progress, keep) &&
          !(keep && !fs::exists(fs::symlink_status(e.path(), ec))))
        return false;
    } else if (fs::is_regular_file(st)) {
      const uintmax_t size = fs::file_size(e.path(), ec);
      if (ec || !fs::copy_file(e.path(), target, fs::copy_options::none, ec) || ec) {
        // An upload's side file renamed or removed meanwhile is no loss: its file is looked
        // at on the next pass, or was published in the new place.
        if (keep && !fs::exists(fs::symlink_status(e.path(), ec))) continue;
        return false;
      }
      if (fs::file_size(target, ec) != size || ec) {
        if (keep) {
          fs::remove(target, ec);  // it grew while copied: the next pass takes it whole
          continue;
        }
        return false;
      }
      done += size;
      if (progress) progress(done, total);
    }
    // Sockets, pipes and devices are not data: they stay behind with the old folder.
  }
  return !walk;
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

}  // namespace

int CheckDataFolderMove(const std::string& dataFolder, const std::string& newBase) {
  const std::string dst = DataFolderUnder(newBase);
  if (dst.empty() || CanonicalFolder(dataFolder).empty()) return -1;
  if (SameFolder(newBase, BaseFolderOf(dataFolder)) || SameFolder(dst, dataFolder)) return 1;
  if (!IsAllowedShareFolder(newBase)) return -1;
  std::error_code ec;
  if (!fs::is_directory(newBase, ec)) return -1;
  // No move may put the folder inside itself, nor over anything that is there already.
  if (FolderInside(dst, dataFolder) || fs::exists(fs::symlink_status(dst, ec))) return -1;
  return 0;
}

int CarryDataFolder(const std::string& src, const std::string& dst, bool& renamed,
                    const MoveProgress& progress) {
  renamed = true;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(src, ec))) return 0;  // nothing to carry over
  if (Plat_RenameNoReplace(src, dst) == 0) return 0;
  if (errno != EXDEV) return -1;
  renamed = false;
  const uint64_t total = TreeSize(src);
  uint64_t done = 0;
  if (!CopyTree(src, dst, total, done, progress, false)) {
    fs::remove_all(dst, ec);  // only our own partial copy; the original is untouched
    return -1;
  }
  if (progress) progress(total, total);
  return 0;
}

int FinishDataFolderCopy(const std::string& src, const std::string& dst) {
  uint64_t done = 0;
  // Whatever landed in the old folder while it was copied comes along before it goes; the
  // service already sends new files to dst, so a second pass catches what was still arriving.
  for (int pass = 0; pass < 2; ++pass)
    if (!CopyTree(src, dst, 0, done, nullptr, true)) return -2;
  return MoveToTrash(src) ? 0 : -2;
}

int UndoDataFolderCarry(const std::string& src, const std::string& dst, bool renamed) {
  std::error_code ec;
  if (renamed) {
    if (!fs::exists(fs::symlink_status(dst, ec))) return 0;
    return Plat_RenameNoReplace(dst, src) == 0 ? 0 : -1;
  }
  return MoveToTrash(dst) ? 0 : -1;
}

int MoveDataFolder(const std::string& dataFolder, const std::string& newBase, const MoveProgress& progress) {
  const int check = CheckDataFolderMove(dataFolder, newBase);
  if (check != 0) return check;
  const std::string dst = DataFolderUnder(newBase);
  bool renamed = true;
  if (CarryDataFolder(dataFolder, dst, renamed, progress) != 0) return -1;
  return renamed ? 0 : FinishDataFolderCopy(dataFolder, dst);
}

std::vector<std::string> MergeShareList(const std::vector<std::string>& current,
                                        const std::vector<std::string>* add,
                                        const std::vector<std::string>* remove) {
  std::vector<std::string> shares;
  for (const std::string& f : current)
    if (std::find(shares.begin(), shares.end(), f) == shares.end()) shares.push_back(f);
  if (add) {
    for (const std::string& f : *add)
      if (!f.empty() && std::find(shares.begin(), shares.end(), f) == shares.end()) shares.push_back(f);
  }
  if (remove) {
    for (const std::string& f : *remove) shares.erase(std::remove(shares.begin(), shares.end(), f), shares.end());
  }
  return shares;
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
    WithCallback([alive](IUIDataCallBack* cb) {
      if (alive) cb->OnNetworkUp();
      else cb->OnNetworkDown();
    });
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
  {
    std::lock_guard<std::mutex> cache(m_cacheLock);
    std::memcpy(&m_account, reply.data() + 8, sizeof m_account);
  }
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
    std::lock_guard<std::mutex> cache(m_cacheLock);
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
  const DefShareInfo info = FillDefShareInfo(base);
  // Everything that can refuse is asked before anything moves: every path must reach the
  // service whole (converted, and within its field), and the move itself must be allowed.
  Bytes body(6 * kDefShareFieldSize, 0);
  for (size_t i = 0; i < 6; ++i) {
    std::string utf8;
    if (info.path[i].empty() || !Convert(LocalToUtf8, info.path[i], utf8) || utf8.size() > kTextMax) return -1;
    std::memcpy(body.data() + i * kDefShareFieldSize, utf8.data(), utf8.size());
  }
  const std::string old = DataFolder();
  bool carried = false, renamed = true;
  if (!old.empty()) {
    if (m_host != "127.0.0.1") return -1;  // the data folder of another PC is not ours to move
    const int check = CheckDataFolderMove(old, base);
    if (check != 0) return check;
    const std::string dst = info.path[0];
    const MoveJob job = [&old, &dst, &renamed](const MoveProgress& progress) {
      return CarryDataFolder(old, dst, renamed, progress);
    };
    // The mover shows a window: only on the thread that made this client (the main thread).
    const bool mainThread = std::this_thread::get_id() == m_ownerThread;
    if ((m_mover && mainThread ? m_mover(job) : job(nullptr)) != 0) return -1;
    carried = true;
  }
  std::string error;
  if (!CreateCategoryFolders(info, &error)) std::fprintf(stderr, "Quarlo: cannot make %s\n", error.c_str());
  Bytes reply;
  const int rc = Request(kOpSetDefShare, body, reply);
  if (rc != 0 || reply.size() < 12 || Be32(reply.data() + 8) != 0) {
    // The service still points at the old place: the folder goes back there.
    if (carried) UndoDataFolderCarry(old, info.path[0], renamed);
    return -3;
  }
  {
    std::lock_guard<std::mutex> cache(m_cacheLock);
    m_dataFolder = info.path[0];
    m_categories = CategoryFolders{info.path[1], info.path[2], info.path[3], info.path[4], info.path[5]};
  }
  PrepareDataFolder();
  if (carried && !renamed) return FinishDataFolderCopy(old, info.path[0]);
  return 0;
}

int CUIData::ReadShares(std::vector<std::string>& shares) {
  shares.clear();
  Bytes reply;
  if (Request(kOpGetShare, {}, reply) != 0) return -1;
  for (const std::string& entry : SplitReplyEntries(reply.data() + 8, reply.size() - 8))
    shares.push_back(FromService(entry));
  {
    std::lock_guard<std::mutex> cache(m_cacheLock);
    m_shares = shares;
  }
  m_sharesLoaded = true;
  return 0;
}

int CUIData::GetShare() {
  std::vector<std::string> shares;
  if (ReadShares(shares) != 0) return 0;
  for (const std::string& folder : shares) WithCallback([&folder](IUIDataCallBack* cb) { cb->OnShareItem(folder); });
  return 0;
}

int CUIData::SetShare(const std::vector<std::string>* add, const std::vector<std::string>* remove) {
  // Until the list was read, sending it would replace every share the service has.
  if (!m_sharesLoaded) return -1;
  std::lock_guard<std::mutex> cache(m_cacheLock);  // one change of the list at a time
  const std::vector<std::string> previous = m_shares;
  m_shares = MergeShareList(m_shares, add, remove);
  const int rc = SendShareList();
  if (rc != 0) m_shares = previous;
  return rc;
}

// Under m_cacheLock.
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
  std::vector<TransLogRecord> records;
  if (ReadTransLog(records) != 0) return 0;
  for (const TransLogRecord& rec : records) WithCallback([&rec](IUIDataCallBack* cb) { cb->OnTransLogItem(&rec); });
  return 0;
}

int CUIData::ReadTransLog(std::vector<TransLogRecord>& records) {
  records.clear();
  Bytes reply;
  if (Request(kOpGetTransLog, {}, reply) != 0) return -1;
  const size_t count = (reply.size() - 8) / kTransLogRecordSize;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* r = reply.data() + 8 + i * kTransLogRecordSize;
    TransLogRecord rec{};
    rec.type = Be16(r);
    rec.status = Be16(r + 2);
    rec.size = Be32(r + 4);
    CopyText(rec.time, sizeof rec.time, FixedText(r + 8, 30));
    CopyText(rec.file, sizeof rec.file, FromService(FixedText(r + 38, kTextMax)));
    records.push_back(rec);
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
    const std::string item = FromService(entry);
    WithCallback([&item](IUIDataCallBack* cb) { cb->OnPathItem(item); });
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
  if (m_host != "127.0.0.1" || DataFolder().empty()) return 0;
  WriteDesktopIni();
  CopyHelpPdf();
  RegisterComputerIcon(true);
  return 0;
}

void CUIData::OnRecv(const uint8_t* message, int length) {
  if (length < 8) return;
  MobileLoginRequest request;
  if (DecodeLoginPush(message, static_cast<size_t>(length), request))
    WithCallback([&request](IUIDataCallBack* cb) { cb->OnMobileLoginRequest(&request); });
}

void CUIData::SetCallback(IUIDataCallBack* cb) {
  std::unique_lock<std::shared_mutex> change(m_callbackLock);
  m_callback = cb;
}

void CUIData::ClearCallback() {
  std::unique_lock<std::shared_mutex> change(m_callbackLock);  // waits for the calls under way
  m_callback = nullptr;
}

std::vector<std::string> CUIData::Shares() const {
  std::lock_guard<std::mutex> cache(m_cacheLock);
  return m_shares;
}

std::string CUIData::DataFolder() const {
  std::lock_guard<std::mutex> cache(m_cacheLock);
  return m_dataFolder;
}

CategoryFolders CUIData::Categories() const {
  std::lock_guard<std::mutex> cache(m_cacheLock);
  return m_categories;
}

void CUIData::PrepareDataFolder() {
  if (m_host != "127.0.0.1" || DataFolder().empty()) return;
  WriteDesktopIni();
  CopyHelpPdf();
  RegisterComputerIcon(false);
}

void CUIData::WriteDesktopIni() {
  const std::string folder = DataFolder();
  if (folder.empty()) return;
  const std::string ini = folder + (folder.back() == '/' ? "" : "/") + "desktop.ini";
  const std::string name = m_languages ? WideToUtf8(m_languages->GetText("UI", "DIRVER_NAME")) : "";
  ProfileWriteString(ini, ".ShellClassInfo", "IconResource", OwnProgramPath() + ",0");
  ProfileWriteString(ini, ".ShellClassInfo", "LocalizedResourceName", name);
}

void CUIData::CopyHelpPdf() {
  static const char* const kNames[3] = {"Quarlo帮助说明.pdf", "Instructions for Quarlo.pdf", "Quarlo幫助說明.pdf"};
  const std::string folder = DataFolder();
  if (folder.empty()) return;
  const std::string target = folder + (folder.back() == '/' ? "" : "/");
  std::error_code ec;
  for (const char* n : kNames) fs::remove(target + n, ec);
  const int id = GetSystemDefaultLangId();
  int pick = 1;
  if ((id & 0x3FF) == 4 && (id & 0xFC00) == 0x800) pick = 0;
  if ((id & 0x3FF) == 4 && (id & 0xFC00) == 0x400) pick = 2;
  fs::copy_file(GetModuleDir() + "/" + kNames[pick], target + kNames[pick], fs::copy_options::none, ec);
}

void CUIData::RegisterComputerIcon(bool force) {
  const std::string folder = DataFolder();
  if (!force && IsComputerNamespaceIconRegistered(folder)) return;
  const int language = m_languages ? m_languages->GetLanguage() : 1;
  const char digit = language == 0 ? '0' : language == 2 ? '2' : '1';
  // The bookmarks and the registry store it writes are the user's own: no elevation, which
  // would write root's files instead and ask for a password at every refresh. The folder is
  // one argument whatever it holds (quotes, blanks).
  const std::vector<std::string> argv{GetModuleDir() + "/Quarlo_Cmd", kFolderShortcutGuid, "cmd_add_icon",
                                      std::string(1, digit), folder, OwnProgramPath()};
  const RunResult r = Plat_RunCapture(argv, kCmdToolTimeoutMs);
  if (r.exitStatus != 0) std::fprintf(stderr, "Quarlo: Quarlo_Cmd cmd_add_icon ended with %d\n", r.exitStatus);
}

}  // namespace desktop
