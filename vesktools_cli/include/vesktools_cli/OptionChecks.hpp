#pragma once
// Checks of option values for the programs' start-up checks. Each refusal is
// a UsageError "Invalid <option>: <value> (<what is accepted>)", which the
// start-up prints as one "ERROR: " line on standard error with status 1.

#include <vesktools_cli/Startup.hpp>

#include <arpa/inet.h>
#include <fmt/format.h>
#include <net/if.h>
#include <boost/program_options.hpp>

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <string>

namespace ketra::vesktools::cli {

template <typename T>
void CheckRange(const boost::program_options::variables_map& variables, const std::string& option, T low, T high) {
  if (variables.count(option) == 0) return;
  const T value = variables[option].as<T>();
  if (!(value >= low && value <= high)) {
    throw UsageError(fmt::format("Invalid {}: {} (give a value from {} to {})", option, value, low, high));
  }
}

template <typename T>
void CheckOneOf(const boost::program_options::variables_map& variables, const std::string& option,
                std::initializer_list<T> accepted) {
  if (variables.count(option) == 0) return;
  const T value = variables[option].as<T>();
  if (std::find(accepted.begin(), accepted.end(), value) == accepted.end()) {
    throw UsageError(fmt::format("Invalid {}: {} (give one of {})", option, value, fmt::join(accepted, ", ")));
  }
}

// A dotted IPv4 address; an empty text passes when `empty_allowed`.
inline void CheckIpv4(const boost::program_options::variables_map& variables, const std::string& option,
                      bool empty_allowed) {
  if (variables.count(option) == 0) return;
  const auto& value = variables[option].as<std::string>();
  in_addr address{};
  if ((value.empty() && empty_allowed) || ::inet_pton(AF_INET, value.c_str(), &address) == 1) return;
  throw UsageError(fmt::format("Invalid {}: '{}' (give an IPv4 address such as 127.0.0.1)", option, value));
}

// A network interface: its name as the kernel takes it (1 to IFNAMSIZ - 1
// characters, no '/', ':' or blank) or one of its IPv4 addresses. Digits and
// dots that do not make an IPv4 address (also "." and "..") are refused as a
// mistyped address. An empty text passes when `empty_allowed`.
inline void CheckInterface(const boost::program_options::variables_map& variables, const std::string& option,
                           bool empty_allowed) {
  if (variables.count(option) == 0) return;
  const auto& value = variables[option].as<std::string>();
  if (value.empty() && empty_allowed) return;
  in_addr address{};
  if (::inet_pton(AF_INET, value.c_str(), &address) == 1) return;
  const bool dotted_number = value.find_first_not_of("0123456789.") == std::string::npos;
  const bool name =
      !value.empty() && value.size() < IFNAMSIZ && value.find_first_of("/: \t\n\r\v\f") == std::string::npos;
  if (name && !dotted_number) return;
  throw UsageError(fmt::format(
      "Invalid {}: '{}' (give a network interface name such as eth0 or an IPv4 address of one such as 192.0.2.2)",
      option, value));
}

}  // namespace ketra::vesktools::cli
