// QuarloCentral: the central server PCs log on to, and its administration.
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "common/log.h"
#include "central/central_exchanges.h"
#include "central/central_server.h"
#include "central/rendezvous_server.h"
#include "central/central_store.h"
#include "central/password.h"
#include "central/relay_hub.h"
#include "central/site/site_publish.h"
#include "central/site/site_server.h"

namespace {

constexpr int kOnlineWindowSec = 180;  // three missed heartbeats and a PC counts as offline
constexpr size_t kEmailMax = 31;

const char kUsage[] =
    "usage: QuarloCentral --data DIR [--listen ADDR:PORT] [--p2p ADDR:PORT]\n"
    "                     [--site ADDR:PORT [--tls-cert FILE --tls-key FILE]]\n"
    "         run the server (defaults 127.0.0.1:15100, UDP 127.0.0.1:15101); with --site\n"
    "         also the web site (registration, update page, banner), HTTPS with a\n"
    "         certificate and its key (PEM), from DIR/site\n"
    "       QuarloCentral --data DIR account add EMAIL      (password read from standard input)\n"
    "       QuarloCentral --data DIR account passwd EMAIL   (new password from standard input)\n"
    "       QuarloCentral --data DIR account remove EMAIL\n"
    "       QuarloCentral --data DIR account list\n"
    "       QuarloCentral --data DIR status\n"
    "       QuarloCentral --data DIR site publish FILE.deb URL\n"
    "         copy the package and its signature FILE.deb.sig to DIR/site/download and\n"
    "         announce them on the update page as URL/quarlo/download/FILE.deb and .sig\n"
    "         (URL: how the programs reach the site)\n"
    "DIR holds central.db and central.log; it is made (mode 0700) when missing.\n";

int BadCommandLine(const std::string& why) {
  std::fprintf(stderr, "QuarloCentral: %s\n%s", why.c_str(), kUsage);
  return 2;
}

bool SplitHostPort(const std::string& text, std::string& host, uint16_t& port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  host = text.substr(0, colon);
  const std::string p = text.substr(colon + 1);
  char* end = nullptr;
  const long v = std::strtol(p.c_str(), &end, 10);
  if (p.empty() || *end != '\0' || v < 0 || v > 65535) return false;
  port = static_cast<uint16_t>(v);
  return true;
}

std::string TimeText(int64_t t) {
  if (t <= 0) return "never";
  const time_t tt = static_cast<time_t>(t);
  tm local{};
  localtime_r(&tt, &local);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

bool ValidEmail(const std::string& email) {
  if (email.empty() || email.size() > kEmailMax || email.find('@') == std::string::npos)
    return false;
  for (char c : email)
    if (c <= 0x20 || c > 0x7E) return false;
  return true;
}

int OpenStore(const std::string& dir, CCentralStore& store) {
  mkdir(dir.c_str(), 0700);
  std::string error;
  if (!store.Open(dir + "/central.db", error)) {
    std::fprintf(stderr, "QuarloCentral: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

// The password from standard input (not echoed at a terminal); false, said why, when it does
// not fit.
bool ReadPassword(const std::string& email, std::string& password) {
  if (isatty(0)) {
    // Typed at a terminal: not echoed.
    std::fprintf(stderr, "Password for %s: ", email.c_str());
    termios saved{};
    const bool quiet = tcgetattr(0, &saved) == 0;
    if (quiet) {
      termios silent = saved;
      silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      tcsetattr(0, TCSANOW, &silent);
    }
    std::getline(std::cin, password);
    if (quiet) tcsetattr(0, TCSANOW, &saved);
    std::fprintf(stderr, "\n");
  } else {
    std::getline(std::cin, password);
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.size() < 6 || password.size() > 16) {
    std::fprintf(stderr, "QuarloCentral: a password of 6 to 16 characters, please\n");
    return false;
  }
  return true;
}

// The stored hash of a password read from standard input; 0, else the exit status.
int ReadPasswordHash(const std::string& email, std::string& hash) {
  std::string password;
  if (!ReadPassword(email, password)) return 2;
  hash = HashSecret(PcPasswordText(password));
  if (hash.empty()) {
    std::fprintf(stderr, "QuarloCentral: libcrypt could not hash the password\n");
    return 1;
  }
  return 0;
}

int AccountCommand(const std::string& dir, const std::vector<std::string>& args) {
  const bool listing = args.size() == 1 && args[0] == "list";
  if (!listing && (args.size() != 2 || (args[0] != "add" && args[0] != "remove" && args[0] != "passwd")))
    return BadCommandLine("account takes add, passwd or remove EMAIL, or list");
  CCentralStore store;
  if (OpenStore(dir, store) != 0) return 1;
  if (listing) {
    std::vector<CentralAccount> accounts;
    if (!store.ListAccounts(accounts)) return 1;
    for (const CentralAccount& a : accounts)
      std::printf("%s  (added %s)\n", a.email.c_str(), TimeText(a.created).c_str());
    return 0;
  }
  const std::string& email = args[1];
  if (args[0] == "remove") {
    const int rc = store.RemoveAccount(email);
    if (rc == 1) std::fprintf(stderr, "QuarloCentral: no account %s\n", email.c_str());
    if (rc == 0) std::printf("removed account %s\n", email.c_str());
    return rc == 0 ? 0 : 1;
  }
  std::string hash;
  if (args[0] == "passwd") {
    if (const int bad = ReadPasswordHash(email, hash)) return bad;
    const int rc = store.SetAccountHash(email, hash);
    if (rc == 1) std::fprintf(stderr, "QuarloCentral: no account %s\n", email.c_str());
    if (rc == 0) std::printf("new password for %s\n", email.c_str());
    return rc == 0 ? 0 : 1;
  }
  if (!ValidEmail(email)) {
    std::fprintf(stderr, "QuarloCentral: an e-mail address of 1 to 31 characters, please\n");
    return 2;
  }
  if (const int bad = ReadPasswordHash(email, hash)) return bad;
  const int rc = store.AddAccount(email, hash, static_cast<int64_t>(std::time(nullptr)));
  if (rc == 1) std::fprintf(stderr, "QuarloCentral: account %s exists already\n", email.c_str());
  if (rc == 0) std::printf("added account %s\n", email.c_str());
  return rc == 0 ? 0 : 1;
}

int StatusCommand(const std::string& dir) {
  CCentralStore store;
  if (OpenStore(dir, store) != 0) return 1;
  std::vector<CentralAccount> accounts;
  std::vector<CentralDevice> devices;
  if (!store.ListAccounts(accounts) || !store.Devices(devices)) return 1;
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  for (const CentralAccount& a : accounts) {
    std::printf("account %s\n", a.email.c_str());
    bool any = false;
    for (const CentralDevice& d : devices) {
      // A PC that logged out is listed (offline) under the account that let it go.
      if (d.email != a.email && !(d.email.empty() && d.releasedBy == a.email)) continue;
      any = true;
      const bool online = d.loggedOn && now - d.lastSeen <= kOnlineWindowSec;
      std::printf("  pc %s  \"%s\"  %s\n", d.identity.c_str(), d.computer.c_str(),
                  online ? "online" : "offline");
      std::printf("    local %s:%d  external port %d  seen from %s  mac %s  os \"%s\"\n",
                  d.localIp.c_str(), d.commandPort, d.externalPort, d.peerIp.c_str(),
                  d.mac.c_str(), d.os.c_str());
      std::printf("    last log-on %s  last contact %s  powered on %s\n",
                  TimeText(d.lastLogOn).c_str(), TimeText(d.lastSeen).c_str(),
                  TimeText(d.powerOn).c_str());
      for (const DiskInfo& k : d.disks)
        std::printf("    disk %s  %u MiB free\n", k.drive.c_str(), k.freeMiB);
    }
    if (!any) std::printf("  (no PC)\n");
  }
  return 0;
}

int SiteCommand(const std::string& dir, const std::vector<std::string>& args) {
  if (args.size() != 3 || args[0] != "publish")
    return BadCommandLine("site takes publish FILE.deb URL");
  mkdir(dir.c_str(), 0700);
  std::string summary, error;
  if (!PublishUpdate(dir + "/site", args[1], args[2], summary, error)) {
    std::fprintf(stderr, "QuarloCentral: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", summary.c_str());
  return 0;
}

int RunServer(const std::string& dir, const CentralOptions& options, SiteOptions site) {
  // The log names accounts and addresses, the database holds hashes: both, and every file
  // rotated or made later, are the operator's alone.
  umask(077);
  CCentralStore store;
  if (OpenStore(dir, store) != 0) return 1;
  const std::string logPath = dir + "/central.log";
  g_Log.SetPath(logPath);
  g_Log.SetPriority(kLogDebug);
  if (!g_Log.Open() || chmod(logPath.c_str(), 0600) != 0) {
    std::fprintf(stderr, "QuarloCentral: cannot open %s/central.log\n", dir.c_str());
    return 1;
  }
  Log_RouteLibevent();
  CCentralServer server;
  CCentralExchanges exchanges(store);
  exchanges.RegisterAll(server);
  CRelayHub relayHub(exchanges);
  relayHub.RegisterAll(server);
  server.SetLoggedOnAddress([&exchanges](const std::string& ip) { return exchanges.LoggedOnAddress(ip); });
  server.SetAbandonHook([&exchanges](const std::string& ip, const std::string& email, int64_t turn) {
    exchanges.Abandon(ip, email, turn);
  });
  std::string error;
  CRendezvousServer* rendezvousOf = nullptr;
  server.SetDatagramSink([&rendezvousOf](const uint8_t* data, size_t len, const sockaddr_in& from,
                                          const in_addr& to) {
    if (rendezvousOf) rendezvousOf->Post(data, len, from, to);
  });
  if (!server.Start(options, error)) {
    std::fprintf(stderr, "QuarloCentral: %s\n", error.c_str());
    QV_LOG("Central", kLogError, "%s", error.c_str());
    return 1;
  }
  // Destroyed before the server: it runs on the server's event loop.
  CCentralSite siteServer(store);
  if (!site.host.empty()) {
    site.folder = dir + "/site";
    mkdir(site.folder.c_str(), 0700);
    if (!siteServer.Start(server.Base(), site, error)) {
      std::fprintf(stderr, "QuarloCentral: %s\n", error.c_str());
      QV_LOG("Central", kLogError, "%s", error.c_str());
      return 1;
    }
    const std::string url = std::string(siteServer.Tls() ? "https" : "http") + "://" + site.host +
                            ":" + std::to_string(siteServer.BoundPort());
    QV_LOG("Central", kLogInfo, "site on %s, files in %s", url.c_str(), site.folder.c_str());
    std::printf("QuarloCentral site on %s\n", url.c_str());
  }
  QV_LOG("Central", kLogInfo, "listening on %s:%u, peer-to-peer UDP %s:%u, data %s",
         options.listenHost.c_str(), static_cast<unsigned>(server.BoundPort()),
         options.p2pHost.c_str(), static_cast<unsigned>(server.BoundP2PPort()), dir.c_str());
  g_Log.Flush();
  std::printf("QuarloCentral listening on %s:%u (UDP %s:%u), data in %s\n",
              options.listenHost.c_str(), static_cast<unsigned>(server.BoundPort()),
              options.p2pHost.c_str(), static_cast<unsigned>(server.BoundP2PPort()), dir.c_str());
  std::fflush(stdout);
  CRendezvousServer rendezvous;
  if (!rendezvous.Start(exchanges, server.UdpFd(), error)) {
    std::fprintf(stderr, "QuarloCentral: %s\n", error.c_str());
    return 1;
  }
  rendezvousOf = &rendezvous;
  server.Run();
  rendezvousOf = nullptr;
  rendezvous.Stop();
  QV_LOG("Central", kLogInfo, "stopped.");
  g_Log.Flush();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::string dir;  // no default: a database quietly made in whatever folder this runs is lost
  CentralOptions options;
  SiteOptions site;
  site.host.clear();  // no site unless --site names its address
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (rest.empty() && (arg == "--data" || arg == "--listen" || arg == "--p2p" ||
                         arg == "--site" || arg == "--tls-cert" || arg == "--tls-key")) {
      if (i + 1 >= argc) return BadCommandLine(arg + " needs a value");
      const std::string value = argv[++i];
      bool ok = true;
      if (arg == "--data") dir = value;
      else if (arg == "--listen") ok = SplitHostPort(value, options.listenHost, options.listenPort);
      else if (arg == "--site") ok = SplitHostPort(value, site.host, site.port);
      else if (arg == "--tls-cert") ok = !(site.tlsCert = value).empty();
      else if (arg == "--tls-key") ok = !(site.tlsKey = value).empty();
      else ok = SplitHostPort(value, options.p2pHost, options.p2pPort);
      if (!ok || (arg == "--data" && dir.empty()))
        return BadCommandLine("bad value for " + arg + ": " + value);
      continue;
    }
    rest.push_back(arg);
  }
  if (!rest.empty() && rest[0] != "account" && rest[0] != "site" &&
      !(rest[0] == "status" && rest.size() == 1))
    return BadCommandLine("unknown command " + rest[0]);
  if (dir.empty()) return BadCommandLine("--data DIR names the folder of the database and the log");
  if (!site.tlsCert.empty() || !site.tlsKey.empty()) {
    if (site.host.empty()) return BadCommandLine("--tls-cert and --tls-key need --site");
    if (site.tlsCert.empty() || site.tlsKey.empty())
      return BadCommandLine("--tls-cert and --tls-key go together");
  }
  if (rest.empty()) return RunServer(dir, options, site);
  if (rest[0] == "account") return AccountCommand(dir, {rest.begin() + 1, rest.end()});
  if (rest[0] == "site") return SiteCommand(dir, {rest.begin() + 1, rest.end()});
  return StatusCommand(dir);
}
