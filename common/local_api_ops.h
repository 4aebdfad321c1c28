#pragma once
// Opcodes and record sizes of the desktop program's local API, shared by the service and the
// desktop program. Header only: the desktop includes it without linking the service library.
#include <cstddef>
#include <cstdint>

constexpr uint16_t kOpGetLogOnInfo = 0x5000;
constexpr uint16_t kOpLogOnStatues = 0x5001;
constexpr uint16_t kOpLogOn = 0x5002;
constexpr uint16_t kOpGetDefShare = 0x5004;
constexpr uint16_t kOpSetDefShare = 0x5005;
constexpr uint16_t kOpGetShare = 0x5006;
constexpr uint16_t kOpSetShare = 0x5007;
constexpr uint16_t kOpGetPath = 0x5008;
constexpr uint16_t kOpGetTransLog = 0x5009;
constexpr uint16_t kOpGetIsTraning = 0x500A;
constexpr uint16_t kOpGetIsMobileLinked = 0x500B;
constexpr uint16_t kOpGetSysType = 0x500C;
constexpr uint16_t kOpLogOut = 0x500E;
constexpr uint16_t kOpClearLog = 0x500F;
constexpr uint16_t kOpGetPwd = 0x5010;
constexpr uint16_t kOpSetPwd = 0x5011;
constexpr uint16_t kOpGetMac = 0x5012;
constexpr uint16_t kOpGetAutoTiding = 0x5013;
constexpr uint16_t kOpSetAutoTiding = 0x5014;
constexpr uint16_t kOpGetVerAndType = 0x1013;

constexpr size_t kDefShareSize = 1560;    // six char[260]
constexpr size_t kDefShareFieldSize = 260;
constexpr size_t kTransLogRecordSize = 300;
constexpr size_t kVerAndTypeSize = 132;
