// Resolution of host names to IPv4 addresses for the command lines.

#include <vesktools_cli/HostNames.hpp>
#include <vesktools_cli/Startup.hpp>

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netdb.h>
#include <sys/socket.h>

#include <array>
#include <memory>

namespace ketra::vesktools::cli {

std::string ResolveIpv4(const std::string& option, const std::string& host) {
  in_addr address{};
  if (::inet_pton(AF_INET, host.c_str(), &address) == 1) return host;
  // The resolver takes digits and dots in the old short forms ("1.2.3" for
  // 1.2.0.3, "10" for 0.0.0.10); here they are a mistyped address.
  if (host.empty() || host.find_first_not_of("0123456789.") == std::string::npos) {
    throw UsageError(
        fmt::format("Invalid {}: '{}' (give an IPv4 address such as 127.0.0.1 or a host name)", option, host));
  }

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, &::freeaddrinfo);
  if (status != 0 || found == nullptr) {
    const char* reason = status != 0 ? ::gai_strerror(status) : "no address";
    throw UsageError(
        fmt::format("Invalid {}: '{}' (the host name does not resolve to an IPv4 address: {})", option, host, reason));
  }
  std::array<char, INET_ADDRSTRLEN> text{};
  const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  ::inet_ntop(AF_INET, &ipv4->sin_addr, text.data(), text.size());
  return text.data();
}

}  // namespace ketra::vesktools::cli
