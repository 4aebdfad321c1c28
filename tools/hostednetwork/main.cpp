// qv_hostednetwork /start NAME PASSPHRASE | /stop
#include <signal.h>

#include <cstdio>
#include <cstring>

#include "tools/hostednetwork/hostednetwork.h"

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kHostedNetworkUsage, stdout);
    return kExitOk;
  }
  // Blocked from the start, so a stop request during start-up waits until the hotspot is up
  // and can be taken down again, instead of killing us half-way with the hotspot left on.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

  HostedNetworkHandle handle;
  const int rc = RunHostedNetworkCommand(handle, HostedNetworkCommandLine(argc, argv));
  if (rc != kExitOk || handle.profile.empty()) return rc;

  int sig = 0;
  while (sigwait(&stopSignals, &sig) != 0) {
  }
  return StopHostedNetwork(handle);
}
