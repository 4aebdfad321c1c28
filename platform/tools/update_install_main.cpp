// quarlo_update_install PACKAGE SIGNATURE: the desktop program's elevated install step, run
// through pkexec. It checks the signature itself on a copy only root can write and installs
// that copy (platform/update_install.h).
//
// pkexec hands the program none of its caller's environment, so the two settings below reach
// only a helper started directly (the tests, which cannot install for real):
//   QUARLO_UPDATE_CACHE_DIR    the folder of the copy (default /var/cache/quarlo-update)
//   QUARLO_UPDATE_INSTALL_CMD  the install program (default /usr/bin/apt-get)
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "platform/update_install.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  if (argc != 3) {
    std::fprintf(stderr, "usage: quarlo_update_install PACKAGE.deb SIGNATURE\n");
    return kUpdateInstallUsage;
  }
  UpdateInstallOptions options;
  if (const char* dir = std::getenv("QUARLO_UPDATE_CACHE_DIR"); dir && *dir) options.cacheDir = dir;
  if (const char* cmd = std::getenv("QUARLO_UPDATE_INSTALL_CMD"); cmd && *cmd)
    options.installProgram = cmd;
  std::string message;
  const int rc = Plat_InstallSignedUpdate(argv[1], argv[2], options, message);
  std::fprintf(rc == 0 ? stdout : stderr, "quarlo_update_install: %s\n", message.c_str());
  return rc;
}
