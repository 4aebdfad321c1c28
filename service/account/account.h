#pragma once
// The account's exchanges with the central server: log-on and log-out, the heartbeat, the
// server-info report (the router's port mappings run beside it, their result follows in a
// second report), the power-on and the daily disk reports, and the pool tasks that run them.
// Every call blocks on the network (up to two 5-second time-outs): run them on pool tasks,
// never on an event thread. Account and server are read from the settings on each call.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/proto_central.h"
#include "common/server_client.h"
#include "service/service_globals.h"  // the log-on codes

constexpr int kHeartBeatPeriodMs = 60000;
constexpr int kDiskInfoPeriodMs = 86400000;

int LogOn();   // the server's status (0 logged on), kErrNoAccount, kErrServerExchange
int LogOut();  // the server's status, -1 for a failed exchange, kErrNoAccount (silent)
// Held across LogOn, LogOut and the steps around them that read or change the stored account
// (recursive: those steps call LogOn and LogOut), so that a periodic log-on never lands
// between a log-out and the account's change.
// Lock order: taken before g_MutexLogOnRtn and the settings store's lock (the steps read the
// account and store the log-on result under it), never while either is held.
std::recursive_mutex& AccountExchangeMutex();
int SendHeartBeatToSV(const ServerAddress& server);  // the status, or -1
// Sends at once with the external port of the last finished mapping round (0 when not logged
// on) and, when logged on, starts the next round in the background.
int SetSVInfo();  // the status; -1 without a computer name; kErrServerExchange
void SetPowerOnInfo();
// One record per file system that holds a shared or default folder, in order of first
// appearance; free space 0 where it cannot be read.
void CollectDiskInfo(std::vector<DiskInfo>& out);

// Pool tasks (argument unused).
int SetDiskInfo(void*);  // at once, then once a day
int HeartBeat(void*);    // every minute: log on again, heartbeat, server info
int UserOp(void*);       // the first log-on at start-up

// Stores the log-on result under g_MutexLogOnRtn.
void StoreLogOnResult(int result);
