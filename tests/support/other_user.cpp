#include "tests/support/other_user.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "tests/support/service_process.h"
#include "tests/support/wait_for.h"

namespace {

bool SendFd(int over, int fd) {
  char byte = 'f';
  iovec io{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &io;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  return sendmsg(over, &msg, 0) == 1;
}

int ReceiveFd(int over) {
  char byte = 0;
  iovec io{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &io;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  if (recvmsg(over, &msg, MSG_CMSG_CLOEXEC) != 1) return -1;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  if (c == nullptr || c->cmsg_type != SCM_RIGHTS) return -1;
  int fd = -1;
  std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
  return fd;
}

}  // namespace

OtherUser::~OtherUser() {
  if (!m_made) return;
  // useradd and userdel of parallel tests take turns on the password files.
  WaitFor([&] { return RunProgram({"/usr/sbin/userdel", m_name}).exitCode == 0; },
          std::chrono::seconds(20), std::chrono::milliseconds(100));
}

std::string OtherUser::Create() {
  if (geteuid() != 0) return "making a second local user needs root";
  if (access("/usr/sbin/useradd", X_OK) != 0) return "useradd is not installed";
  m_name = "qvt" + std::to_string(getpid());
  ProgramResult last;
  const bool made = WaitFor(
      [&] {
        last = RunProgram({"/usr/sbin/useradd", "-M", "-r", "-s", "/usr/sbin/nologin", m_name});
        return last.exitCode == 0;
      },
      std::chrono::seconds(20), std::chrono::milliseconds(100));
  if (!made) return "useradd failed: " + last.output;
  m_made = true;
  const passwd* pw = getpwnam(m_name.c_str());
  if (pw == nullptr) return "the new user is not found";
  m_uid = pw->pw_uid;
  m_gid = pw->pw_gid;
  return "";
}

int OtherUser::SocketAsUser(const std::function<int()>& make) const {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) {
    close(pair[0]);
    close(pair[1]);
    return -1;
  }
  if (pid == 0) {
    close(pair[0]);
    int fd = -1;
    if (setgroups(0, nullptr) == 0 && setresgid(m_gid, m_gid, m_gid) == 0 &&
        setresuid(m_uid, m_uid, m_uid) == 0)
      fd = make();
    _exit(fd >= 0 && SendFd(pair[1], fd) ? 0 : 1);
  }
  close(pair[1]);
  const int fd = ReceiveFd(pair[0]);
  close(pair[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return fd;
}

std::vector<std::string> OtherUser::AsUser(const std::vector<std::string>& argv) const {
  std::vector<std::string> out = {"/usr/bin/setpriv", "--reuid=" + std::to_string(m_uid),
                                  "--regid=" + std::to_string(m_gid), "--clear-groups", "--"};
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}
