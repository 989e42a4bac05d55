// Resolution of the host names given where the programs ask for an address.

#include <vesktools_cli/HostAddress.hpp>
#include <vesktools_cli/Startup.hpp>

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netdb.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

namespace ketra::vesktools::cli {

namespace {

struct FreeAddresses {
  void operator()(addrinfo* addresses) const { ::freeaddrinfo(addresses); }
};
using Addresses = std::unique_ptr<addrinfo, FreeAddresses>;

// Looks `host` up for `family`; on failure the reason as the resolver gives it.
Addresses Lookup(const std::string& host, int family, std::string& why) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = family == AF_INET ? SOCK_DGRAM : SOCK_STREAM;
  addrinfo* found = nullptr;
  const int error = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  Addresses addresses(found);
  if (error != 0) {
    why = error == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(error);
    return nullptr;
  }
  if (!addresses) {
    why = "no address";
  }
  return addresses;
}

bool DottedNumber(const std::string& text) {
  return text.find_first_not_of("0123456789.") == std::string::npos;
}

}  // namespace

std::string ResolveIpv4Host(const std::string& host, const std::string& option) {
  in_addr address{};
  if (::inet_pton(AF_INET, host.c_str(), &address) == 1) {
    return host;
  }
  if (host.empty() || DottedNumber(host)) {
    throw UsageError(
        fmt::format("Invalid {}: '{}' (give an IPv4 address such as 127.0.0.1 or a host name)", option, host));
  }
  std::string why;
  const Addresses addresses = Lookup(host, AF_INET, why);
  if (!addresses) {
    throw UsageError(fmt::format("Cannot resolve host '{}' given for {}: {}", host, option, why));
  }
  const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(addresses->ai_addr);
  std::array<char, INET_ADDRSTRLEN> text{};
  ::inet_ntop(AF_INET, &ipv4->sin_addr, text.data(), text.size());
  return text.data();
}

void CheckHostResolves(const std::string& host, const std::string& what) {
  std::string why;
  if (!Lookup(host, AF_UNSPEC, why)) {
    throw UsageError(fmt::format("Cannot resolve host '{}' given for {}: {}", host, what, why));
  }
}

}  // namespace ketra::vesktools::cli
