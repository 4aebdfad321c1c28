#pragma once
// Values of the service fixed during start-up (written before the first task starts, read
// without a lock afterwards), and the text conversion between the wire (UTF-8) and local
// names, which only happens under a Chinese code page.
#include <atomic>
#include <cstdint>
#include <string>

#include "common/test_settings.h"

extern std::string g_strBaseDir;     // parent of the program's folder
extern std::string g_strCodePage;    // "gb2312", "big5" or "en"
extern std::string g_strMacAddr;     // "%02X-%02X-..." of the first real adapter
extern std::string g_strOSName;
extern uint16_t g_nSysType;          // always 2
extern char g_szUUID[64];            // device identity, at most 63 characters
extern std::atomic<int> g_nLogOnRtn; // 0 logged on, else a code; written under g_MutexLogOnRtn
constexpr int kErrServerExchange = 0x101A;  // 4122: the exchange with the server failed
constexpr int kErrNoAccount = 0x101F;       // 4127: no account stored

std::string WireToLocal(const std::string& utf8);  // "//IGNORE" decoding; unchanged under "en"
std::string LocalToWire(const std::string& local); // unchanged under "en"


// Dotted IPv4 text of the host, "" when unknown; refreshed by the heartbeat while other
// threads read it, hence the lock inside.
std::string GetLocalIpText();
void SetLocalIpText(const std::string& ip);
