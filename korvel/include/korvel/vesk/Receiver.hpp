#pragma once
// Stream protocol, receiving side. Checks packet kind, index, staleness and
// sizes, and classifies every datagram: the packet awaited is returned; datagrams to skip give RxErrc::Retry; a leader
// that arrives mid-sample ends the current sample with RxErrc::UnexpectedLeader and is kept for the next
// ReceiveLeaderPacket; a payload or trailer of a later sample ends it with RxErrc::LaterSample (with the packet).

#include <korvel/RxErrc.hpp>
#include <korvel/RxStats.hpp>
#include <korvel/detail/IovsBuilder.hpp>
#include <korvel/dunmo/Receiver.hpp>
#include <korvel/wire/Header.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <memory_resource>
#include <system_error>

namespace korvel::vesk {

class Receiver {
 public:
  struct Config {
    std::uint8_t max_ext_info_size = 8;
    std::uint8_t ext_info_size = 0;
    std::uint16_t flags = 0;  // 0: defaults
    std::uint8_t bytes_per_pixel = 0;
    // Whether a leader announces a sample its receiver can take (packet
    // count, pixel count, payload room): judged by the layer that reassembles
    // the sample, asked here for every leader that passed this layer's own
    // checks. A refused leader counts as malformed_leader; awaited, it gives
    // RxErrc::ImplausibleLeader with the packet (a leader failing this
    // layer's index or length check gives RxErrc::MalformedLeader); mid-sample,
    // it is skipped.
    // Empty: every such leader is plausible.
    std::function<bool(const wire::HeaderView&)> leader_plausible;
  };

  using DunmoPtr = std::unique_ptr<dunmo::Receiver, std::function<void(dunmo::Receiver*)>>;
  using Result = dunmo::Receiver::Result;

  Receiver(const Config& config, DunmoPtr packet_receiver, std::pmr::memory_resource* memory);
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver();

  // Slot 4 (optional): a buffer of exactly ext_info_size bytes for the block.
  Result ReceiveLeaderPacket(detail::IovsBuilder<std::byte>&& iovs, std::chrono::nanoseconds timeout) noexcept;
  // Slot 4: the place of the next payload chunk; the datagram must fill it exactly.
  Result ReceivePayloadPacket(detail::IovsBuilder<std::byte>&& iovs, std::chrono::nanoseconds timeout) noexcept;
  // No caller slot.
  Result ReceiveTrailerPacket(detail::IovsBuilder<std::byte>&& iovs, std::chrono::nanoseconds timeout) noexcept;

  // Payloads awaited next, received in batches where the packet layer allows
  // (otherwise one at a time): the m-th of them (m = 0, 1, ... < count) belongs
  // at base + m * chunk, every one exactly `chunk` bytes. Fills `results`, in
  // order, with what successive ReceivePayloadPacket calls would return, with
  // the skipped datagrams (RxErrc::Retry) left out: the payloads taken, each
  // already in its place, then possibly one result that ends the run (an
  // error, RxErrc::LaterSample included, or nothing within `timeout`). Returns
  // the number filled: at least 1, at most count, once something arrived;
  // the caller takes them all before the next receive. `results` needs room
  // for `count`.
  std::size_t ReceivePayloadBatch(std::byte* base, std::size_t chunk, std::size_t count,
                                  std::chrono::nanoseconds timeout, Result* results) noexcept;

  const Config& GetConfig() const noexcept { return m_config; }
  const RxStats& Stats() const noexcept;

 private:
  struct State;
  Result ReceiveInSample(detail::IovsBuilder<std::byte>& iovs, std::chrono::nanoseconds timeout,
                         wire::PacketType awaited) noexcept;
  // What ReceiveInSample makes of the packet layer's result `r` for a datagram
  // scattered into `iovs`.
  Result Classify(Result r, detail::IovsBuilder<std::byte>& iovs, wire::PacketType awaited) noexcept;

  Config m_config;
  DunmoPtr m_packet_receiver;
  std::unique_ptr<State> m_state;
};

}  // namespace korvel::vesk
