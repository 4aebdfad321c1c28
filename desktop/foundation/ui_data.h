#pragma once
// The desktop program's client of the service's local API. One reference-counted instance per
// process; requests run on the caller's (main) thread, each over a connection of its own; the
// log-on is queued. It also holds the push listener (device log-in questions), watches the
// network every second, caches the shares, the account and the data folder, and prepares,
// moves and refreshes the data folder.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "desktop/foundation/local_socket.h"

class ILanguages;

// The service's own library has types of these names; the desktop keeps its own.
namespace desktop {

struct AccountInfo {
  char email[32];
  char password[32];
};

// The first fields of the log-in dialog's record.
struct LoginRecord {
  char email[32];
  char password[32];
  int valid;  // 1 when both texts are non-empty
};

struct TransLogRecord {
  uint16_t type;
  uint16_t status;
  uint32_t size;
  char time[30];
  char file[260];
};

struct MobileLoginRequest {
  char sender[64];
  char network[64];
  uint32_t requestId;  // the push's parameter bytes as received
  uint32_t age;
};

struct MobileLoginAnswer {
  uint32_t requestId;
  uint8_t accept;  // 1 let the phone in
};

struct CategoryFolders {
  std::string picture, music, video, document, instant;
};

// The six paths of the data folder under a base: default, picture, music, video, document,
// instant (the instant folder lies inside the picture folder).
struct DefShareInfo {
  std::string path[6];
};

class IUIDataCallBack {
 public:
  virtual ~IUIDataCallBack() = default;
  virtual void OnShareItem(const std::string& folder) = 0;
  virtual void OnTransLogItem(const TransLogRecord* record) = 0;
  virtual void OnPathItem(const std::string& path) = 0;
  // On a push reader thread, which waits for the return (answer with AnswerMobileLogin).
  virtual void OnMobileLoginRequest(const MobileLoginRequest* request) = 0;
  virtual void OnNetworkDown() = 0;
  virtual void OnNetworkUp() = 0;
};

// Decodes a device log-in push into the question the user sees; false for anything else.
bool DecodeLoginPush(const uint8_t* message, size_t length, MobileLoginRequest& out);
// The entries of a share-list or folder-listing reply body: each ends with CR LF; an entry
// longer than a path field (259 bytes) or empty is skipped, a zero byte ends an entry.
std::vector<std::string> SplitReplyEntries(const uint8_t* data, size_t length);
// Log-on state of a service code: 0 -> 1, 0x1000/0x1001 -> 4, 0x101A -> 5, 0x101F -> 2,
// 0x1024 -> 7, any other the code itself.
int LogOnStateOfCode(uint32_t code);

// The data folder's six paths under base (no separator doubled).
DefShareInfo FillDefShareInfo(const std::string& base);
// Makes the video, document, music, picture and instant folders; false (and errno's text in
// error) when one cannot be made.
bool CreateCategoryFolders(const DefShareInfo& info, std::string* error = nullptr);
// The base proposed when the service knows no data folder: the user's home folder.
std::string DefaultBaseFolder();
// MD5-crypt of the password with the project's setting, prefix removed (22 characters);
// -1 when the crypt library is missing or refuses (a NULL or "*" result).
int CryptPassword(char out[64], const char* password);
void StripCryptPrefix(std::string& text);
bool IsComputerNamespaceIconRegistered(const std::string& folder);
constexpr char kFolderShortcutGuid[] = "E86FBBEA-0844-42D5-82FD-2FE03C2EA7D7";

// Moving the data folder to a new base, in steps, so that every refusal comes before anything
// moves and the service can be told the new place between carrying and clearing up.
// CheckDataFolderMove: 1 unchanged (the same folder, judged canonically), -1 refused (a system
// folder, no such folder, a destination equal to or inside the data folder, or one that
// exists already), 0 the move may go ahead.
int CheckDataFolderMove(const std::string& dataFolder, const std::string& newBase);
// Carries the folder to dst: one rename within a file system (renamed set), else a copy with
// every file checked (write errors, size). 0 carried (also when there was nothing to carry),
// -1 failed with the original untouched and no partial copy left. progress(bytesDone,
// bytesTotal) is called from the carrying thread.
using MoveProgress = std::function<void(uint64_t done, uint64_t total)>;
int CarryDataFolder(const std::string& src, const std::string& dst, bool& renamed,
                    const MoveProgress& progress = nullptr);
// After the service took the copy: files that arrived in src meanwhile are copied over (never
// over a file of the same name), then src goes to the trash; 0, or -2 when src stays.
int FinishDataFolderCopy(const std::string& src, const std::string& dst);
// Puts things back when the service refused the new place: the rename is undone, a copy goes
// to the trash (the original never moved). 0, or -1 when it could not be undone.
int UndoDataFolderCarry(const std::string& src, const std::string& dst, bool renamed);
// The three steps without a service: 0 moved, 1 unchanged, -1 refused or failed, -2 copied
// but the old folder stayed.
int MoveDataFolder(const std::string& dataFolder, const std::string& newBase,
                   const MoveProgress& progress = nullptr);
// The share list the service ends up with: current, then the adds not yet in it, without the
// removes (each path once, exact comparison).
std::vector<std::string> MergeShareList(const std::vector<std::string>& current,
                                        const std::vector<std::string>* add,
                                        const std::vector<std::string>* remove);

class IUIData {
 public:
  virtual ~IUIData() = default;
  virtual int AddRef() = 0;
  virtual int Release() = 0;
  virtual void SetCallback(IUIDataCallBack* cb) = 0;
  virtual void ClearCallback() = 0;
  virtual int LogOn(LoginRecord* record, int hash) = 0;
  virtual int LogOut() = 0;
  virtual int GetLogOnInfo(LoginRecord* record) = 0;
  virtual int GetDefShare(std::string& dataFolder) = 0;
  virtual int SetDefShare(const std::string& base) = 0;
  virtual int GetShare() = 0;
  virtual int SetShare(const std::vector<std::string>* add, const std::vector<std::string>* remove) = 0;
  virtual int GetLogOnStatus() = 0;
  virtual int GetMobileState() = 0;
  virtual int SetServerAddr(const std::string& host) = 0;
  virtual int GetTransLog() = 0;
  virtual int GetPath(const std::string& path) = 0;
  virtual int GetSysType() = 0;
  virtual int AnswerMobileLogin(const MobileLoginAnswer* answer) = 0;
  virtual int SetPwd(const std::string& password) = 0;
  virtual int GetPwd(std::string& out) = 0;
  virtual int RefreshDataFolder() = 0;
  // GetShare has read the service's list (CUIData says so only then; a stand-in that does not
  // model the loading has its list from the start).
  virtual bool SharesLoaded() const { return true; }
  // GetShare and GetTransLog for a worker thread: the entries come back here, in order, and the
  // callback hears nothing (its widgets belong to the main thread). -1 where not provided.
  virtual int ReadShares(std::vector<std::string>& shares) {
    (void)shares;
    return -1;
  }
  virtual int ReadTransLog(std::vector<TransLogRecord>& records) {
    (void)records;
    return -1;
  }
};

class CUIData : public IUIData, public ISocketConnectCallback {
 public:
  // Ports for this process (tests run services side by side); set before the first instance.
  static void SetPorts(uint16_t requestPort, uint16_t pushPort);
  static CUIData* GetInstance();  // created when absent, one more reference
  static CUIData* Instance();     // or nullptr

