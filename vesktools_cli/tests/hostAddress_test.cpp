// Host names where the programs ask for an address: IPv4 addresses pass as
// they are, names resolve to an IPv4 address, and a name that does not
// resolve or a mistyped address is a usage error naming it and the option.

#include <vesktools_cli/HostAddress.hpp>
#include <vesktools_cli/Startup.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace cli = ketra::vesktools::cli;

namespace {

// The UsageError text of `call`, or "no error".
template <typename Call>
std::string UsageErrorOf(Call call) {
  try {
    call();
  } catch (const cli::UsageError& error) {
    return error.what();
  }
  return "no error";
}

TEST(HostAddress, AddressesPassAsTheyAreAndNamesResolveToIpv4) {
  EXPECT_EQ(cli::ResolveIpv4Host("127.0.0.1", "address"), "127.0.0.1");
  EXPECT_EQ(cli::ResolveIpv4Host("239.192.0.7", "address"), "239.192.0.7");
  // localhost is in /etc/hosts; only its IPv4 address can be taken.
  EXPECT_EQ(cli::ResolveIpv4Host("localhost", "address").rfind("127.", 0), 0u);
}

TEST(HostAddress, UnknownNamesAndMistypedAddressesAreRefusedByName) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"no-such-host.invalid", "Cannot resolve host 'no-such-host.invalid' given for receiver ip: "},
      {"127.1", "Invalid receiver ip: '127.1' (give an IPv4 address such as 127.0.0.1 or a host name)"},
      {"10.0.0.256", "Invalid receiver ip: '10.0.0.256' (give an IPv4 address such as 127.0.0.1 or a host name)"},
      {"", "Invalid receiver ip: '' (give an IPv4 address such as 127.0.0.1 or a host name)"},
  };
  for (const auto& [host, start] : cases) {
    const std::string error = UsageErrorOf([&] { cli::ResolveIpv4Host(host, "receiver ip"); });
    EXPECT_EQ(error.rfind(start, 0), 0u) << error;
  }
  // The resolver's reason follows the host.
  EXPECT_GT(UsageErrorOf([] { cli::ResolveIpv4Host("no-such-host.invalid", "address"); }).size(),
            std::string("Cannot resolve host 'no-such-host.invalid' given for address: ").size());
}

TEST(HostAddress, BrokerHostsMayBeNamesOrAddressesOfEitherFamily) {
  for (const std::string host : {"localhost", "127.0.0.1", "::1"}) {
    EXPECT_EQ(UsageErrorOf([&] { cli::CheckHostResolves(host, "broker-uri redis://x"); }), "no error") << host;
  }
  const std::string error = UsageErrorOf(
      [] { cli::CheckHostResolves("no-such-host.invalid", "broker-uri redis://:***@no-such-host.invalid"); });
  EXPECT_EQ(error.rfind("Cannot resolve host 'no-such-host.invalid' given for broker-uri "
                        "redis://:***@no-such-host.invalid: ",
                        0),
            0u)
      << error;
}

}  // namespace
