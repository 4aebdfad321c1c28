#pragma once
// Start-up of the service library: the thread pool, the named mutexes, and the command server,
// which must hold its port before the service goes on. It sits above the OS layer and the
// command server it starts.
#include "common/os_layer.h"

// 0, or kErrThreadPool, kErrMutex, kErrCommandServerTask, kErrNoCommandPort (the command
// server could not bind its port, or had not within the wait). The service reports running
// only after this, so a port held by another program is a failed start, never a running
// service that nobody can reach.
int OS_Init();
// The task OS_Init starts as the command server (OS_RunEvent; tests put in their own).
using OsServerTask = int (*)(void*);
void OS_SetCommandServerTask(OsServerTask task);
