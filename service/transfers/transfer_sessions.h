#pragma once
// Open file transfers keyed by the session id of their messages, the running-download
// counter, the list of relay downloads to stop, the close operations the transports call when
// a connection or UDT socket drops, and the transfer log.
// Lock order: g_MutexTransMap is released before the peer-list mutex is taken; no path holds
// two of g_MutexTransMap, g_MutexDownLoadCount and g_StopDownLoadMutex at once. The deferred
// replies' lock is taken under g_MutexTransMap (Trans_Add asks whether a request's connection
// is gone), never the other way round.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

struct bufferevent;

struct TransferEntry {
  bufferevent* conn = nullptr;  // connection of the request that opened it
  int udtSock = -1;
  FILE* file = nullptr;         // uploads: the temporary file being written
  std::string tmpPath;          // uploads only
  std::string targetPath;
  std::string digest;           // uploads: the 16 raw fingerprint bytes
  // Downloads keep the file that passed the check open in `file` until they start.
  std::chrono::steady_clock::time_point opened = std::chrono::steady_clock::now();
  bool started = false;         // uploads: data arrived
};

// Open transfers one connection or UDT socket may hold, and all of them together.
constexpr size_t kMaxTransfersPerRoute = 16;
constexpr size_t kMaxTransfers = 1024;

// The map; touch only under g_MutexTransMap.
extern std::map<uint32_t, TransferEntry> g_TransMap;
extern int g_nDownLoadCount;               // under g_MutexDownLoadCount
extern std::vector<int> g_StopDownloadList;  // under g_StopDownLoadMutex

// Each takes g_MutexTransMap itself.
void Trans_Add(uint32_t id, const TransferEntry& entry);  // replaces (and closes) any holder of id
bool Trans_Take(uint32_t id, TransferEntry& out);         // removes without closing the file
bool Trans_Remove(uint32_t id);                           // closes the file, erases
size_t Trans_Count();
// How many entries were ever added: a change tells a poller that a transfer opened.
uint64_t Trans_Opened();
// Whether a new entry under id may open for this connection/socket: entries that never started
// within the connection idle time are closed first; an entry already under id is not counted.
bool Trans_RoomFor(uint32_t id, bufferevent* conn, int udtSock);
// Whether id is held by an entry of a different connection/socket.
bool Trans_HeldByOther(uint32_t id, bufferevent* conn, int udtSock);

// Close every open transfer of a dropped connection / UDT socket (logged per entry).
void CloseTcpTransfers(bufferevent* conn);
void CloseUdtTransfers(int udtSock);

void DownloadCount_Add(int delta);
int DownloadCount_Get();

// Appends a qv_trans row (nothing for size 0); keeps at most 100 rows, trimming the 50 oldest.
void WriteTranLog(const std::string& path, int type, uint64_t size);
// The same row written by the transfer-log writer thread, in the order queued: handlers on an
// event thread never wait for the database (its write mutex, SQLite's syncs). Rows are
// committed together, at most once a second: a row is durable within a second.
void QueueTranLog(const std::string& path, int type, uint64_t size);
// Waits until every row queued before the call is written (the stop path; tests).
void TransLog_Flush();
// Tests: called on the writer thread before each row is written (null: none).
void TransLog_SetBeforeWriteHook(void (*hook)());

// Installs the command server's connection-closed hook: the connection's deferred replies and
// CloseTcpTransfers, then alsoOnClose (the downloads' own step, which sit above this file).
void Trans_InstallHooks(void (*alsoOnClose)(bufferevent*));
