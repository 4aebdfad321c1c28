// Every program helps itself: --help and -h print the usage on standard output and succeed; a
// command line it does not take prints the usage on standard error and fails.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/temp_base.h"

namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs the program with stdin from /dev/null, in its own empty folder (so nothing it might make
// lands in the build tree), collecting stdout and stderr apart.
Outcome RunApart(const std::vector<std::string>& argv, const std::string& dir) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (chdir(dir.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  Outcome r;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  while (open > 0 && poll(fds, 2, 30000) > 0) {
    for (pollfd& f : fds) {
      if (f.fd < 0 || !(f.revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      const ssize_t n = read(f.fd, buf, sizeof buf);
      if (n <= 0) {
        close(f.fd);
        f.fd = -1;
        --open;
      } else {
        (f.fd == out[0] ? r.out : r.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  for (pollfd& f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

TEST(Help, EveryProgramAnswersHelpAndRefusesABadCommandLine) {
  const std::string b = QUARLO_BUILD_DIR;
  struct Case {
    std::string program;
    std::string usageWord;             // a word its usage text holds
    std::vector<std::string> bad;      // a command line it does not take
    int badStatus;
    std::string badStdout;             // what callers parse stays on standard output
  };
  const std::vector<Case> cases = {
      {b + "/service/QuarloClient", "-i NAME", {"-r"}, 1, ""},
      {b + "/service/QuarloClient", "-i NAME", {"-x", "Quarlo"}, 255, ""},
      {b + "/central/QuarloCentral", "account passwd", {"statuss"}, 2, ""},
      {b + "/central/QuarloCentral", "account passwd", {"--data", "d", "account", "rename", "x"}, 2, ""},
      {b + "/tools/dbinit/quarlo_dbinit", "--localport", {"--colour", "x"}, 2, ""},
      {b + "/tools/cmd/Quarlo_Cmd", "cmd_add_icon", {"x"}, 1, "Code:-1\n"},
      {b + "/tools/cmd/Quarlo_Cmd", "cmd_add_icon", {"x", "cmd_remove", "1", "/f", "/i"}, 1, "Code:-1\n"},
      {b + "/tools/hostednetwork/qv_hostednetwork", "/start NAME", {"/begin"}, 2, ""},
      {b + "/desktop/app/Quarlo", "Usage: Quarlo", {"--tray"}, 2, ""},
      {b + "/platform/tools/sc", "queryex", {"frobnicate", "Quarlo"}, 87, ""},
      {b + "/platform/tools/net", "START", {"pause", "Quarlo"}, 1, ""},
      {b + "/platform/tools/taskkill", "/PID", {"/X"}, 1, ""},
      {b + "/platform/tools/reg", "REG QUERY", {"QUERY", "HKCU\\Software", "/Z"}, 1, ""},
      {b + "/tests/quarlo-phone", "discover INTERFACE", {"--colour", "ls"}, 2, ""},
      {b + "/tests/quarlo-phone", "discover INTERFACE", {"sort", "maybe"}, 2, ""},
      // The benchmarks: a bad command line refuses before anything starts.
      {b + "/bench/download_bench", "LEVELS|first", {"--size", "5"}, 2, ""},
      {b + "/bench/http_bench", "usage: http_bench", {"1", "2"}, 2, ""},
      {b + "/bench/fair_bench", "usage: fair_bench", {"9"}, 2, ""},
      {b + "/bench/picture_bench", "PHOTOS", {"-n"}, 2, ""},
      {b + "/bench/relay_bench", "usage: relay_bench", {"--fast"}, 2, ""},
      {b + "/bench/udt_bench", "usage: udt_bench", {"64", "x"}, 2, ""},
  };
  TempBase dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    for (const char* help : {"--help", "-h"}) {
      const Outcome r = RunApart({c.program, help}, dir.Dir());
      EXPECT_EQ(r.status, 0) << help << ": " << r.err;
      EXPECT_NE(r.out.find(c.usageWord), std::string::npos) << help << ": " << r.out;
      EXPECT_EQ(r.err, "") << help;
    }
    std::vector<std::string> argv{c.program};
    argv.insert(argv.end(), c.bad.begin(), c.bad.end());
    const Outcome r = RunApart(argv, dir.Dir());
    EXPECT_EQ(r.status, c.badStatus) << c.bad[0] << ": " << r.out << r.err;
    EXPECT_NE(r.err.find(c.usageWord), std::string::npos) << c.bad[0] << ": " << r.err;
    EXPECT_EQ(r.out, c.badStdout) << c.bad[0];
  }
}

TEST(Help, QuarloCentralMakesNoDatabaseWithoutData) {
  TempBase dir;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"status"}, {"account", "list"}}) {
    std::vector<std::string> argv{std::string(QUARLO_BUILD_DIR) + "/central/QuarloCentral"};
    argv.insert(argv.end(), args.begin(), args.end());
    const Outcome r = RunApart(argv, dir.Dir());
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("--data DIR"), std::string::npos) << r.err;
  }
  EXPECT_EQ(access((dir.Dir() + "/central.db").c_str(), F_OK), -1) << "no database in the current folder";
}

}  // namespace
