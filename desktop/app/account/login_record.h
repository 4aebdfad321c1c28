#pragma once
// The record the log-in dialog hands to the main window, and the callback it hands it through.
#include <cstdint>

#include "desktop/foundation/ui_data.h"

struct LoginRecord {
  char account[32];   // lower case, NUL-terminated
  char password[32];  // a typed password, or the stored hash (see the callback)
  int32_t remember;   // 1: keep the password for the next start
};

// The service's form of a record (the remember flag stays with the desktop program).
desktop::LoginRecord ToServiceRecord(const LoginRecord& record);
LoginRecord FromServiceRecord(const desktop::LoginRecord& record, int32_t remember);

class ICLoginDlgCallback {
 public:
  virtual ~ICLoginDlgCallback() = default;
  // hash 1: record->password is typed text; the receiver hashes it and writes the hash back
  // into record before it returns. hash 0: it already is the stored hash.
  virtual void OnLogin(LoginRecord* record, int hash) = 0;
  virtual void OnTrayStateChanged() = 0;
  virtual void OnExitRequest() = 0;
  // record->password is the stored hash: stored, then logged on with hash 0.
  virtual void OnLoginHashed(LoginRecord* record) = 0;
};
