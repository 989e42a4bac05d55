#pragma once
// Sole owner of a POSIX file descriptor: closes it when destroyed, unless it
// was released first.

#include <unistd.h>

#include <utility>

namespace ketra::fnd {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  // Takes `fd` over; a negative value owns nothing.
  explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int Get() const noexcept { return m_fd; }
  bool Valid() const noexcept { return m_fd >= 0; }
  // Gives the descriptor up without closing it.
  int Release() noexcept { return std::exchange(m_fd, -1); }
  // Closes the owned descriptor and takes `fd` over.
  void Reset(int fd = -1) noexcept {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd = -1;
};

}  // namespace ketra::fnd
