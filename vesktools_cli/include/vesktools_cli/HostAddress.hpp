#pragma once
// Host names where the programs ask for an address. Each is resolved once, at
// start; a name that does not resolve is a start-up error (a UsageError, one
// "ERROR: " line and status 1) that names the host and the option.

#include <string>

namespace ketra::vesktools::cli {

// The IPv4 address of `host` as dotted text. An IPv4 address is taken as it
// is; digits and dots that do not make one are refused as a mistyped
// address; anything else is looked up as a host name (IPv4 addresses only)
// and its first address is taken. `option` names the option in the errors.
std::string ResolveIpv4Host(const std::string& host, const std::string& option);

// Checks that `host` (a host name, or an IPv4 or IPv6 address) resolves to an
// address; `what` says where it was given, e.g. "broker-uri redis://h:6379".
void CheckHostResolves(const std::string& host, const std::string& what);

}  // namespace ketra::vesktools::cli
