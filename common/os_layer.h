#pragma once
// The service's thin layer over the C library and the platform: process-wide mutexes, the
// thread pool (started by OS_Init in os_init.h; OS_Exit here), and small helpers for strings,
// files, folders, disk space and text encoding (time texts and formatting come from os_text.h).
// Paths use "/".
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "common/os_text.h"
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

// Sets the exit flag; the mutexes stay (nothing destroys a lock another thread may hold).
void OS_Exit();

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

std::string OS_ConvertEncoding(const std::string& from, const std::string& to, const std::string& text);
