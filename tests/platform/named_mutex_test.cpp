#include "platform/named_mutex.h"

#include <cstdlib>
#include <filesystem>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include "tests/support/env_guard.h"

namespace {


class NamedMutexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qv_named_mutex_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    m_ns = m_dir + "/ns";  // not created yet: the first mutex must make it
    setenv("QUARLO_NAMESPACE", m_ns.c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(m_dir); }

  CEnvGuard m_nsGuard{"QUARLO_NAMESPACE"};
  std::string m_dir;
  std::string m_ns;
};

// Runs in a forked child: 0 when the mutex is reported as held elsewhere.
int ChildProbe(const std::string& name) {
  bool exists = false;
  const int fd = Plat_CreateNamedMutex(name, exists);
  return (fd == -1 && exists) ? 0 : 1;
}

int RunInChild(const std::string& name) {
  const pid_t pid = fork();
  if (pid == 0) _exit(ChildProbe(name));
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(NamedMutexTest, SecondCreatorInAnotherProcessSeesItExists) {
  bool exists = true;
  const int fd = Plat_CreateNamedMutex("QuarloClient", exists);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(exists);
  EXPECT_TRUE(std::filesystem::is_directory(m_ns));

  EXPECT_EQ(RunInChild("QuarloClient"), 0);
  EXPECT_EQ(RunInChild("OtherName"), 1);  // a different name is free

  Plat_CloseNamedMutex(fd);
  EXPECT_EQ(RunInChild("QuarloClient"), 1);  // released by closing
}

TEST_F(NamedMutexTest, ReleasedWhenTheHolderDies) {
  int ready[2];
  int hold[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(hold), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(ready[0]);
    close(hold[1]);
    bool exists = false;
    const char ok = Plat_CreateNamedMutex("Holder", exists) >= 0 ? 'y' : 'n';
    if (write(ready[1], &ok, 1) != 1) _exit(2);
    char c;
    while (read(hold[0], &c, 1) > 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(hold[0]);
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');

  bool exists = false;
  EXPECT_EQ(Plat_CreateNamedMutex("Holder", exists), -1);
  EXPECT_TRUE(exists);

  kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  close(ready[0]);
  close(hold[1]);

  const int fd = Plat_CreateNamedMutex("Holder", exists);
  EXPECT_GE(fd, 0);
  EXPECT_FALSE(exists);
  Plat_CloseNamedMutex(fd);
}

TEST_F(NamedMutexTest, WindowsStyleNameStaysInTheFolder) {
  bool exists = true;
  const int fd = Plat_CreateNamedMutex("Global\\Quarlo/Tray", exists);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(exists);
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(m_ns)) {
    EXPECT_TRUE(e.is_regular_file()) << e.path();
    ++entries;
  }
  EXPECT_EQ(entries, 1u);
  Plat_CloseNamedMutex(fd);

  EXPECT_EQ(Plat_CreateNamedMutex("", exists), -1);
  EXPECT_FALSE(exists);
}

TEST(NamedObjectDir, FirstSetVariableWins) {
  CEnvGuard ns("QUARLO_NAMESPACE");
  CEnvGuard xdg("XDG_RUNTIME_DIR");
  setenv("QUARLO_NAMESPACE", "/tmp/qv-ns", 1);
  setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
  EXPECT_EQ(Plat_NamedObjectDir(), "/tmp/qv-ns");
  unsetenv("QUARLO_NAMESPACE");
  EXPECT_EQ(Plat_NamedObjectDir(), "/run/user/4242");
  setenv("XDG_RUNTIME_DIR", "", 1);
  EXPECT_EQ(Plat_NamedObjectDir(), "/tmp/quarlo-" + std::to_string(getuid()));
}

}  // namespace
