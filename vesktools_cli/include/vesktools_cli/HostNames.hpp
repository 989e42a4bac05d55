#pragma once
// Host names where the programs ask for an IPv4 address.

#include <string>

namespace ketra::vesktools::cli {

// The dotted IPv4 address of `host`: the text itself when it is one, else the
// first IPv4 address the resolver gives for the name. A name that does not
// resolve is a UsageError naming `option`, the host and the resolver's reason.
std::string ResolveIpv4(const std::string& option, const std::string& host);

}  // namespace ketra::vesktools::cli
