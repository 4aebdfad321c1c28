#pragma once
// The update checker: a thread that reads the operator's update page, asks the user (unless
// the user chose to update without asking), downloads the package and its signature into the
// per-user folder, offers it only when the signature holds under the compiled-in key, and
// tells the main window, which has it installed at exit by the elevated step. The thread waits for the
// window in one state (pending, update, cancel, shutdown): nothing but the user's "update"
// starts a download, and Stop() ends every wait and any transfer, then joins the thread. The
// check is a task of the program's background-task helper (UpdateCheckThread).
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "desktop/app/support/background_task.h"
#include "desktop/app/update/update_info.h"


// Reports of the update checker, from its thread; the main window posts each to itself.
class IUpdateCallback {
 public:
  virtual ~IUpdateCallback() = default;
  virtual void OnInstallUpdate() = 0;
  virtual void OnNoUpdate() = 0;
  virtual void OnNewVersion() = 0;
  virtual void OnUpdateDownloaded() = 0;
};

class UpdateChecker {
 public:
  enum class Answer { Pending, Update, Cancel, Shutdown };
  struct Options {
    std::string folder;  // the per-user folder; empty: GetAppDataDir()
    long pageTimeoutMs = 5000;
    long stallSeconds = 60;  // a download that moves nothing this long is a failed try
    // Runs the notice on the main thread; true for "update". Empty: CUpdateNoticeDlg.
    std::function<bool(const std::string& version)> runNotice;
  };

  UpdateChecker();
  explicit UpdateChecker(Options options);
  ~UpdateChecker();

  void SetCallback(IUpdateCallback* callback);
  void SetManual(bool manual);
  // Starts UpdateCheckThread unless a check runs (a request meanwhile only sets the mode).
  void StartCheck();
  // Main thread, after OnNewVersion: the notice that asks whether to update.
  void ShowUpdateNotice();
  // The window has recorded the finished download ("UpdateFinish"); the thread goes on to ask
  // for the install. It releases no other wait.
  void SetEvent();
  // Main thread, after OnNoUpdate of a check the user asked for.
  void ShowNoUpdate();
  // Main thread, at exit: every wait ends, a transfer stops, the thread is joined.
  void Stop();
  // At exit after OnInstallUpdate: starts the downloaded update (when the user may).
  void StartInstaller();

  // One check on the calling thread (the check thread runs this): 1 when a package was
  // downloaded and verified, else 0. mode 1 automatic, 0 asked for by the user.
  int CheckUpdate(int mode);
  friend int UpdateCheckThread(UpdateChecker* checker);
  bool CheckRunning() const;
  std::string RemoteVersion() const;
  std::string PackagePath() const;      // where a verified package lies
  std::string SignaturePath() const;    // its signature, beside it
  std::string VersionFilePath() const;  // "QuarloUpdateVerSion.ini"

 private:
  int CompareAndAct(const UpdateInfo& info, int mode);
  bool AskUser();
  int DownloadUpdate(const UpdateInfo& info);
  // Refused: the package is not what the operator signed (or not signed): no more tries.
  enum class Try { Verified, Failed, Refused };
  Try DownloadOnce(const UpdateInfo& info);

  Options m_options;
  std::atomic<IUpdateCallback*> m_callback{nullptr};
  std::atomic<int> m_mode{1};
  mutable std::mutex m_lock;  // guards everything below
  std::condition_variable m_wake;
  bool m_checkRunning = false;
  Answer m_answer = Answer::Pending;
  bool m_waitingForAnswer = false;
  bool m_waitingForRecord = false;
  bool m_recorded = false;
  bool m_shutdown = false;
  std::string m_remoteVersion;
  CBackgroundTasks m_tasks;  // the check thread; its cancel flag aborts a transfer
};

// The check thread's body: one check in the checker's mode, then the check is over (a later
// request starts a new one). Returns 0.
int UpdateCheckThread(UpdateChecker* checker);

bool IsUpdateNoticeWanted();

// The verified package waiting for the exit, if any (set by a finished download).
std::string PendingUpdatePackage();
// The elevated install step quarlo_update_install: the installed package's, when only root
// can change it, else the one beside the program.
std::string UpdateInstallHelper();
// At exit, after the windows are gone: for an administrator, checks the package and its
// signature again and runs "pkexec <helper> <package> <signature>" by argv
// ($QUARLO_ELEVATE_CMD replaces pkexec), and waits for it. The helper checks the signature
// itself on a copy only root can write and installs that copy. The command's exit status; -1
// when nothing was run.
int InstallPendingUpdate(const std::string& helper = UpdateInstallHelper());
// The argv of that install (tests).
std::vector<std::string> InstallCommand(const std::string& helper, const std::string& package,
                                        const std::string& signature);
