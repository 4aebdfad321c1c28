#pragma once
// A thin object layer over SQLite. It throws CppSQLite3Exception and never logs. The database
// object carries the write mutex: writers hold it for each transaction, and readers hold it
// for their query and iteration so that no reader sees a half-rewritten table.
#include <sqlite3.h>

#include <cstdarg>
#include <string>

#include "platform/sync.h"

constexpr int kCppSQLiteError = 1000;

class CppSQLite3Exception {
 public:
  CppSQLite3Exception(int code, const char* message);
  CppSQLite3Exception(const CppSQLite3Exception& other);
  CppSQLite3Exception& operator=(const CppSQLite3Exception&) = delete;
  virtual ~CppSQLite3Exception();
  int ErrorCode() const { return m_code; }
  const char* ErrorMessage() const { return m_message ? m_message : ""; }
  static const char* ErrorCodeName(int code);

 private:
  int m_code;
  char* m_message;  // "%s[%d]: %s", sqlite3_malloc'ed
};

class CppSQLite3Buffer {
 public:
  CppSQLite3Buffer() = default;
  CppSQLite3Buffer(const CppSQLite3Buffer&) = delete;
  CppSQLite3Buffer& operator=(const CppSQLite3Buffer&) = delete;
  ~CppSQLite3Buffer() { Clear(); }
  const char* Format(const char* format, ...);  // sqlite3_vmprintf (%q, %Q)
  void Clear();
  operator const char*() const { return m_text; }

 private:
  char* m_text = nullptr;
};

class CppSQLite3Query {
 public:
  CppSQLite3Query() = default;
  CppSQLite3Query(sqlite3* db, sqlite3_stmt* stmt, bool eof);
  CppSQLite3Query(const CppSQLite3Query&) = delete;
  CppSQLite3Query(CppSQLite3Query&& other) noexcept;
  CppSQLite3Query& operator=(CppSQLite3Query&& other) noexcept;  // finalises the target first
  virtual ~CppSQLite3Query();

  bool Eof() const { return m_eof; }
  int NumFields() const { return m_cols; }
  void NextRow();
  void Finalize();
  int FieldIndex(const char* name) const;
  int FieldDataType(int index) const;
  int GetIntField(const char* name) const;              // NULL gives 0
  int GetIntFieldAt(int index) const;                   // by column index; NULL gives 0
  long long GetInt64Field(const char* name) const;      // NULL gives 0
  std::string GetStringField(const char* name) const;   // owned copy; NULL gives ""

 private:
  sqlite3* m_db = nullptr;
  sqlite3_stmt* m_stmt = nullptr;
  bool m_eof = true;
  int m_cols = 0;
  bool m_owns = false;
};

class CppSQLite3DB {
 public:
  CppSQLite3DB();
  CppSQLite3DB(const CppSQLite3DB&) = delete;
  CppSQLite3DB& operator=(const CppSQLite3DB&) = delete;
  virtual ~CppSQLite3DB();

  void Open(const std::string& path);  // read-write, created when missing; a failed open closes
  void Close();
  bool IsOpen() const { return m_db != nullptr; }
  int ExecDML(const char* sql);
  CppSQLite3Query ExecQuery(const char* sql);
  int ExecScalar(const char* sql);
  sqlite3_stmt* Compile(const char* sql);

  // The database write mutex; immortal, created with the object.
  MutexHandle WriteMutex() { return m_mutex; }

 private:
  sqlite3* m_db = nullptr;
  int m_busyTimeoutMs = 60000;
  MutexHandle m_mutex;
};

// The service's one database.
extern CppSQLite3DB g_DB;
