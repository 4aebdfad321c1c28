#pragma once
// The service's thin layer over the C library and the platform: process-wide mutexes, the
// thread pool and the command server (OS_Init/OS_Exit), and small helpers for time texts,
// strings, files, folders, disk space, formatting and text encoding. Paths use "/".
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sync.h"

struct ThreadPool;

constexpr int kErrThreadPool = 258;
constexpr int kErrMutex = 259;
constexpr int kErrCommandServerTask = 264;
constexpr int kErrNoCommandPort = 4130;

// Process-wide state shared by the service's parts.
extern std::atomic<unsigned char> g_ExitFlag;  // 0 running, 1 stopping
extern std::atomic<uint16_t> g_LocalPort;      // command port; set by the command server when 0
// The command server task says whether it holds its port: 0 not yet, 1 bound, -1 it could not.
extern std::atomic<int> g_CommandPortState;
extern ThreadPool* g_pThreadPool;
extern MutexHandle g_MutexLogOnRtn;      // taken after AccountExchangeMutex, never before it
extern MutexHandle g_MutexDownLoadCount;
extern MutexHandle g_MutexLastHBTime;
extern MutexHandle g_MutexTransMap;  // transfer map; released before the peer-list mutex is taken
extern MutexHandle g_StopDownLoadMutex;

// 0, or kErrThreadPool, kErrMutex, kErrCommandServerTask, kErrNoCommandPort (the command
// server could not bind its port, or had not within the wait). The service reports running
// only after this, so a port held by another program is a failed start, never a running
// service that nobody can reach.
int OS_Init();
// Sets the exit flag; the mutexes stay (nothing destroys a lock another thread may hold).
void OS_Exit();
// The task OS_Init starts as the command server (OS_RunEvent; tests put in their own).
using OsServerTask = int (*)(void*);
void OS_SetCommandServerTask(OsServerTask task);

std::string OS_GetCurTimeStr();
std::string OS_TimeToStr(int64_t t);
int64_t OS_StrToTime(const std::string& text);
std::string OS_IntToStr(int32_t v);
std::string OS_UIntToStr(uint32_t v);
void OS_SplitStr(const std::string& text, const std::string& delim, std::vector<std::string>& out);
std::string OS_ReplaceStr(const std::string& text, const std::string& from, const std::string& to);

int OS_FileExists(const std::string& path);   // 0 exists, -1
int OS_RemoveFile(const std::string& path);   // 0 removed or absent, -1
int OS_RenameFile(const std::string& from, const std::string& to);  // never replaces `to`
int OS_CopyFile(const std::string& from, const std::string& to);  // checked; partial target removed
// In place: "/a/b/" and "/a/b" -> "/a", "/a" and "/" -> "/", "ab" unchanged; null for null,
// "" or a single non-separator character.
char* OS_GetParentDir(char* buffer);
int OS_DirExists(const std::string& path);
int OS_GetSubDirs(const std::string& folder, std::vector<std::string>& out);
int OS_GetSubFiles(const std::string& folder, std::vector<std::string>& out);

int OS_CreateMutex(MutexHandle* out);
int OS_CloseMutex(MutexHandle* h);
int OS_CloseEvent(EventHandle* h);
int OS_SetEvent(EventHandle* h);

int OS_GetDiskFreeKB(const std::string& path, uint32_t& outKB);  // saturates at UINT32_MAX
std::string OS_GetDriveName(const std::string& path);            // the mount point
int OS_GetHostName(std::string& out);

std::string OS_FormatStr(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
std::string OS_ConvertEncoding(const std::string& from, const std::string& to, const std::string& text);
