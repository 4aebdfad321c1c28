#pragma once
// Creates the settings database as it is installed: the six qv_ tables and the one qv_conf
// row, in a new file of mode 0600 (it holds the account's credentials).
#include <string>

struct SchemaOptions {
  std::string svhost = "127.0.0.1";  // central server
  int svport = 15100;
  std::string p2phost = "127.0.0.1";  // peer-to-peer server
  int p2pport = 15101;
  int localport = 15002;  // 0 lets the service's command server pick a free port
  int logPriority = 600;
  int logConsole = 0;
  bool overwrite = false;  // replace an existing file instead of refusing
};

// 0 on success; -1 with a readable reason in `error`. A failure leaves no file behind (an
// existing file that was not to be overwritten is left untouched).
int CreateSettingsDatabase(const std::string& path, const SchemaOptions& opt, std::string& error);

// The schema text compiled in from resources/schema.sql.
const char* SettingsSchemaSql();
