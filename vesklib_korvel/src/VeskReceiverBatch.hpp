#pragma once
// Batched receive of a sample's payloads for VeskReceiver::ReceiveSample:
// hands out, one per call, the results of batch receives into the places the
// leader fixed. Internal to the stream library.

#include <korvel/vesk/Receiver.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace ketra::vesktools::vesklib_korvel::detail {

class PayloadBatcher {
 public:
  using Result = korvel::vesk::Receiver::Result;

  // `enabled` false: Next never takes over.
  PayloadBatcher(korvel::vesk::Receiver& receiver, bool enabled) noexcept;

  // The result for the payload awaited next, whose place is `write_at`
  // (`chunk` bytes), as ReceivePayloadPacket with its retries would give it.
  // `full_in_a_row` is how many payloads from this one on fill `full_chunk`
  // bytes each. Returns false when batching does not cover this payload: the
  // caller then receives it itself.
  bool Next(unsigned char* write_at, std::uint64_t chunk, std::uint64_t full_chunk, std::uint64_t full_in_a_row,
            std::chrono::nanoseconds timeout, Result& out) noexcept;

 private:
  korvel::vesk::Receiver& m_receiver;
  bool m_enabled;
  std::array<Result, korvel::dunmo::Receiver::kMaxBatch> m_results;
  std::size_t m_next = 0;
  std::size_t m_count = 0;
};

}  // namespace ketra::vesktools::vesklib_korvel::detail
