// The interface a gateway joins its multicast group on, looked up among this
// host's interfaces; unicast streams ignore it.

#include <vesk2vidra/ReceiveInterface.hpp>

#include <gtest/gtest.h>

#include <stdexcept>

namespace v = ketra::vesktools::vesk2vidra;

TEST(ReceiveInterface, MulticastTakesANameAsGivenAndAnAddressAsTheInterfaceHoldingIt) {
  EXPECT_EQ(v::ReceiveInterfaceName("239.1.2.3", "eth7"), "eth7");
  EXPECT_EQ(v::ReceiveInterfaceName("239.1.2.3", "127.0.0.1"), "lo");
  EXPECT_EQ(v::ReceiveInterfaceName("224.0.0.1", ""), "");
  try {
    v::ReceiveInterfaceName("239.1.2.3", "198.51.100.77");
    FAIL() << "an address no interface holds was taken";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("198.51.100.77"), std::string::npos) << e.what();
  }
}

TEST(ReceiveInterface, UnicastIgnoresTheInterface) {
  for (const std::string interface : {"127.0.0.1", "198.51.100.77", "eth7", ""}) {
    EXPECT_EQ(v::ReceiveInterfaceName("127.0.0.1", interface), "") << interface;
  }
  EXPECT_EQ(v::ReceiveInterfaceName("192.0.2.9", "eth7"), "");
}
