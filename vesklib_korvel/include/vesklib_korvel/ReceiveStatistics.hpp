#pragma once
// Counters of one VeskReceiver: what arrived, what was skipped and why, what
// was delivered, each given-up sample under its cause, the waits in which no
// sample began, and the sample ids seen. One thread (the receiving one)
// writes; any thread reads at any time without locks.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The transport's counters; the library mirrors them without exposing them.
namespace korvel {
struct RxStats;
}

namespace ketra::vesktools::vesklib_korvel {

// Every counter, in the order of the snapshot. Each one's name and source are
// declared once, in the table of receiveStatistics.cpp, which a compile-time
// check keeps in this order.
enum class RxCount : std::size_t {
  // Datagrams, as the transport classified them.
  kDatagramsReceived,
  kSkippedForeign,      // too short, other magic or version: not this protocol
  kSkippedOtherTopic,   // this protocol, another topic
  kSkippedNotLeader,    // payload or trailer while a leader was awaited
  kSkippedStale,        // packet of an earlier sample, or a duplicate
  kSkippedExtInfo,      // leader with another ext info size or pixel size
  kTruncatedDatagrams,  // datagram longer than the place made for it
  kMalformedLeaders,    // leader announcing an impossible sample
  kJoinedBuffers,       // buffers in which the kernel joined several datagrams (UDP GRO)
  // Samples.
  kSamplesDelivered,
  kSamplesGivenUp,  // sum of the given-up causes below
  // Given-up samples, one counter per cause.
  kLeaderTimeout,         // leaders of this stream came within the sample timeout, none acceptable
  kLeaderImplausible,     // the awaited leader announces a sample this receiver cannot take (packet count,
                          // bytes its packets cannot carry, payloads larger than this MTU, wrong index)
  kLeaderOversized,       // leader announces more bytes than the maximum sample size
  kPayloadTimeout,        // a payload did not arrive in time
  kPayloadLost,           // a later packet of the sample came: payloads in between lost
  kPayloadWrongSize,      // payload shorter or longer than its place
  kPayloadOfOtherSample,  // a packet of a later sample came while payloads were awaited
  kNewLeader,             // the next sample's leader came before this one ended
  kIncompletePayload,     // the payloads did not fill the sample
  kWrongTag,              // payload tags do not end at the announced pixel count
  kTrailerTimeout,        // the trailer did not arrive in time
  kTrailerLost,           // a payload came where the trailer was due
  kTrailerOfOtherSample,  // a packet of a later sample came instead of the trailer
  kTransportError,        // socket or packet buffer error
  kHookThrew,             // the sample was complete but the program's handler threw
  // Sample timeouts in which no sample began (no datagram, or none that could
  // start a sample of this stream): an idle sender, not a given-up sample.
  kIdleTimeouts,
  // Sample ids.
  kFirstSampleId,       // id of the first sample whose leader was taken (0: none yet)
  kLastSampleId,        // id of the latest such sample
  kIdGaps,              // times consecutive ids skipped some
  kIdGapSamples,        // samples those gaps skipped: lost before reaching us
  kIdSequenceRestarts,  // new id sequences (a restarted sender), not counted as gaps
  kCount
};

// Snapshot names, in RxCount order.
std::string_view RxCountName(RxCount counter) noexcept;

class ReceiveStatistics;

// "name: value" for every non-zero counter of `snapshot`, in its order: the
// one text form of the counters for tools, logs and tests.
std::vector<std::string> NonZeroCounterLines(const std::vector<std::pair<std::string_view, std::uint64_t>>& snapshot);

// Forward id jumps larger than this start a new sequence instead of counting
// as lost samples (a sender restarted with another first id).
inline constexpr std::uint32_t kMaxCredibleIdGap = 1000000;

// Samples a sender skipped between consecutive ids `previous` and `id`, in
// serial-number order (the wrap from 0xFFFFFFFF to 1 skips none: 0 names no
// sample). Empty when `id` starts a new sequence: not after `previous`, or a
// forward jump beyond kMaxCredibleIdGap.
std::optional<std::uint64_t> SamplesSkippedBetween(std::uint32_t previous, std::uint32_t id) noexcept;

class ReceiveStatistics {
 public:
  using Snapshot = std::vector<std::pair<std::string_view, std::uint64_t>>;

  // Any thread.
  std::uint64_t Get(RxCount counter) const noexcept { return m_values[Index(counter)].load(std::memory_order_relaxed); }
  // Every counter as (name, value), in RxCount order.
  Snapshot Take() const;

  // Receiving thread only.
  void Add(RxCount counter, std::uint64_t n = 1) noexcept {
    auto& value = m_values[Index(counter)];
    value.store(value.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }
  // Counts a given-up sample under `cause` and in the total.
  void GiveUp(RxCount cause) noexcept;
  // Notes the id of a sample whose leader was taken: first/last id, gaps, and
  // new sequences (an id at or before the last one, 1 after anything but the
  // wrap, or a forward jump beyond kMaxCredibleIdGap).
  void ObserveSampleId(std::uint32_t id) noexcept;
  // Mirrors the transport's datagram counters of the current stack.
  void SyncTransport(const ::korvel::RxStats& stats) noexcept;
  // The current stack goes away: its counts become the base of the next one.
  void RetireTransport(const ::korvel::RxStats& stats) noexcept;

 private:
  static constexpr std::size_t Index(RxCount counter) noexcept { return static_cast<std::size_t>(counter); }
  void Set(RxCount counter, std::uint64_t value) noexcept {
    m_values[Index(counter)].store(value, std::memory_order_relaxed);
  }

  std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(RxCount::kCount)> m_values{};
  // Receiving thread only: transport counts of the stacks already gone.
  std::array<std::uint64_t, static_cast<std::size_t>(RxCount::kCount)> m_transport_base{};
  bool m_have_id = false;
  std::uint32_t m_last_id = 0;
};

}  // namespace ketra::vesktools::vesklib_korvel
