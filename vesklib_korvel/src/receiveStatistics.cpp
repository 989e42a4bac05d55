// Receive counters: one table of their names and sources, the give-up total,
// the sample id sequence and the mirror of the transport's datagram counters.
#include <vesklib_korvel/ReceiveStatistics.hpp>

#include <korvel/RxStats.hpp>

#include <fmt/format.h>

namespace ketra::vesktools::vesklib_korvel {

namespace {

// Where a counter's value comes from.
enum class Source : std::uint8_t {
  kTransport,  // mirrored from the transport counter `transport` of the current and earlier stacks
  kSample,     // delivered or given-up samples (the total of the causes)
  kGiveUp,     // one cause of a given-up sample
  kIdle,       // waits in which no sample began
  kSampleId,   // the id sequence of the leaders taken
};

struct Counter {
  RxCount id;
  std::string_view name;
  Source source;
  korvel::RxCounter korvel::RxStats::*transport = nullptr;
};

// Every counter once, in RxCount order: its snapshot name and its source.
constexpr std::array<Counter, static_cast<std::size_t>(RxCount::kCount)> kCounters{{
    {RxCount::kDatagramsReceived, "datagrams_received", Source::kTransport, &korvel::RxStats::datagrams},
    {RxCount::kSkippedForeign, "skipped_foreign", Source::kTransport, &korvel::RxStats::skipped_foreign},
    {RxCount::kSkippedOtherTopic, "skipped_other_topic", Source::kTransport, &korvel::RxStats::skipped_other_topic},
    {RxCount::kSkippedNotLeader, "skipped_not_leader", Source::kTransport, &korvel::RxStats::skipped_not_leader},
    {RxCount::kSkippedStale, "skipped_stale", Source::kTransport, &korvel::RxStats::skipped_stale},
    {RxCount::kSkippedExtInfo, "skipped_ext_info", Source::kTransport, &korvel::RxStats::skipped_ext_info},
    {RxCount::kTruncatedDatagrams, "truncated_datagrams", Source::kTransport, &korvel::RxStats::truncated},
    {RxCount::kMalformedLeaders, "malformed_leaders", Source::kTransport, &korvel::RxStats::malformed_leader},
    {RxCount::kJoinedBuffers, "joined_buffers", Source::kTransport, &korvel::RxStats::joined_buffers},
    {RxCount::kSamplesDelivered, "samples_delivered", Source::kSample},
    {RxCount::kSamplesGivenUp, "samples_given_up", Source::kSample},
    {RxCount::kLeaderTimeout, "given_up_leader_timeout", Source::kGiveUp},
    {RxCount::kLeaderImplausible, "given_up_leader_implausible", Source::kGiveUp},
    {RxCount::kLeaderOversized, "given_up_leader_oversized", Source::kGiveUp},
    {RxCount::kPayloadTimeout, "given_up_payload_timeout", Source::kGiveUp},
    {RxCount::kPayloadLost, "given_up_payload_lost", Source::kGiveUp},
    {RxCount::kPayloadWrongSize, "given_up_payload_wrong_size", Source::kGiveUp},
    {RxCount::kPayloadOfOtherSample, "given_up_payload_of_other_sample", Source::kGiveUp},
    {RxCount::kNewLeader, "given_up_new_leader", Source::kGiveUp},
    {RxCount::kIncompletePayload, "given_up_incomplete_payload", Source::kGiveUp},
    {RxCount::kWrongTag, "given_up_wrong_tag", Source::kGiveUp},
    {RxCount::kTrailerTimeout, "given_up_trailer_timeout", Source::kGiveUp},
    {RxCount::kTrailerLost, "given_up_trailer_lost", Source::kGiveUp},
    {RxCount::kTrailerOfOtherSample, "given_up_trailer_of_other_sample", Source::kGiveUp},
    {RxCount::kTransportError, "given_up_transport_error", Source::kGiveUp},
    {RxCount::kHookThrew, "given_up_hook_threw", Source::kGiveUp},
    {RxCount::kIdleTimeouts, "idle_timeouts", Source::kIdle},
    {RxCount::kFirstSampleId, "first_sample_id", Source::kSampleId},
    {RxCount::kLastSampleId, "last_sample_id", Source::kSampleId},
    {RxCount::kIdGaps, "id_gaps", Source::kSampleId},
    {RxCount::kIdGapSamples, "id_gap_samples", Source::kSampleId},
    {RxCount::kIdSequenceRestarts, "id_sequence_restarts", Source::kSampleId},
}};

// The table has one row per counter (an omitted row leaves a default one),
// each in its RxCount place, each with a name, and a transport counter
// exactly for the mirrored ones.
constexpr bool RowsInOrder() {
  for (std::size_t i = 0; i < kCounters.size(); ++i) {
    const Counter& row = kCounters[i];
    if (static_cast<std::size_t>(row.id) != i || row.name.empty()) return false;
    if ((row.source == Source::kTransport) != (row.transport != nullptr)) return false;
  }
  return true;
}
static_assert(RowsInOrder(), "kCounters needs one row per RxCount, in RxCount order");

// The transport counters mirrored, with the counter each one feeds.
template <typename F>
void ForEachTransportCounter(const korvel::RxStats& stats, F&& f) {
  for (const Counter& row : kCounters) {
    if (row.source == Source::kTransport) f(row.id, stats.*row.transport);
  }
}

bool IsGiveUpCause(RxCount counter) noexcept {
  const auto index = static_cast<std::size_t>(counter);
  return index < kCounters.size() && kCounters[index].source == Source::kGiveUp;
}

}  // namespace

std::string_view RxCountName(RxCount counter) noexcept {
  const auto index = static_cast<std::size_t>(counter);
  return index < kCounters.size() ? kCounters[index].name : std::string_view("unknown");
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
  snapshot.reserve(kCounters.size());
  for (std::size_t i = 0; i < kCounters.size(); ++i) {
    snapshot.emplace_back(kCounters[i].name, m_values[i].load(std::memory_order_relaxed));
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
