#include <vesk2vidra/ReceiveInterface.hpp>

#include <arpa/inet.h>
#include <fmt/format.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace ketra::vesktools::vesk2vidra {

namespace {

std::optional<in_addr> ParseIpv4(const std::string& text) {
  in_addr address{};
  if (::inet_pton(AF_INET, text.c_str(), &address) != 1) {
    return std::nullopt;
  }
  return address;
}

struct FreeInterfaceList {
  void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};

// The name of the interface that holds `address`.
std::string InterfaceHolding(const std::string& text, in_addr address) {
  ifaddrs* raw = nullptr;
  if (::getifaddrs(&raw) != 0) {
    throw std::system_error(errno, std::system_category(), "getifaddrs");
  }
  const std::unique_ptr<ifaddrs, FreeInterfaceList> list(raw);
  for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
        reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr == address.s_addr) {
      return entry->ifa_name;
    }
  }
  throw std::invalid_argument(fmt::format(
      "No network interface of this host has the address {} (give the interface's name or one of its IPv4 addresses)",
      text));
}

}  // namespace

std::string ReceiveInterfaceName(const std::string& receiver_ip, const std::string& interface) {
  const auto group = ParseIpv4(receiver_ip);
  if (!group || !IN_MULTICAST(ntohl(group->s_addr))) {
    return {};
  }
  if (const auto address = ParseIpv4(interface)) {
    return InterfaceHolding(interface, *address);
  }
  return interface;
}

}  // namespace ketra::vesktools::vesk2vidra
