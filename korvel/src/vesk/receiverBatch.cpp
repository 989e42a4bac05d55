// Stream protocol, batch receive of the payloads awaited next. Every datagram
// goes through the same classification as a single receive; a payload that
// landed in a later slot than its own (datagrams skipped before it) is moved
// to its slot, and whatever ends the run leaves the datagrams behind it to
// the following receives, in order.
#include <korvel/vesk/Receiver.hpp>

#include "vesk/ReceiverState.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace korvel::vesk {

namespace {

using wire::PacketType;
using PacketPtr = dunmo::Receiver::PacketPtr;

// A builder whose only caller slot is `body`, as a single payload receive
// into that place would have.
struct BodySlots {
  RxSlotArray slots{};
  detail::IovsBuilder<std::byte> iovs;
  // Append cannot throw here: the builder is fresh.
  explicit BodySlots(gsl::span<std::byte> body) : iovs(MakeRxIovsBuilder(slots)) { iovs.Append(body); }
};

}  // namespace

std::size_t Receiver::ReceivePayloadBatch(std::byte* base, std::size_t chunk, std::size_t count,
                                          std::chrono::nanoseconds timeout, Result* results) noexcept {
  State& s = *m_state;
  if (count == 0) return 0;
  if (!s.in_sample) {
    results[0] = {std::make_error_code(std::errc::operation_not_permitted), PacketPtr(nullptr)};
    return 1;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const auto left = [&] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now());
  };
  const auto slot = [&](std::size_t m) { return gsl::span<std::byte>(base + m * chunk, chunk); };
  // A payload taken: the packet layer kept it in the sample, in its order.
  const auto taken = [&](const Result& r) { return !r.error && r.packet && s.in_sample; };

  std::size_t filled = 0;
  std::size_t accepted = 0;
  // Each pass takes at least one datagram or ends the run: bounded by the
  // datagrams that arrive before the deadline.
  for (;;) {
    std::error_code error;
    const bool batch = m_packet_receiver->BatchingEnabled();
    std::array<gsl::span<std::byte>, dunmo::Receiver::kMaxBatch> bodies;
    const std::size_t posted_from = accepted;
    gsl::span<Result> arrived;
    if (batch) {
      const std::size_t want = std::min(count - accepted, bodies.size());
      for (std::size_t m = 0; m < want; ++m) bodies[m] = slot(posted_from + m);
      arrived = m_packet_receiver->ReceiveBatch(gsl::span<const gsl::span<std::byte>>(bodies.data(), want),
                                                wire::kVeskHeaderSize, left(), error);
    }
    if (!batch || error == RxErrc::NoPacketBuffer) {
      // One datagram the single way (datagrams kept aside come first).
      BodySlots one(slot(accepted));
      Result r = ReceiveInSample(one.iovs, left(), PacketType::Payload);
      if (r.error == RxErrc::Retry) continue;
      const bool ok = taken(r);
      results[filled++] = std::move(r);
      if (!ok) return filled;
      ++accepted;
      if (accepted == count) return filled;
      continue;
    }
    if (error || arrived.empty()) {
      results[filled++] = {error, PacketPtr(nullptr)};
      return filled;
    }
    // The whole batch in one pass, up to the first result that ends the run;
    // the datagrams behind that one go back to the packet layer at once.
    bool ended = false;
    std::size_t consumed = 0;
    while (consumed < arrived.size() && !ended) {
      const std::size_t landed = posted_from + consumed;
      BodySlots one(slot(landed));
      Result r = Classify(std::move(arrived[consumed++]), one.iovs, PacketType::Payload);
      if (r.error == RxErrc::Retry) continue;
      if (!taken(r)) {
        ended = true;
      } else {
        // Datagrams skipped earlier in this batch shifted it to a later
        // slot: move it to its own. The slots in between are not taken yet,
        // so no taken byte is overwritten, and the one it leaves is refilled
        // later.
        if (landed != accepted) std::memmove(base + accepted * chunk, base + landed * chunk, chunk);
        ++accepted;
      }
      results[filled++] = std::move(r);
    }
    m_packet_receiver->EndBatch(consumed);
    if (filled > 0) return filled;
  }
}

}  // namespace korvel::vesk
