#pragma once
// Runs a program by argv through posix_spawn: never a shell line, never a batch file. stdin is
// /dev/null; stdout and stderr go to one pipe that is read until the program and everything
// that inherited the pipe let go of it, or until the time-out, so a daemon that keeps the pipe
// open cannot hang the caller. Elevation: run directly when already root, else through pkexec
// with the same argv; either way the caller gets the command's own exit status.
#include <string>
#include <vector>

struct RunResult {
  bool started = false;   // false: the program could not be spawned (errno-like code in error)
  int error = 0;
  bool timedOut = false;  // the deadline passed; the process was killed (SIGKILL) and reaped
  int exitStatus = -1;    // the exit code, or 128 + the signal number; -1 when unknown
  std::string output;     // stdout and stderr, in the order written
};

// Runs argv[0] (an absolute path, or a name looked up in PATH) and waits at most timeoutMs.
RunResult Plat_RunCapture(const std::vector<std::string>& argv, int timeoutMs);

// Starts argv without waiting; the child is reaped in the background. 0 or an errno value.
int Plat_RunDetached(const std::vector<std::string>& argv);

// True when this process runs as root (no elevation needed).
bool Plat_IsElevated();

// Runs argv with administrator rights and waits for it (no time limit: the user answers the
// prompt). Returns the command's exit status, or -1 when it could not be started. The helper
// that elevates is "pkexec"; $QUARLO_ELEVATE_CMD replaces it (tests).
int Plat_RunElevated(const std::vector<std::string>& argv);
