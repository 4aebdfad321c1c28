#pragma once
// Readers and writers of the settings database's qv_ tables (every call reads afresh). Errors
// are caught here: writers roll back and return -1 (ClearLog 1), readers keep their defaults.
// Both log "sqlite get a exception code %d,msg %s" at 700.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

constexpr size_t kAccountFieldSize = 32;
constexpr size_t kPathFieldSize = 260;

struct AccountInfo {  // 64 bytes on every wire
  char email[kAccountFieldSize];
  char password[kAccountFieldSize];
};

struct DefShareInfo {  // 1560 bytes: default, picture, music, video, document, instant
  char def[kPathFieldSize];
  char pic[kPathFieldSize];
  char music[kPathFieldSize];
  char video[kPathFieldSize];
  char doc[kPathFieldSize];
  char instant[kPathFieldSize];
};

struct DefaultDirSet {
  std::string def, pic, music, video, doc, instant;
};

struct TransLogRecord {  // host order here; the local API sends it big-endian (300 bytes)
  uint16_t type;
  uint16_t status;
  uint32_t size;
  char time[30];
  char file[260];
  char reserved[2];
};

// Readers.
void ParseLocalPort();  // into g_LocalPort
void ParseLogConf(int& console, int& priority);  // 0 and 600 by default, also for NULL
void GetServerInfo(std::string& host, uint16_t& port);
void GetP2PServerInfo(std::string& host, uint16_t& port);
void GetUsernfo(std::string& email, std::string& password);
// The stored folders' generation: every write of the shares or the default folders, and every
// open or swap of the database, moves it; the share table reads the folders again when it did.
// Any thread.
void Settings_SharesChanged();
uint64_t Settings_SharesGeneration();
bool ParseDefaultDir(DefaultDirSet& out);  // false on a database error
void GetDefShareInfo(DefShareInfo& out);
bool ParseShareInfo(std::vector<std::string>& out);  // blank entries skipped, duplicates once
void GetTransLog(std::vector<TransLogRecord>& out);  // order by id
std::string GetPsw();

// Writers, one transaction each under the write mutex; 0 on success. The two folder writers
// tell the in-memory share table (common/share_table.h).
int ClearLogOnInfo();
int WriteLogOnInfo(const AccountInfo& account);
int SetDefaultDir(const DefShareInfo& dirs);
int SetShareInfo(const std::vector<std::string>& shares);  // blank entries skipped
int ClearLog();  // 0, or 1 on a database error
int SetPsw(const std::string& password);

void RollbackTransaction();  // "rollback transaction;" and release the write mutex
// Runs body in one transaction under the database write mutex. A database error rolls back,
// releases the mutex and is passed on, for the caller to log under its own name.
void RunWriteTransaction(const std::function<void()>& body);
int CheckIllegalChar(const std::string& text);  // -1 when it holds one of 16 characters

// A fixed text field read within its width (no zero byte: the whole width).
std::string FixedField(const char* field, size_t width);
