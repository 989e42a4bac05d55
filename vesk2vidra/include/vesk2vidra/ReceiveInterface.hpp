#pragma once
// The network interface a gateway joins its multicast group on, given as an
// interface name ("eth0") or as one of the interface's IPv4 addresses.

#include <string>

namespace ketra::vesktools::vesk2vidra {

// The interface name for the receive stack of a stream sent to `receiver_ip`.
// For a multicast group: an IPv4 address in `interface` is replaced by the
// name of the interface of this host that holds it; any other text is a name
// and stays as given; empty leaves the choice to the system. For a unicast
// address the interface plays no part: the result is empty.
// Throws std::invalid_argument when no interface holds the address.
std::string ReceiveInterfaceName(const std::string& receiver_ip, const std::string& interface);

}  // namespace ketra::vesktools::vesk2vidra
