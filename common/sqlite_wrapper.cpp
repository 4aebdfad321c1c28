#include "common/sqlite_wrapper.h"

#include <utility>

CppSQLite3DB g_DB;

namespace {

const char* const kCodeNames[] = {
    "SQLITE_OK",       "SQLITE_ERROR",    "SQLITE_INTERNAL", "SQLITE_PERM",
    "SQLITE_ABORT",    "SQLITE_BUSY",     "SQLITE_LOCKED",   "SQLITE_NOMEM",
    "SQLITE_READONLY", "SQLITE_INTERRUPT", "SQLITE_IOERR",   "SQLITE_CORRUPT",
    "SQLITE_NOTFOUND", "SQLITE_FULL",     "SQLITE_CANTOPEN", "SQLITE_PROTOCOL",
    "SQLITE_EMPTY",    "SQLITE_SCHEMA",   "SQLITE_TOOBIG",   "SQLITE_CONSTRAINT",
    "SQLITE_MISMATCH", "SQLITE_MISUSE",   "SQLITE_NOLFS",    "SQLITE_AUTH",
    "SQLITE_FORMAT",   "SQLITE_RANGE",
};

constexpr const char* kNotOpen = "Database not open";
constexpr const char* kNullVm = "Null Virtual Machine pointer";
constexpr const char* kBadIndex = "Invalid field index requested";
constexpr const char* kBadName = "Invalid field name requested";
constexpr const char* kBadScalar = "Invalid scalar query";
constexpr const char* kCloseFailed = "Unable to close database";

[[noreturn]] void Throw(int code, const char* message) { throw CppSQLite3Exception(code, message); }

[[noreturn]] void ThrowDb(int code, sqlite3* db) {
  throw CppSQLite3Exception(code, db ? sqlite3_errmsg(db) : "");
}

}  // namespace

// ---- CppSQLite3Exception ----

CppSQLite3Exception::CppSQLite3Exception(int code, const char* message)
    : m_code(code),
      m_message(sqlite3_mprintf("%s[%d]: %s", ErrorCodeName(code), code, message ? message : "")) {}

CppSQLite3Exception::CppSQLite3Exception(const CppSQLite3Exception& other)
    : m_code(other.m_code),
      m_message(other.m_message ? sqlite3_mprintf("%s", other.m_message) : nullptr) {}

CppSQLite3Exception::~CppSQLite3Exception() {
  if (m_message) sqlite3_free(m_message);
}

const char* CppSQLite3Exception::ErrorCodeName(int code) {
  if (code >= 0 && code < static_cast<int>(sizeof(kCodeNames) / sizeof(kCodeNames[0])))
    return kCodeNames[code];
  switch (code) {
    case SQLITE_ROW: return "SQLITE_ROW";
    case SQLITE_DONE: return "SQLITE_DONE";
    case kCppSQLiteError: return "CPPSQLITE_ERROR";
    default: return "UNKNOWN_ERROR";
  }
}

// ---- CppSQLite3Buffer ----

const char* CppSQLite3Buffer::Format(const char* format, ...) {
  Clear();
  va_list args;
  va_start(args, format);
  m_text = sqlite3_vmprintf(format, args);
  va_end(args);
  return m_text;
}

void CppSQLite3Buffer::Clear() {
  if (m_text) sqlite3_free(m_text);
  m_text = nullptr;
}

// ---- CppSQLite3Query ----

CppSQLite3Query::CppSQLite3Query(sqlite3* db, sqlite3_stmt* stmt, bool eof)
    : m_db(db), m_stmt(stmt), m_eof(eof), m_cols(stmt ? sqlite3_column_count(stmt) : 0),
      m_owns(stmt != nullptr) {}

CppSQLite3Query::CppSQLite3Query(CppSQLite3Query&& other) noexcept
    : m_db(other.m_db), m_stmt(other.m_stmt), m_eof(other.m_eof), m_cols(other.m_cols),
      m_owns(other.m_owns) {
  other.m_stmt = nullptr;
  other.m_owns = false;
  other.m_eof = true;
  other.m_cols = 0;
}

CppSQLite3Query& CppSQLite3Query::operator=(CppSQLite3Query&& other) noexcept {
  if (this == &other) return *this;
  try {
    Finalize();
  } catch (...) {
  }
  m_db = other.m_db;
  m_stmt = other.m_stmt;
  m_eof = other.m_eof;
  m_cols = other.m_cols;
  m_owns = other.m_owns;
  other.m_stmt = nullptr;
  other.m_owns = false;
  other.m_eof = true;
  other.m_cols = 0;
  return *this;
}

CppSQLite3Query::~CppSQLite3Query() {
  try {
    Finalize();
  } catch (...) {
  }
}

