#include "service/transfers/transfer_sessions.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/command_server.h"
#include "common/log.h"
#include "common/os_layer.h"
#include "common/settings.h"
#include "common/sqlite_wrapper.h"
#include "service/core/deferred_reply.h"
#include "service/core/ordered_worker.h"
#include "service/core/pool_request.h"

std::map<uint32_t, TransferEntry> g_TransMap;
int g_nDownLoadCount = 0;
std::vector<int> g_StopDownloadList;

namespace {

constexpr int kTransLogMaxRows = 100;

void CloseEntryFile(TransferEntry& entry) {
  if (entry.file) {
    std::fclose(entry.file);
    entry.file = nullptr;
  }
}

// Takes every entry the predicate selects out of the map, in id order. The files are closed
// by the caller after the mutex is released, so no file or log work happens under it.
template <typename Pred>
std::vector<TransferEntry> TakeMatching(Pred pred) {
  std::vector<TransferEntry> taken;
  CMutexLock lock(g_MutexTransMap);
  for (auto it = g_TransMap.begin(); it != g_TransMap.end();) {
    if (pred(it->second)) {
      taken.push_back(std::move(it->second));
      it = g_TransMap.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

std::atomic<void (*)(bufferevent*)> g_alsoOnClose{nullptr};
std::atomic<uint64_t> g_transOpened{0};

void OnConnectionClosed(bufferevent* conn) {
  // First: a request still worked on a pool task then makes no entry for the connection.
  DeferredReply_OnConnectionClosed(conn);
  CloseTcpTransfers(conn);
  if (void (*also)(bufferevent*) = g_alsoOnClose.load()) also(conn);
}

}  // namespace

void Trans_Add(uint32_t id, const TransferEntry& entry) {
  TransferEntry replaced;
  bool hadOld = false;
  {
    CMutexLock lock(g_MutexTransMap);
    // A request worked on a pool task whose connection closed meanwhile: its transfers were
    // closed already, and this one would never be.
    if (PoolRequest_ConnectionGone(entry.conn)) {
      replaced = entry;
      CloseEntryFile(replaced);
      return;
    }
    auto it = g_TransMap.find(id);
    if (it != g_TransMap.end()) {
      replaced = std::move(it->second);
      hadOld = true;
      g_TransMap.erase(it);
    }
    g_TransMap.emplace(id, entry);
  }
  g_transOpened.fetch_add(1, std::memory_order_release);
  if (hadOld) CloseEntryFile(replaced);
}

uint64_t Trans_Opened() { return g_transOpened.load(std::memory_order_acquire); }

bool Trans_Take(uint32_t id, TransferEntry& out) {
  CMutexLock lock(g_MutexTransMap);
  auto it = g_TransMap.find(id);
  if (it == g_TransMap.end()) return false;
  out = std::move(it->second);
  g_TransMap.erase(it);
  return true;
}

bool Trans_Remove(uint32_t id) {
  TransferEntry entry;
  if (!Trans_Take(id, entry)) return false;
  CloseEntryFile(entry);
  return true;
}

bool Trans_RoomFor(uint32_t id, bufferevent* conn, int udtSock) {
  const int idle = OS_GetConnectionLimits().idleSeconds;
  const auto now = std::chrono::steady_clock::now();
  std::vector<TransferEntry> aged;
  if (idle > 0) {
    const auto limit = std::chrono::seconds(idle);
    aged = TakeMatching([&](const TransferEntry& e) { return !e.started && now - e.opened > limit; });
  }
  for (auto& entry : aged) {
    QV_LOG(kModCommLib, kLogDebug, "close unstarted file trans, file %s", entry.targetPath.c_str());
    CloseEntryFile(entry);
  }
  CMutexLock lock(g_MutexTransMap);
  size_t total = 0;
  size_t mine = 0;
  for (const auto& kv : g_TransMap) {
    if (kv.first == id) continue;
    ++total;
    if (kv.second.conn == conn && kv.second.udtSock == udtSock) ++mine;
  }
  return total < kMaxTransfers && mine < kMaxTransfersPerRoute;
}

size_t Trans_Count() {
  CMutexLock lock(g_MutexTransMap);
  return g_TransMap.size();
}

bool Trans_HeldByOther(uint32_t id, bufferevent* conn, int udtSock) {
  CMutexLock lock(g_MutexTransMap);
  auto it = g_TransMap.find(id);
  if (it == g_TransMap.end()) return false;
  return it->second.conn != conn || it->second.udtSock != udtSock;
}

// Every transfer of the connection goes: one left behind would keep its file open forever and
// hold the transfer-state answer above 0.
void CloseTcpTransfers(bufferevent* conn) {
  if (!conn) return;  // UDT and relay-fetched entries carry no connection
  auto taken = TakeMatching([conn](const TransferEntry& e) { return e.conn == conn; });
  for (auto& entry : taken) {
    QV_LOG(kModCommLib, kLogDebug, "close tcp file trans, file %s", entry.targetPath.c_str());
    CloseEntryFile(entry);
  }
}

void CloseUdtTransfers(int udtSock) {
  if (udtSock == -1) return;
  auto taken = TakeMatching([udtSock](const TransferEntry& e) { return e.udtSock == udtSock; });
  for (auto& entry : taken) {
    QV_LOG(kModCommLib, kLogDebug, "close p2p file trans, sock %d, file %s", udtSock,
           entry.targetPath.c_str());
    CloseEntryFile(entry);
  }
}

void DownloadCount_Add(int delta) {
  CMutexLock lock(g_MutexDownLoadCount);
  g_nDownLoadCount += delta;
}

int DownloadCount_Get() {
  CMutexLock lock(g_MutexDownLoadCount);
  return g_nDownLoadCount;
}

namespace {

struct TranLogRow {
  std::string path;
  int type = 0;
  uint64_t size = 0;
};

// Writes rows in one transaction: the table keeps its newest rows, trimmed by 50 whenever it
// holds 100, as if each row had been written alone.
void WriteTranLogRows(const std::vector<TranLogRow>& rows) {
  int count = 0;
  try {
    CppSQLite3Query query = g_DB.ExecQuery("select count(*) as num from qv_trans");
    if (!query.Eof()) count = query.GetIntField("num");
  } catch (const CppSQLite3Exception& e) {
    QV_LOG(kModCommLib, kLogDebug, "sqlite get a exception code %d,msg %s", e.ErrorCode(),
           e.ErrorMessage());
    count = 0;
  }

  try {
    RunWriteTransaction([&] {
      for (const TranLogRow& row : rows) {
        if (count >= kTransLogMaxRows) {
          g_DB.ExecDML(
              "delete from qv_trans where id in (select id from qv_trans order by id limit 50)");
          count -= 50;
        }
        // The size is stored whole: files of 4 GiB and more are common on phones' PCs.
        CppSQLite3Buffer sql;
        sql.Format("insert into qv_trans (type,status,file,size,time)values(%d,%d,%Q,%lld,%Q)",
                   row.type, 0, row.path.c_str(), static_cast<long long>(row.size),
                   OS_GetCurTimeStr().c_str());
        g_DB.ExecDML(sql);
        ++count;
      }
    });
  } catch (const CppSQLite3Exception& e) {
    QV_LOG(kModCommLib, kLogDebug, "sqlite get a exception code %d,msg %s", e.ErrorCode(),
           e.ErrorMessage());
  }
}

// Rows are written in the order queued, on a thread of their own, at most one commit (and
// one sync of the database) a second: a row waits at most that second, so a crash loses at
// most the last second's rows, and a burst of small downloads costs one sync, not one each.
// A flush (the service stopping, tests) writes what waits at once. Immortal, like the
// service's mutexes.
class CTranLogWriter {
 public:
  bool Post(TranLogRow row) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_started) {
      if (!StartWorkerThread("transfer log writer", [this] { Loop(); }, m_thread)) return false;
      m_started = true;
    }
    m_rows.push_back(std::move(row));
    ++m_posted;
    // Only the first row of a batch wakes the writer: with rows waiting it sleeps until its
    // next commit anyway, and a wake-up per row would cost a small download a context switch.
    if (m_rows.size() == 1) m_changed.notify_all();
    return true;
  }

  void Drain() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_started && std::this_thread::get_id() == m_thread) return;
    const uint64_t target = m_posted;
    m_flush = true;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return m_done >= target; });
  }

  void SetBeforeEachHook(void (*hook)()) { m_beforeEach.store(hook); }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    std::chrono::steady_clock::time_point lastCommit{};
    for (;;) {
      m_changed.wait(lock, [&] { return !m_rows.empty(); });
      m_changed.wait_until(lock, lastCommit + kCommitEvery, [&] { return m_flush; });
      m_flush = false;
      std::vector<TranLogRow> batch(std::make_move_iterator(m_rows.begin()),
                                    std::make_move_iterator(m_rows.end()));
      m_rows.clear();
      lock.unlock();
      if (void (*hook)() = m_beforeEach.load()) hook();
      WriteTranLogRows(batch);
      lastCommit = std::chrono::steady_clock::now();
      lock.lock();
      m_done += batch.size();
      m_changed.notify_all();
    }
  }

  static constexpr std::chrono::seconds kCommitEvery{1};
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<TranLogRow> m_rows;
  uint64_t m_posted = 0;  // rows ever posted
  uint64_t m_done = 0;    // rows ever written (or failed)
  bool m_started = false;
  bool m_flush = false;
  std::thread::id m_thread;
  std::atomic<void (*)()> m_beforeEach{nullptr};
};

CTranLogWriter& LogWriter() {
  static CTranLogWriter* writer = new CTranLogWriter;
  return *writer;
}

}  // namespace

void WriteTranLog(const std::string& path, int type, uint64_t size) {
  if (size == 0) return;
  WriteTranLogRows({TranLogRow{path, type, size}});
}

void QueueTranLog(const std::string& path, int type, uint64_t size) {
  if (size == 0) return;
  if (!LogWriter().Post(TranLogRow{path, type, size})) {
    QV_LOG(kModCommLib, kLogError, "row of %s lost.", path.c_str());
  }
}

void TransLog_Flush() { LogWriter().Drain(); }

void TransLog_SetBeforeWriteHook(void (*hook)()) { LogWriter().SetBeforeEachHook(hook); }

void Trans_InstallHooks(void (*alsoOnClose)(bufferevent*)) {
  g_alsoOnClose.store(alsoOnClose);
  DeferredReply_Install();  // handlers finish replies from pool tasks
  OS_SetConnectionClosedHook(&OnConnectionClosed);
}
