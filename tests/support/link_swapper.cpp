#include "tests/support/link_swapper.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

LinkSwapper::LinkSwapper(std::string folder, std::string linkTarget)
    : m_folder(std::move(folder)), m_target(std::move(linkTarget)) {
  const size_t slash = m_folder.rfind('/');
  m_link = m_folder.substr(0, slash + 1) + ".swap-" + m_folder.substr(slash + 1);
}

LinkSwapper::~LinkSwapper() { Stop(); }

bool LinkSwapper::Exchange() {
  return syscall(SYS_renameat2, AT_FDCWD, m_folder.c_str(), AT_FDCWD, m_link.c_str(),
                 RENAME_EXCHANGE) == 0;
}

bool LinkSwapper::Start() {
  if (symlink(m_target.c_str(), m_link.c_str()) != 0) {
    m_error = std::string("symlink: ") + std::strerror(errno);
    return false;
  }
  if (!Exchange() || !Exchange()) {
    m_error = std::string("RENAME_EXCHANGE: ") + std::strerror(errno);
    unlink(m_link.c_str());
    return false;
  }
  m_thread = std::thread([this] {
    while (!m_stop.load()) {
      if (Exchange()) ++m_swaps;
    }
    // The real folder goes back under its own name.
    if (m_swaps.load() % 2 != 0 && Exchange()) ++m_swaps;
  });
  return true;
}

void LinkSwapper::Stop() {
  if (!m_thread.joinable()) return;
  m_stop.store(true);
  m_thread.join();
  unlink(m_link.c_str());
}