void CppSQLite3Query::NextRow() {
  if (!m_stmt) Throw(kCppSQLiteError, kNullVm);
  // A finished statement would start over on the next step; the end stays the end.
  if (m_eof) return;
  const int rc = sqlite3_step(m_stmt);
  if (rc == SQLITE_DONE) {
    m_eof = true;
  } else if (rc != SQLITE_ROW) {
    const int frc = sqlite3_finalize(m_stmt);
    m_stmt = nullptr;
    m_owns = false;
    m_eof = true;
    ThrowDb(frc, m_db);
  }
}

void CppSQLite3Query::Finalize() {
  if (!m_stmt || !m_owns) return;
  const int rc = sqlite3_finalize(m_stmt);
  m_stmt = nullptr;
  m_owns = false;
  if (rc != SQLITE_OK) ThrowDb(rc, m_db);
}

int CppSQLite3Query::FieldIndex(const char* name) const {
  if (!m_stmt) Throw(kCppSQLiteError, kNullVm);
  if (name) {
    for (int i = 0; i < m_cols; ++i) {
      const char* col = sqlite3_column_name(m_stmt, i);
      if (col && std::string(col) == name) return i;
    }
  }
  Throw(kCppSQLiteError, kBadName);
}

int CppSQLite3Query::FieldDataType(int index) const {
  if (!m_stmt) Throw(kCppSQLiteError, kNullVm);
  // Without a current row the column values are undefined.
  if (index < 0 || index > m_cols - 1 || m_eof) Throw(kCppSQLiteError, kBadIndex);
  return sqlite3_column_type(m_stmt, index);
}

int CppSQLite3Query::GetIntFieldAt(int index) const {
  if (FieldDataType(index) == SQLITE_NULL) return 0;
  return sqlite3_column_int(m_stmt, index);
}

int CppSQLite3Query::GetIntField(const char* name) const { return GetIntFieldAt(FieldIndex(name)); }

long long CppSQLite3Query::GetInt64Field(const char* name) const {
  const int index = FieldIndex(name);
  if (FieldDataType(index) == SQLITE_NULL) return 0;
  return sqlite3_column_int64(m_stmt, index);
}

std::string CppSQLite3Query::GetStringField(const char* name) const {
  const int index = FieldIndex(name);
  if (FieldDataType(index) == SQLITE_NULL) return std::string();
  const unsigned char* text = sqlite3_column_text(m_stmt, index);
  const int bytes = sqlite3_column_bytes(m_stmt, index);
  if (!text || bytes <= 0) return std::string();
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(bytes));
}

// ---- CppSQLite3DB ----

CppSQLite3DB::CppSQLite3DB() : m_mutex(Plat_CreateMutex()) {}

CppSQLite3DB::~CppSQLite3DB() {
  try {
    Close();
  } catch (...) {
  }
}

void CppSQLite3DB::Open(const std::string& path) {
  if (m_db) Close();
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                 nullptr);
  if (rc != SQLITE_OK) {
    // The handle of a failed open still holds memory and must be closed.
    CppSQLite3Exception e(rc, db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    throw e;
  }
  sqlite3_busy_timeout(db, m_busyTimeoutMs);
  if (!m_mutex) {
    sqlite3_close(db);
    Throw(SQLITE_OK, "init mutex error.");
  }
  m_db = db;
}

void CppSQLite3DB::Close() {
  if (!m_db) return;
  // The write mutex stays: another thread may still hold it.
  if (sqlite3_close(m_db) != SQLITE_OK) Throw(kCppSQLiteError, kCloseFailed);
  m_db = nullptr;
}

int CppSQLite3DB::ExecDML(const char* sql) {
  if (!m_db) Throw(kCppSQLiteError, kNotOpen);
  char* err = nullptr;
  const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &err);
  std::string detail;
  if (err) {
    detail = err;
    sqlite3_free(err);
  }
  if (rc != SQLITE_OK) Throw(rc, detail.c_str());
  return sqlite3_changes(m_db);
}

CppSQLite3Query CppSQLite3DB::ExecQuery(const char* sql) {
  if (!m_db) Throw(kCppSQLiteError, kNotOpen);
  sqlite3_stmt* stmt = Compile(sql);
  const int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) return CppSQLite3Query(m_db, stmt, true);
  if (rc == SQLITE_ROW) return CppSQLite3Query(m_db, stmt, false);
  const int frc = sqlite3_finalize(stmt);
  ThrowDb(frc, m_db);
}

int CppSQLite3DB::ExecScalar(const char* sql) {
  CppSQLite3Query query = ExecQuery(sql);
  if (query.Eof() || query.NumFields() < 1) Throw(kCppSQLiteError, kBadScalar);
  const int value = query.GetIntFieldAt(0);
  try {
    query.Finalize();
  } catch (...) {
  }
  return value;
}

sqlite3_stmt* CppSQLite3DB::Compile(const char* sql) {
  if (!m_db) Throw(kCppSQLiteError, kNotOpen);
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v2(m_db, sql, -1, &stmt, nullptr);
  if (rc != SQLITE_OK) ThrowDb(rc, m_db);
  // Text holding no statement (empty, only a comment) compiles to nothing.
  if (!stmt) Throw(kCppSQLiteError, kNullVm);
  return stmt;
}