  int AddRef() override;
  int Release() override;
  void SetCallback(IUIDataCallBack* cb) override;
  // Returns once no callback runs any more (on a push reader, the network watch, a worker).
  void ClearCallback() override;
  int LogOn(LoginRecord* record, int hash) override;
  int LogOut() override;
  int GetLogOnInfo(LoginRecord* record) override;
  int GetDefShare(std::string& dataFolder) override;
  // 0 moved (or set), 1 unchanged, -1 refused or the copy failed, -2 moved but the old folder
  // stayed, -3 the service refused the new place (the folder was put back).
  int SetDefShare(const std::string& base) override;
  int GetShare() override;
  int SetShare(const std::vector<std::string>* add, const std::vector<std::string>* remove) override;
  int GetLogOnStatus() override;
  int GetMobileState() override;
  int SetServerAddr(const std::string& host) override;
  int GetTransLog() override;
  int GetPath(const std::string& path) override;
  int GetSysType() override { return m_sysType; }
  int AnswerMobileLogin(const MobileLoginAnswer* answer) override;
  int SetPwd(const std::string& password) override;
  int GetPwd(std::string& out) override;
  int RefreshDataFolder() override;

  void OnRecv(const uint8_t* message, int length) override;
  void OnError(uint16_t, int) override {}

  std::vector<std::string> Shares() const;
  std::string DataFolder() const;
  CategoryFolders Categories() const;
  uint16_t PushPort() const { return m_socket->BoundPushPort(); }
  LocalSocket& Socket() { return *m_socket; }
  bool SharesLoaded() const override { return m_sharesLoaded; }
  int ReadShares(std::vector<std::string>& shares) override;
  int ReadTransLog(std::vector<TransLogRecord>& records) override;
  void PrepareDataFolder();
  void WriteDesktopIni();
  void CopyHelpPdf();
  void RegisterComputerIcon(bool force);
  // Runs the carrying step of a data-folder move; the desktop program shows a progress
  // dialog while a worker runs it (MakeProgressMover). The default runs it on the caller.
  using MoveJob = std::function<int(const MoveProgress& progress)>;
  using Mover = std::function<int(const MoveJob& job)>;
  void SetMover(Mover mover) { m_mover = std::move(mover); }

 private:
  CUIData();
  ~CUIData() override;
  // 0 and the reply when it answers with the request's opcode; otherwise the exchange's
  // result, or 1 for a reply with another opcode.
  int Request(uint16_t opcode, const std::vector<uint8_t>& body, std::vector<uint8_t>& reply);
  void QuerySysType();
  void WatchNetwork();
  int SendShareList();

  // Runs fn(callback) unless none is set; ClearCallback waits for the calls under way.
  template <typename Fn>
  void WithCallback(Fn fn) {
    std::shared_lock<std::shared_mutex> use(m_callbackLock);
    if (m_callback) fn(m_callback);
  }

  int m_refs = 0;
  std::shared_mutex m_callbackLock;  // shared while a callback runs, exclusive to change it
  IUIDataCallBack* m_callback = nullptr;
  // What the requests learnt; the main thread and the window's worker both ask.
  mutable std::mutex m_cacheLock;
  AccountInfo m_account{};
  std::vector<std::string> m_shares;
  std::atomic<bool> m_sharesLoaded{false};
  CategoryFolders m_categories;
  std::string m_dataFolder;
  std::unique_ptr<LocalSocket> m_socket;
  std::string m_host = "127.0.0.1";
  int m_sysType = 2;
  ILanguages* m_languages = nullptr;
  Mover m_mover;
  std::thread::id m_ownerThread = std::this_thread::get_id();
  std::mutex m_watchLock;
  std::condition_variable m_watchWake;
  bool m_stop = false;
  std::thread m_watch;
};

}  // namespace desktop
