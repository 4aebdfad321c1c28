// The README's "Try it" block, line by line, against what `make run` lays out: scripts/run.sh
// with its base in a temporary folder (the real QuarloCentral and service on their fixed
// ports, so the test runs in a network namespace of its own). The block is read from the
// source tree, so the test breaks when the README drifts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/service_process.h"
#include "tests/support/text_files.h"
#include "tests/support/wait_for.h"

namespace {

// Every line of the code blocks between "## Try it" and the next heading.
std::vector<std::string> TryItCommands(const std::string& readme) {
  std::vector<std::string> out;
  const size_t start = readme.find("\n## Try it\n");
  if (start == std::string::npos) return out;
  const size_t end = readme.find("\n## ", start + 1);
  const std::string section = readme.substr(start, end - start);
  bool inBlock = false;
  size_t at = 0;
  while (at < section.size()) {
    size_t nl = section.find('\n', at);
    if (nl == std::string::npos) nl = section.size();
    const std::string line = section.substr(at, nl - at);
    at = nl + 1;
    if (line.rfind("```", 0) == 0) {
      inBlock = !inBlock;
      continue;
    }
    if (inBlock && !line.empty()) out.push_back(line);
  }
  return out;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

TEST(Readme, EveryTryItLineWorksAfterMakeRun) {
  if (!getenv("QUARLO_OWN_NETNS")) GTEST_SKIP() << "runs in a network namespace of its own (ctest's readme_try_it)";
  const std::vector<std::string> commands =
      TryItCommands(ReadFileText(std::string(QUARLO_SOURCE_DIR) + "/README.md"));
  ASSERT_GE(commands.size(), 10u) << "the README's Try it block";

  char dirTemplate[] = "/tmp/quarlo-readme-XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const std::string dir = dirTemplate;
  ASSERT_EQ(symlink(QUARLO_BUILD_DIR, (dir + "/build").c_str()), 0);
  ASSERT_EQ(mkdir((dir + "/tmp").c_str(), 0700), 0);
  const std::string runOut = dir + "/run.out";
  const pid_t run = fork();
  if (run == 0) {
    setpgid(0, 0);
    freopen(runOut.c_str(), "w", stdout);
    dup2(1, 2);
    setenv("QUARLO_BASE", (dir + "/run-base").c_str(), 1);
    execl("/bin/bash", "bash", (std::string(QUARLO_SOURCE_DIR) + "/scripts/run.sh").c_str(),
          QUARLO_BUILD_DIR, static_cast<char*>(nullptr));
    _exit(127);
  }
  const std::string log = dir + "/run-base/log/Log.txt";
  const bool up = WaitFor([&] { return ReadFileText(log).find("log on successfully.") != std::string::npos; },
                          std::chrono::seconds(120));
  std::smatch m;
  const std::string printed = ReadFileText(runOut);
  const bool hasPassword = std::regex_search(printed, m, std::regex("its password is: (\\S+)"));
  const std::string password = hasPassword ? m[1].str() : "";
  const std::string logText = ReadFileText(log);
  const bool hasP2p = std::regex_search(logText, m, std::regex("p2p udp port (\\d+)\\."));
  const std::string p2pPort = hasP2p ? m[1].str() : "";
  EXPECT_TRUE(up && hasPassword && hasP2p) << printed << logText;

  if (up && hasPassword && hasP2p) {
    for (const std::string& line : commands) {
      SCOPED_TRACE(line);
      std::string cmd = Replace(line, "PASSWORD", password);
      cmd = Replace(cmd, "PC-ADDRESS", "127.0.0.1");
      cmd = Replace(cmd, "P2P-PORT", p2pPort);
      cmd = Replace(cmd, "INTERFACE", "qv0");
      cmd = Replace(cmd, " /tmp/", " " + dir + "/tmp/");
      ProgramResult r;
      // The relay and the rendezvous learn of the PC a little after its log-on: those two
      // answers are waited out, any other failure counts at once.
      WaitFor([&] {
        r = RunProgram({"/bin/bash", "-c", "cd '" + dir + "' && " + cmd}, {}, std::chrono::seconds(90));
        return r.exitCode == 0 || (r.output.find("no PC of the account is online") == std::string::npos &&
                                   r.output.find("introduced no PC") == std::string::npos);
      }, std::chrono::seconds(120));
      EXPECT_EQ(r.exitCode, 0) << r.output;
      EXPECT_EQ(r.output.find("usage:"), std::string::npos) << r.output;
    }
    EXPECT_EQ(ReadFileText(dir + "/tmp/hello.txt"), ReadFileText(dir + "/run-base/share/hello.txt"));
  }
  // Ctrl-C's way out: the script stops the service and the central server.
  kill(run, SIGTERM);
  int status = 0;
  waitpid(run, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFileText(runOut);
  std::system(("rm -rf '" + dir + "'").c_str());
}

bool CentralAnswers() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(15100);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// Ctrl-C, kill and a closed terminal all stop what `make run` started, also when it was
// started with SIGINT ignored (as a script's "cmd &" starts it).
TEST(Readme, MakeRunStopsWhatItStartedOnEachSignal) {
  if (!getenv("QUARLO_OWN_NETNS")) GTEST_SKIP() << "runs in a network namespace of its own (ctest's readme_try_it)";
  char dirTemplate[] = "/tmp/quarlo-run-signals-XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const std::string dir = dirTemplate;
  const std::string base = dir + "/run-base";
  struct Case {
    const char* name;
    int signal;
    bool ignoreInt;  // the script is started with SIGINT ignored
  };
  const Case cases[] = {
      {"SIGINT, ignored when started", SIGINT, true},
      {"SIGTERM", SIGTERM, false},
      {"SIGHUP", SIGHUP, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string runOut = dir + "/run.out";
    unlink(runOut.c_str());
    const pid_t run = fork();
    if (run == 0) {
      setpgid(0, 0);
      if (c.ignoreInt) signal(SIGINT, SIG_IGN);
      freopen(runOut.c_str(), "w", stdout);
      dup2(1, 2);
      setenv("QUARLO_BASE", base.c_str(), 1);
      execl("/bin/bash", "bash", (std::string(QUARLO_SOURCE_DIR) + "/scripts/run.sh").c_str(),
            QUARLO_BUILD_DIR, static_cast<char*>(nullptr));
      _exit(127);
    }
    const bool up = WaitFor([&] { return ReadFileText(runOut).find("Stop with Ctrl-C") != std::string::npos; },
                            std::chrono::seconds(120));
    EXPECT_TRUE(up) << ReadFileText(runOut);
    EXPECT_NE(RunProgram({base + "/system/sc", "query", "Quarlo"}).output.find("RUNNING"), std::string::npos);
    kill(run, c.signal);
    int status = 0;
    const bool ended = WaitFor([&] { return waitpid(run, &status, WNOHANG) == run; }, std::chrono::seconds(60));
    if (!ended) {
      kill(-run, SIGKILL);
      waitpid(run, &status, 0);
    }
    EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFileText(runOut);
    EXPECT_NE(RunProgram({base + "/system/sc", "query", "Quarlo"}).output.find("STOPPED"), std::string::npos)
        << ReadFileText(runOut);
    EXPECT_TRUE(WaitFor([] { return !CentralAnswers(); }, std::chrono::seconds(10)));
    if (!ended) break;
  }
  RunProgram({base + "/system/net", "stop", "Quarlo"});
  std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
