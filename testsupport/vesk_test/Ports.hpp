#pragma once
// Loopback ports for tests: free ones, and waiting until one is bound.

#include <ketra/fnd/posix/UniqueFd.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace vesk_test {

// A port of `type` (SOCK_DGRAM, SOCK_STREAM) on 127.0.0.1 that was free a
// moment ago (bound to port 0, then released).
inline std::uint16_t FreePort(int type) {
  const ketra::fnd::UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (!fd.Valid() || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("no free port on 127.0.0.1");
  }
  return ntohs(address.sin_port);
}

inline std::uint16_t FreeUdpPort() {
  return FreePort(SOCK_DGRAM);
}
inline std::uint16_t FreeTcpPort() {
  return FreePort(SOCK_STREAM);
}

// True once a UDP socket of this host is bound to `port` (as /proc/net/udp
// lists it), false when `limit` passes first.
inline bool WaitForUdpPort(std::uint16_t port, std::chrono::milliseconds limit) {
  char hex[8];
  std::snprintf(hex, sizeof hex, ":%04X ", port);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in("/proc/net/udp");
    std::stringstream table;
    table << in.rdbuf();
    if (table.str().find(hex) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace vesk_test
