#include <korvel/RxErrc.hpp>

#include <string>

namespace korvel {

namespace {

class RxCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "korvel"; }

  std::string message(int value) const override {
    switch (static_cast<RxErrc>(value)) {
      case RxErrc::UnexpectedLeader:
        return "leader of a new sample arrived before the current sample was complete: packets were lost "
               "(the new sample is kept; check the network and the receive buffer, net.core.rmem_max)";
      case RxErrc::MissingPacket:
        return "packets of the sample were lost (a later packet arrived first): check the network and the "
               "receive buffer size (sysctl net.core.rmem_max)";
      case RxErrc::PayloadSizeMismatch:
        return "payload packet shorter than expected: sender and receiver must use the same MTU size, "
               "pixel type and pixel count";
      case RxErrc::NoPacketBuffer:
        return "no free packet buffer: received packets must be released before receiving more";
      case RxErrc::MalformedLeader:
        return "malformed leader packet: its packet count and payload size cannot carry its pixel count";
      case RxErrc::LaterSample:
        return "packet of a later sample arrived before the current sample was complete: packets were lost "
               "(check the network and the receive buffer, net.core.rmem_max)";
      case RxErrc::ImplausibleLeader:
        return "implausible leader packet: the receiver cannot take the sample it announces";
      case RxErrc::Retry:
        return "datagram skipped (not of this stream, or not the packet awaited): receive again";
    }
    return "unknown korvel receive error " + std::to_string(value);
  }
};

}  // namespace

const std::error_category& rx_category() noexcept {
  static const RxCategory category;
  return category;
}

std::error_code make_error_code(RxErrc e) noexcept {
  return {static_cast<int>(e), rx_category()};
}

}  // namespace korvel
