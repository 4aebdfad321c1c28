// quarlo_dbinit <path> [--svhost H --svport N --p2phost H --p2pport N --localport N --force]
// Creates the settings database the service is installed with.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/dbinit/schema.h"

namespace {

const char kUsage[] =
    "usage: quarlo_dbinit PATH [--svhost H] [--svport N] [--p2phost H] [--p2pport N]\n"
    "                     [--localport N] [--force]\n"
    "Creates the settings database PATH (mode 0600) that the service is installed with:\n"
    "the central server at --svhost:--svport, its peer-to-peer port --p2phost:--p2pport, the\n"
    "command port --localport. --force replaces an existing file.\n";

void Usage() { std::fputs(kUsage, stderr); }

bool ParsePort(const char* text, int& out) {
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 65535) return false;
  out = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  SchemaOptions opt;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--force") {
      opt.overwrite = true;
      continue;
    }
    if (arg.rfind("--", 0) == 0) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "quarlo_dbinit: %s needs a value\n", arg.c_str());
        Usage();
        return 2;
      }
      const char* value = argv[++i];
      bool ok = true;
      if (arg == "--svhost") opt.svhost = value;
      else if (arg == "--p2phost") opt.p2phost = value;
      else if (arg == "--svport") ok = ParsePort(value, opt.svport);
      else if (arg == "--p2pport") ok = ParsePort(value, opt.p2pport);
      else if (arg == "--localport") ok = ParsePort(value, opt.localport);
      else {
        std::fprintf(stderr, "quarlo_dbinit: unknown option %s\n", arg.c_str());
        Usage();
        return 2;
      }
      if (!ok) {
        std::fprintf(stderr, "quarlo_dbinit: %s wants a port from 0 to 65535, not \"%s\"\n",
                     arg.c_str(), value);
        Usage();
        return 2;
      }
      if ((arg == "--svhost" || arg == "--p2phost") && *value == '\0') {
        std::fprintf(stderr, "quarlo_dbinit: %s wants a host name\n", arg.c_str());
        Usage();
        return 2;
      }
      continue;
    }
    if (!path.empty()) {
      std::fprintf(stderr, "quarlo_dbinit: more than one path given\n");
      Usage();
      return 2;
    }
    path = arg;
  }
  if (path.empty()) {
    Usage();
    return 2;
  }

  std::string error;
  if (CreateSettingsDatabase(path, opt, error) != 0) {
    std::fprintf(stderr, "quarlo_dbinit: %s\n", error.c_str());
    return 1;
  }
  std::printf("created %s (command port %d, central server %s:%d, peer-to-peer server %s:%d)\n",
              path.c_str(), opt.localport, opt.svhost.c_str(), opt.svport, opt.p2phost.c_str(),
              opt.p2pport);
  return 0;
}
