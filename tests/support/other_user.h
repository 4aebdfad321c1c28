#pragma once
// A second local user for tests of what only the service's own user may do: made with useradd
// (no home, no shell) and removed on destruction. Sockets are made as that user in a child
// process and handed back, so the kernel records that user as their owner.
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

class OtherUser {
 public:
  OtherUser() = default;
  ~OtherUser();
  OtherUser(const OtherUser&) = delete;
  OtherUser& operator=(const OtherUser&) = delete;

  // Empty on success, else why it is not possible here (callers skip with it).
  std::string Create();
  uid_t Uid() const { return m_uid; }
  gid_t Gid() const { return m_gid; }
  // argv run as the user through setpriv (no supplementary groups).
  std::vector<std::string> AsUser(const std::vector<std::string>& argv) const;
  // Runs make() as the user in a child process and returns the descriptor it made (-1 when it
  // failed).
  int SocketAsUser(const std::function<int()>& make) const;

 private:
  std::string m_name;
  uid_t m_uid = 0;
  gid_t m_gid = 0;
  bool m_made = false;
};
