#pragma once
// Test support: the kernel receive buffer of a bound UDP socket, as `ss`
// (iproute2) shows it for the socket's local port.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <regex>
#include <string>

namespace vesk_test {

// True when `ss` can be run.
inline bool HaveSs() {
  return std::system("ss -V >/dev/null 2>&1") == 0;
}

// The receive buffer ("rb" of ss's socket memory) of the UDP socket bound to
// `port` in this network namespace; nothing when no such socket is found.
// The kernel shows twice the size a program asked for with SO_RCVBUF.
inline std::optional<std::uint64_t> UdpReceiveBuffer(std::uint16_t port) {
  const std::string command = "ss -uamn 'sport = :" + std::to_string(port) + "' 2>/dev/null";
  const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) return std::nullopt;
  std::string text;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) text += buffer;
  std::smatch match;
  if (!std::regex_search(text, match, std::regex("skmem:\\(r\\d+,rb(\\d+),"))) return std::nullopt;
  return std::stoull(match[1]);
}

}  // namespace vesk_test
