#pragma once
// The one owner of a file or socket descriptor for every program: closed when it goes out of
// scope. `fd` stays open to callers that hand its address to a function setting it.
#include <unistd.h>

struct UniqueFd {
  int fd = -1;

  UniqueFd() = default;
  explicit UniqueFd(int f) : fd(f) {}
  ~UniqueFd() { Close(); }
  UniqueFd(UniqueFd&& other) noexcept : fd(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd; }
  bool valid() const { return fd >= 0; }
  // Gives the descriptor up without closing it.
  int release() {
    const int out = fd;
    fd = -1;
    return out;
  }
  void reset(int f = -1) {
    Close();
    fd = f;
  }
  // What close(2) said (a late write error shows there); 0 when nothing was open.
  int Close() {
    if (fd < 0) return 0;
    const int r = ::close(fd);
    fd = -1;
    return r;
  }
};
