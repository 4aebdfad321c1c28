#pragma once
// A phone's power-off request, once it is allowed: the machine is powered off through the
// platform layer, the account logged out and the service told to end. Slow (a command and a
// central-server exchange), so it runs as a pool task.

// Powers the machine off (platform layer); 0 or -1.
int PowerOffSystem();
// Pool task (argument unused): PowerOffSystem; on success LogOut and the exit flag. Its code.
int PowerOffTask(void* unused);
