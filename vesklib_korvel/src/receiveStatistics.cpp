// Receive counters: names, the give-up total, the sample id sequence and the
// mirror of the transport's datagram counters.
#include <vesklib_korvel/ReceiveStatistics.hpp>

#include <korvel/RxStats.hpp>

#include <fmt/format.h>

namespace ketra::vesktools::vesklib_korvel {

namespace {

constexpr std::array<std::string_view, static_cast<std::size_t>(RxCount::kCount)> kNames = {
    "datagrams_received",
    "skipped_foreign",
    "skipped_other_topic",
    "skipped_not_leader",
    "skipped_stale",
    "skipped_ext_info",
    "truncated_datagrams",
    "malformed_leaders",
    "joined_buffers",
    "samples_delivered",
    "samples_given_up",
    "given_up_leader_timeout",
    "given_up_leader_malformed",
    "given_up_leader_oversized",
    "given_up_leader_unfit",
    "given_up_payload_timeout",
    "given_up_payload_lost",
    "given_up_payload_wrong_size",
    "given_up_payload_of_other_sample",
    "given_up_new_leader",
    "given_up_incomplete_payload",
    "given_up_wrong_tag",
    "given_up_trailer_timeout",
    "given_up_trailer_lost",
    "given_up_trailer_of_other_sample",
    "given_up_transport_error",
    "given_up_hook_threw",
    "idle_timeouts",
    "first_sample_id",
    "last_sample_id",
    "id_gaps",
    "id_gap_samples",
    "id_sequence_restarts",
};

// The transport counters mirrored, with the counter each one feeds.
template <typename F>
void ForEachTransportCounter(const korvel::RxStats& stats, F&& f) {
  f(RxCount::kDatagramsReceived, stats.datagrams);
  f(RxCount::kSkippedForeign, stats.skipped_foreign);
  f(RxCount::kSkippedOtherTopic, stats.skipped_other_topic);
  f(RxCount::kSkippedNotLeader, stats.skipped_not_leader);
  f(RxCount::kSkippedStale, stats.skipped_stale);
  f(RxCount::kSkippedExtInfo, stats.skipped_ext_info);
  f(RxCount::kTruncatedDatagrams, stats.truncated);
  f(RxCount::kMalformedLeaders, stats.malformed_leader);
  f(RxCount::kJoinedBuffers, stats.joined_buffers);
}

bool IsGiveUpCause(RxCount counter) noexcept {
  return counter >= RxCount::kLeaderTimeout && counter <= RxCount::kHookThrew;
}

}  // namespace

std::string_view RxCountName(RxCount counter) noexcept {
  const auto index = static_cast<std::size_t>(counter);
  return index < kNames.size() ? kNames[index] : std::string_view("unknown");
}

std::vector<std::string> NonZeroCounterLines(const std::vector<std::pair<std::string_view, std::uint64_t>>& snapshot) {
  std::vector<std::string> lines;
  for (const auto& [name, value] : snapshot) {
    if (value != 0) lines.push_back(fmt::format("{}: {}", name, value));
  }
  return lines;
}

ReceiveStatistics::Snapshot ReceiveStatistics::Take() const {
  Snapshot snapshot;
  snapshot.reserve(kNames.size());
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    snapshot.emplace_back(kNames[i], m_values[i].load(std::memory_order_relaxed));
  }
  return snapshot;
}

void ReceiveStatistics::GiveUp(RxCount cause) noexcept {
  Add(IsGiveUpCause(cause) ? cause : RxCount::kTransportError);
  Add(RxCount::kSamplesGivenUp);
}

std::optional<std::uint64_t> SamplesSkippedBetween(std::uint32_t previous, std::uint32_t id) noexcept {
  // Serial-number distance: positive when `id` comes after `previous`, also
  // across the wrap from 0xFFFFFFFF to 1.
  const auto step = static_cast<std::int32_t>(id - previous);
  if (step <= 0) {
    // Back to 1, any step backwards or the same id again: a sender that
    // started over. Nothing between the sequences was lost to us.
    return std::nullopt;
  }
  std::uint64_t skipped = static_cast<std::uint64_t>(step) - 1u;
  if (id < previous && skipped > 0) --skipped;  // the wrap passes 0, which names no sample
  if (skipped > kMaxCredibleIdGap) return std::nullopt;
  return skipped;
}

void ReceiveStatistics::ObserveSampleId(std::uint32_t id) noexcept {
  if (!m_have_id) {
    m_have_id = true;
    m_last_id = id;
    Set(RxCount::kFirstSampleId, id);
    Set(RxCount::kLastSampleId, id);
    return;
  }
  const std::uint32_t previous = m_last_id;
  m_last_id = id;
  Set(RxCount::kLastSampleId, id);
  const std::optional<std::uint64_t> skipped = SamplesSkippedBetween(previous, id);
  if (!skipped) {
    Add(RxCount::kIdSequenceRestarts);
    return;
  }
  if (*skipped > 0) {
    Add(RxCount::kIdGaps);
    Add(RxCount::kIdGapSamples, *skipped);
  }
}

void ReceiveStatistics::SyncTransport(const korvel::RxStats& stats) noexcept {
  ForEachTransportCounter(stats, [this](RxCount counter, const korvel::RxCounter& source) {
    Set(counter, m_transport_base[Index(counter)] + source.Get());
  });
}

void ReceiveStatistics::RetireTransport(const korvel::RxStats& stats) noexcept {
  ForEachTransportCounter(stats, [this](RxCount counter, const korvel::RxCounter& source) {
    m_transport_base[Index(counter)] += source.Get();
    Set(counter, m_transport_base[Index(counter)]);
  });
}

}  // namespace ketra::vesktools::vesklib_korvel
