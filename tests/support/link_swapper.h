#pragma once
// A local program racing the service: a thread that atomically exchanges a real folder with a
// link to another folder (renameat2 RENAME_EXCHANGE), back and forth, until stopped. Stop
// leaves the real folder under its own name again and removes the link.
#include <atomic>
#include <string>
#include <thread>

class LinkSwapper {
 public:
  // `folder` must be a real folder; the link is made beside it under a hidden name.
  LinkSwapper(std::string folder, std::string linkTarget);
  ~LinkSwapper();
  LinkSwapper(const LinkSwapper&) = delete;
  LinkSwapper& operator=(const LinkSwapper&) = delete;

  bool Start();  // false (see Error) when the link cannot be made or exchanged
  void Stop();
  long Swaps() const { return m_swaps.load(); }
  const std::string& Error() const { return m_error; }

 private:
  bool Exchange();
  std::string m_folder, m_link, m_target, m_error;
  std::atomic<bool> m_stop{false};
  std::atomic<long> m_swaps{0};
  std::thread m_thread;
};
