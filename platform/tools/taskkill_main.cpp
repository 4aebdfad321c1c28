// taskkill: ends processes of the calling user in the calling desktop session by image name
// (/IM) or pid (/PID); /F kills at once, otherwise the process is asked to end (SIGTERM).
// Other users' and other sessions' processes are never touched.
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/process_list.h"

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

const char kUsage[] =
    "TASKKILL [/F] [/T] { /IM imagename | /PID processid } ...\n\n"
    "Description:\n"
    "    Ends processes of this user in this desktop session by image name or process id.\n\n"
    "Parameters:\n"
    "    /IM imagename    the program name of the processes to end\n"
    "    /PID processid   the process id of a process to end\n"
    "    /F               kills at once (otherwise the process is asked to end)\n"
    "    /T               accepted; child processes are not followed\n";

int Usage() {
  std::fprintf(stderr, "ERROR: Invalid syntax.\nType \"TASKKILL /?\" for usage.\n%s", kUsage);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc == 2 && (std::string(argv[1]) == "/?" || std::string(argv[1]) == "--help" ||
                    std::string(argv[1]) == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  std::vector<std::string> images;
  std::vector<int> pids;
  bool force = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = Upper(argv[i]);
    if (a == "/F") {
      force = true;
    } else if (a == "/T") {
      // children are not followed; accepted for the callers' command lines
    } else if (a == "/IM" && i + 1 < argc) {
      images.push_back(argv[++i]);
    } else if (a == "/PID" && i + 1 < argc) {
      char* end = nullptr;
      const long pid = std::strtol(argv[++i], &end, 10);
      if (!end || *end || pid <= 0) return Usage();
      pids.push_back(static_cast<int>(pid));
    } else {
      return Usage();
    }
  }
  if (images.empty() && pids.empty()) return Usage();
  const int sig = force ? SIGKILL : SIGTERM;
  int failures = 0;
  for (const std::string& image : images) {
    const std::vector<int> found = Plat_FindSessionProcesses(image);
    if (found.empty()) {
      std::printf("ERROR: The process \"%s\" not found.\n", image.c_str());
      ++failures;
    }
    for (int pid : found) {
      if (kill(pid, sig) == 0) {
        std::printf("SUCCESS: The process \"%s\" with PID %d has been terminated.\n", image.c_str(), pid);
      } else {
        std::printf("ERROR: The process \"%s\" with PID %d could not be terminated.\n", image.c_str(), pid);
        ++failures;
      }
    }
  }
  for (int pid : pids) {
    // Only a process of this user, even when we run as root.
    if (!Plat_ProcessOfThisUser(pid) || pid == getpid()) {
      std::printf("ERROR: The process \"%d\" not found.\n", pid);
      ++failures;
      continue;
    }
    if (kill(pid, sig) == 0) {
      std::printf("SUCCESS: The process with PID %d has been terminated.\n", pid);
    } else {
      std::printf("ERROR: The process with PID %d could not be terminated.\n", pid);
      ++failures;
    }
  }
  std::fflush(stdout);
  return failures ? 128 : 0;
}
