// VeskReceiver: set-up of the receive stack, reassembly of one sample, and
// the receive loop with its stop hand-shake. Everything that logs lives in
// this one file so that every trace and log line names the same source.

#include <vesklib_korvel/VeskReceiver.hpp>

#include "SampleSizeLimit.hpp"
#include "VeskReceiverBatch.hpp"
#include "VeskReceiverHints.hpp"
#include "VeskReceiverPlan.hpp"

#include <vesklib_korvel/Diagnostics.hpp>
#include <vesklib_korvel/PacketGeometry.hpp>

#include <korvel/Ipv4.hpp>
#include <korvel/UdpRxSocket.hpp>
#include <korvel/detail/IovsBuilder.hpp>
#include <korvel/dunmo/Receiver.hpp>
#include <korvel/vesk/Receiver.hpp>
#include <korvel/wire/Header.hpp>

#include <fmt/format.h>
#include <boost/algorithm/string/trim.hpp>
#include <boost/exception/diagnostic_information.hpp>
#include <gsl/span>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace ketra::vesktools::vesklib_korvel {

std::atomic<bool> VeskReceiver::s_execute{true};

namespace {

using Clock = std::chrono::steady_clock;
using RxResult = korvel::vesk::Receiver::Result;

std::int8_t CheckedBytesPerPixel(DataType data_type) {
  const std::int8_t bpp = ketra::fnd::datatype::GetBytesPerPixel(data_type);
  if (bpp <= 0) {
    throw std::invalid_argument(fmt::format("VeskReceiver: data type {} has no fixed pixel size and cannot be received",
                                            static_cast<int>(data_type)));
  }
  return bpp;
}

const ReceiverConfig& CheckedConfig(const ReceiverConfig& config, int bpp) {
  if (config.mtu_size <= kHeaderRoom || config.mtu_size - kHeaderRoom < bpp) {
    throw std::invalid_argument(
        fmt::format("VeskReceiver: mtu_size {} leaves no room for a pixel of {} bytes (it must be at least {})",
                    config.mtu_size, bpp, kHeaderRoom + bpp));
  }
  return config;
}

// Packet count the packet layer is sized for; only a hint to it, so kept
// within its 16-bit field.
std::uint16_t PacketLayerSize(const ReceiverConfig& config, int bpp) {
  const std::int64_t pixels = static_cast<std::int64_t>(config.image_width) * config.image_height;
  const std::int64_t packets = PacketsPerSample(std::max<std::int64_t>(pixels, 0), bpp, config.mtu_size);
  return static_cast<std::uint16_t>(std::clamp<std::int64_t>(packets, 2, std::numeric_limits<std::uint16_t>::max()));
}

korvel::wire::HeaderView HeaderOf(const korvel::dunmo::Receiver::Packet& packet) {
  return korvel::wire::HeaderView(packet.data);
}

std::chrono::nanoseconds TimeLeft(Clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
}

gsl::span<std::byte> BytesAt(unsigned char* data, std::size_t size) {
  return gsl::span<std::byte>(reinterpret_cast<std::byte*>(data), size);
}

// Runs the end of ReceiveLoop on every way out of it, so that a waiting
// StopReceiver is always released.
template <typename F>
class AtExit {
 public:
  explicit AtExit(F f) : m_f(std::move(f)) {}
  ~AtExit() { m_f(); }
  AtExit(const AtExit&) = delete;
  AtExit& operator=(const AtExit&) = delete;

 private:
  F m_f;
};

bool Is(const std::error_code& error, korvel::RxErrc code) {
  return error == korvel::make_error_code(code);
}

// Cause of a given-up sample for an error of a payload or trailer receive.
RxCount CauseOfInSampleError(const std::error_code& error, bool trailer) {
  if (Is(error, korvel::RxErrc::MissingPacket)) return trailer ? RxCount::kTrailerLost : RxCount::kPayloadLost;
  if (Is(error, korvel::RxErrc::UnexpectedLeader)) return RxCount::kNewLeader;
  if (!trailer && (Is(error, korvel::RxErrc::PayloadSizeMismatch) || error == std::errc::message_size)) {
    return RxCount::kPayloadWrongSize;
  }
  return RxCount::kTransportError;
}

// A sender set up differently (pixel type, payload room) is named once, with
// the option that fixes it.
void TellLeaderHints(detail::LeaderHints& hints, const korvel::wire::HeaderView& leader) {
  for (const auto& hint : {hints.PixelType(leader.PixelType()), hints.PayloadRoom(leader.PayloadRoom())}) {
    if (hint) LOG4CPLUS_WARN(Logger(), *hint);
  }
}

// Leaders of the stream that the transport refused (another ext info or
// pixel size, longer than a leader): counted by it, then skipped.
std::uint64_t RefusedLeaders(const korvel::RxStats& stats) {
  return stats.skipped_ext_info.Get() + stats.truncated.Get();
}

// How one ReceiveSample call ended: a complete sample, a wait in which no
// sample began, or the cause a sample was given up for (counted, and told in
// one DEBUG line, when the call ends without a sample, by return or by
// exception). Tells the receiver the end and whether the sample's leader was
// accepted.
class SampleOutcome {
 public:
  using SampleEnd = VeskReceiver::SampleEnd;
  SampleOutcome(ReceiveStatistics& statistics, SampleEnd& end, bool& leader_accepted)
      : m_statistics(statistics), m_end(end), m_leader_accepted(leader_accepted) {
    m_leader_accepted = false;
  }
  ~SampleOutcome() {
    if (m_delivered) {
      m_end = SampleEnd::kDelivered;
      return;
    }
    if (m_idle) {
      m_end = SampleEnd::kIdle;
      if (!m_stopped) m_statistics.Add(RxCount::kIdleTimeouts);
      return;
    }
    m_end = SampleEnd::kGivenUp;
    m_statistics.GiveUp(m_cause);
    try {
      if (Logger().isEnabledFor(log4cplus::DEBUG_LOG_LEVEL)) {
        if (m_have_leader) {
          LOG4CPLUS_DEBUG(Logger(), fmt::format("Sample {} given up: {}, {} of {} packets received", m_sample_id,
                                                RxCountName(m_cause), m_seen, m_packets));
        } else {
          LOG4CPLUS_DEBUG(Logger(), fmt::format("Sample given up before any leader: {}", RxCountName(m_cause)));
        }
      }
    } catch (...) {  // a failing log must not end the receiver
    }
  }
  SampleOutcome(const SampleOutcome&) = delete;
  SampleOutcome& operator=(const SampleOutcome&) = delete;

  void Leader(std::uint32_t sample_id, std::uint16_t packets) {
    m_have_leader = true;
    m_sample_id = sample_id;
    m_packets = packets;
    m_seen = 1;
  }
  void Accepted() { m_leader_accepted = true; }
  void PacketTaken() { ++m_seen; }
  void Fail(RxCount cause) { m_cause = cause; }
  void Idle() { m_idle = true; }
  // No sample began before the loop was told to stop: no loss, and no idle
  // timeout either, since the wait did not run out.
  void Stopped() {
    m_idle = true;
    m_stopped = true;
  }
  void Delivered() {
    m_delivered = true;
    m_statistics.Add(RxCount::kSamplesDelivered);
  }

 private:
  ReceiveStatistics& m_statistics;
  SampleEnd& m_end;
  bool& m_leader_accepted;
  RxCount m_cause = RxCount::kTransportError;
  bool m_delivered = false;
  bool m_idle = false;
  bool m_stopped = false;
  bool m_have_leader = false;
  std::uint32_t m_sample_id = 0;
  std::uint32_t m_packets = 0;
  std::uint32_t m_seen = 0;
};

}  // namespace

// ---- set-up -------------------------------------------------------------------

VeskReceiver::VeskReceiver(const std::string& address, const std::string& netif, int port, DataType data_type,
                           const ReceiverConfig& config)
    : m_address(address),
      m_netif(netif),
      m_port(port),
      m_data_type(data_type),
      m_bpp(CheckedBytesPerPixel(data_type)),
      m_rcvr_cfg(CheckedConfig(config, m_bpp)),
      m_leader_hints(std::make_unique<detail::LeaderHints>(data_type, m_bpp, m_rcvr_cfg.mtu_size)) {
  VESK_TRACE_SCOPE();
}

VeskReceiver::~VeskReceiver() {
  VESK_TRACE_SCOPE();
  TearDown();
}

void VeskReceiver::TearDown() noexcept {
  if (m_vesk_receiver) m_statistics.RetireTransport(m_vesk_receiver->Stats());
  m_vesk_receiver.reset();  // takes the packet receiver it owns with it
  m_dunmo_receiver.reset();
  m_udp_socket.reset();
}

void VeskReceiver::SyncTransportStatistics() noexcept {
  if (m_vesk_receiver) m_statistics.SyncTransport(m_vesk_receiver->Stats());
}

void VeskReceiver::LogStatistics() const {
  std::string text;
  for (const std::string& line : NonZeroCounterLines(m_statistics.Take())) {
    text += (text.empty() ? "" : ", ") + line;
  }
  LOG4CPLUS_INFO(Logger(), "Receive statistics: " << (text.empty() ? std::string("all zero") : text));
}

void VeskReceiver::LogIdle(std::uint64_t datagrams_skipped) const {
  const double seconds = std::chrono::duration<double>(m_sample_timeout).count();
  if (datagrams_skipped == 0) {
    LOG4CPLUS_INFO(Logger(), fmt::format("No VESK datagram for {:g} s, waiting", seconds));
  } else {
    LOG4CPLUS_INFO(Logger(), fmt::format("No VESK sample began for {:g} s ({} datagram(s) skipped, see the receive "
                                         "statistics), waiting",
                                         seconds, datagrams_skipped));
  }
}

std::optional<std::uint32_t> VeskReceiver::GetLostSampleId() const {
  if (m_last_end == SampleEnd::kGivenUp && m_last_leader_accepted) return m_sample_id;
  return std::nullopt;
}

std::uint16_t VeskReceiver::GetLocalPort() const {
  return m_udp_socket ? m_udp_socket->LocalPort() : 0;
}

void VeskReceiver::Initialise() {
  VESK_TRACE_SCOPE();
  try {
    korvel::UdpRxSocket::Config socket_config{};
    socket_config.port = static_cast<std::uint16_t>(m_port);
    socket_config.address = korvel::Ipv4(m_address);
    socket_config.max_iovs = 6;
    socket_config.buffer_size = m_rcvr_cfg.socket_buffer_size;
    socket_config.netif = m_netif;
    socket_config.busy_poll_us = 0;
    socket_config.coalesce = (m_rcvr_cfg.packet_layer_option & korvel::dunmo::Receiver::kOptionNoCoalesce) == 0;

    korvel::dunmo::Receiver::Config dunmo_config{};
    dunmo_config.topic_id = m_rcvr_cfg.topic_id;
    dunmo_config.packets_per_sample = PacketLayerSize(m_rcvr_cfg, m_bpp);
    dunmo_config.options = m_rcvr_cfg.packet_layer_option;

    korvel::vesk::Receiver::Config vesk_config{};
    vesk_config.max_ext_info_size = 8;
    vesk_config.ext_info_size = static_cast<std::uint8_t>(m_rcvr_cfg.ext_info_size);
    vesk_config.flags = 0;
    vesk_config.bytes_per_pixel = static_cast<std::uint8_t>(m_bpp);
    // The sample plan is the one judge of a leader: the transport asks it
    // for awaited and mid-sample leaders alike.
    vesk_config.leader_plausible = [bpp = m_bpp, mtu = m_rcvr_cfg.mtu_size](const korvel::wire::HeaderView& h) {
      return detail::PlanSample(h.PacketCount(), h.PixelCount(), bpp, mtu, h.PayloadRoom()).fits;
    };

    // An earlier stack goes first (its protocol receiver, then the socket it
    // read from): a unicast port takes one socket only, so the new one could
    // not bind while the old one holds it.
    TearDown();
    auto socket = std::make_unique<korvel::UdpRxSocket>(socket_config, nullptr);
    m_dunmo_receiver = std::make_unique<korvel::dunmo::Receiver>(dunmo_config, *socket, nullptr);
    korvel::vesk::Receiver::DunmoPtr packet_receiver(m_dunmo_receiver.release(),
                                                     std::default_delete<korvel::dunmo::Receiver>());
    m_vesk_receiver = std::make_unique<korvel::vesk::Receiver>(vesk_config, std::move(packet_receiver), nullptr);
    m_udp_socket = std::move(socket);
  } catch (...) {
    LOG4CPLUS_ERROR(Logger(),
                    "Failed to initialize VESK receiver: " << boost::current_exception_diagnostic_information());
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    std::exit(1);
  }
  s_execute.exchange(true);
}

// ---- one sample -----------------------------------------------------------------

namespace {

// What an accepted leader announces, and how its bytes are spread.
struct AcceptedLeader {
  std::uint32_t sample_id = 0;
  std::uint16_t packets = 0;
  std::uint32_t pixels = 0;
  detail::SamplePlan plan;
};

// The steps of one ReceiveSample call: leader, payloads, trailer, each
// receiving within the sample's deadline and telling `outcome` how it ended.
// Given `keep_waiting`, the wait for a leader also ends once that flag is
// cleared, so that stopping an idle receive loop does not wait out the
// sample timeout; a sample that has begun is still received to its end.
// A step returns false (or nothing) for a sample given up or not begun, and
// throws for transport errors and inconsistent samples.
class SampleSteps {
 public:
  SampleSteps(korvel::vesk::Receiver& receiver, ReceiveStatistics& statistics, const ReceiverConfig& config, int bpp,
              Clock::time_point deadline, const std::atomic<bool>* keep_waiting, SampleOutcome& outcome)
      : m_receiver(receiver),
        m_statistics(statistics),
        m_config(config),
        m_bpp(bpp),
        m_deadline(deadline),
        m_keep_waiting(keep_waiting),
        m_outcome(outcome) {}

  // The awaited leader, plausible and within `max_sample_bytes`; the ext
  // info of any leader read is unpacked into `ext_info`. `sample_id` names a leader that was read,
  // accepted or not.
  std::optional<AcceptedLeader> Leader(detail::LeaderHints& hints, std::uint64_t max_sample_bytes,
                                       SampleExtInfo& ext_info, std::uint32_t& sample_id);
  // The payloads, one after the other straight into `sample`.
  bool Payloads(const AcceptedLeader& leader, std::vector<unsigned char>& sample);
  bool Trailer();

 private:
  // The leader receive with its retries; skipped and oversized datagrams do
  // not end the wait. The ext info block lands in `ext_block`.
  RxResult AwaitLeader(std::vector<unsigned char>& ext_block);
  // True once keep_waiting was given and has been cleared.
  bool StopAsked() const { return m_keep_waiting != nullptr && !m_keep_waiting->load(); }
  RxResult AwaitPayload(detail::PayloadBatcher& batcher, unsigned char* write_at, std::uint64_t chunk,
                        std::uint64_t full_chunk, std::uint64_t full_in_a_row);

  korvel::vesk::Receiver& m_receiver;
  ReceiveStatistics& m_statistics;
  const ReceiverConfig& m_config;
  int m_bpp;
  Clock::time_point m_deadline;
  const std::atomic<bool>* m_keep_waiting;
  SampleOutcome& m_outcome;
  korvel::RxSlotArray m_slots{};
};

RxResult SampleSteps::AwaitLeader(std::vector<unsigned char>& ext_block) {
  // How long a stop may go unseen while no leader comes.
  constexpr std::chrono::nanoseconds kStopSeenWithin = std::chrono::milliseconds(100);
  for (;;) {
    auto builder = korvel::MakeRxIovsBuilder(m_slots);
    ext_block.assign(m_config.ext_info_size, 0);
    if (!ext_block.empty()) builder.Append(BytesAt(ext_block.data(), ext_block.size()));
    const std::chrono::nanoseconds left = TimeLeft(m_deadline);
    RxResult leader = m_receiver.ReceiveLeaderPacket(
        std::move(builder), m_keep_waiting != nullptr ? std::min(left, kStopSeenWithin) : left);
    m_statistics.SyncTransport(m_receiver.Stats());
    if (!detail::IsLeaderRetry(leader.error) && (leader.packet || leader.error)) return leader;
    // Nothing yet, or only skipped datagrams, which neither end the wait nor
    // extend it past the deadline.
    if (StopAsked() || TimeLeft(m_deadline).count() <= 0) return RxResult{};
  }
}

std::optional<AcceptedLeader> SampleSteps::Leader(detail::LeaderHints& hints, std::uint64_t max_sample_bytes,
                                                  SampleExtInfo& ext_info, std::uint32_t& sample_id) {
  const std::uint64_t refused_before = RefusedLeaders(m_receiver.Stats());
  std::vector<unsigned char> ext_block;
  const RxResult leader = AwaitLeader(ext_block);
  const bool refused =
      Is(leader.error, korvel::RxErrc::MalformedLeader) || Is(leader.error, korvel::RxErrc::ImplausibleLeader);
  if (leader.error && (!refused || !leader.packet)) {
    m_outcome.Fail(RxCount::kTransportError);
    throw std::runtime_error("Error receiving VESK Leader Packet: " + leader.error.message());
  }
  if (!leader.packet) {
    // Without any leader of this stream the sender is idle: no sample began,
    // so none was lost. Refused leaders mean samples came and were lost.
    if (RefusedLeaders(m_receiver.Stats()) != refused_before) {
      m_outcome.Fail(RxCount::kLeaderTimeout);
    } else if (StopAsked()) {
      m_outcome.Stopped();
    } else {
      m_outcome.Idle();
    }
    return std::nullopt;
  }
  if (ext_block.size() >= SampleExtInfo::kPackedSize) {
    ext_info.Unpack(ext_block);
  } else {
    ext_info = SampleExtInfo();
  }
  const korvel::wire::HeaderView header = HeaderOf(*leader.packet);
  TellLeaderHints(hints, header);
  AcceptedLeader accepted{header.SampleId(), header.PacketCount(), header.PixelCount(), {}};
  m_outcome.Leader(accepted.sample_id, accepted.packets);
  sample_id = accepted.sample_id;
  if (leader.error) {
    // Refused by the sample plan, or by the transport's index and length
    // checks (which name their cause): given up before any memory is
    // reserved for it.
    m_outcome.Fail(RxCount::kLeaderImplausible);
    if (Is(leader.error, korvel::RxErrc::MalformedLeader)) {
      throw std::runtime_error("Error receiving VESK Leader Packet: " + leader.error.message());
    }
    throw std::runtime_error("Incomplete payload received");
  }
  // Plausible: the transport asked the same plan before accepting the leader.
  accepted.plan = detail::PlanSample(accepted.packets, accepted.pixels, m_bpp, m_config.mtu_size, header.PayloadRoom());
  if (accepted.plan.sample_bytes > max_sample_bytes) {
    // A forged or foreign leader never makes the receiver reserve more than
    // its maximum sample size.
    m_outcome.Fail(RxCount::kLeaderOversized);
    throw std::runtime_error(fmt::format("Sample of {} bytes announced, above the maximum sample size of {} bytes",
                                         accepted.plan.sample_bytes, max_sample_bytes));
  }
  return accepted;
}

RxResult SampleSteps::AwaitPayload(detail::PayloadBatcher& batcher, unsigned char* write_at, std::uint64_t chunk,
                                   std::uint64_t full_chunk, std::uint64_t full_in_a_row) {
  RxResult payload;
  if (batcher.Next(write_at, chunk, full_chunk, full_in_a_row, TimeLeft(m_deadline), payload)) return payload;
  do {
    auto builder = korvel::MakeRxIovsBuilder(m_slots);
    builder.Append(BytesAt(write_at, static_cast<std::size_t>(chunk)));
    payload = m_receiver.ReceivePayloadPacket(std::move(builder), TimeLeft(m_deadline));
  } while (detail::IsRetry(payload.error));
  return payload;
}

bool SampleSteps::Payloads(const AcceptedLeader& leader, std::vector<unsigned char>& sample) {
  std::uint64_t remaining = sample.size();
  unsigned char* write_at = sample.data();
  std::uint32_t highest_end = 1;
  const std::uint64_t full_chunk = static_cast<std::uint64_t>(leader.plan.pixels_per_packet) * m_bpp;
  // Runs of full payloads come in batches unless bit 0 of the packet layer
  // option turns batching off.
  detail::PayloadBatcher batcher(m_receiver,
                                 (m_config.packet_layer_option & korvel::dunmo::Receiver::kOptionNoBatch) == 0);
  for (std::uint32_t k = 2; k < leader.packets; ++k) {
    const std::uint64_t chunk = std::min(full_chunk, remaining);
    const std::uint64_t full_in_a_row =
        full_chunk == 0 ? 0 : std::min<std::uint64_t>(leader.packets - k, remaining / full_chunk);
    RxResult payload = AwaitPayload(batcher, write_at, chunk, full_chunk, full_in_a_row);
    if (Is(payload.error, korvel::RxErrc::LaterSample)) {
      // The transport gave the sample up for a packet of a later one; its
      // id only names that sample in the log.
      m_outcome.Fail(RxCount::kPayloadOfOtherSample);
      LOG4CPLUS_ERROR(Logger(), fmt::format("Payload packet {}, sample {} does not belong to the same sample as the "
                                            "leader packet sample: {}",
                                            k - 1, static_cast<std::int32_t>(HeaderOf(*payload.packet).SampleId()),
                                            static_cast<std::int32_t>(leader.sample_id)));
      return false;
    }
    if (payload.error) {
      m_outcome.Fail(CauseOfInSampleError(payload.error, false));
      throw std::runtime_error("Error receiving Payload Packets: " + payload.error.message());
    }
    if (!payload.packet) {
      m_outcome.Fail(RxCount::kPayloadTimeout);
      LOG4CPLUS_ERROR(Logger(), "Time out for payload packet " << (k - 1));
      return false;
    }
    highest_end = detail::AdvancePayloadEnd(highest_end, HeaderOf(*payload.packet).PayloadTag(), chunk, m_bpp);
    payload.packet.reset();
    m_outcome.PacketTaken();
    remaining -= chunk;
    write_at += chunk;
  }
  if (remaining != 0) {
    m_outcome.Fail(RxCount::kIncompletePayload);
    throw std::runtime_error("Incomplete payload received");
  }
  if (highest_end - 1 != leader.pixels) {
    m_outcome.Fail(RxCount::kWrongTag);
    throw std::runtime_error("Unexpected payload tag");
  }
  return true;
}

bool SampleSteps::Trailer() {
  RxResult trailer;
  do {
    trailer = m_receiver.ReceiveTrailerPacket(korvel::MakeRxIovsBuilder(m_slots), TimeLeft(m_deadline));
  } while (detail::IsRetry(trailer.error));
  if (Is(trailer.error, korvel::RxErrc::LaterSample)) {
    m_outcome.Fail(RxCount::kTrailerOfOtherSample);
    LOG4CPLUS_ERROR(Logger(), "leader and trailer do not belong to the same sample");
    return false;
  }
  if (trailer.error) {
    m_outcome.Fail(CauseOfInSampleError(trailer.error, true));
    throw std::runtime_error("Error receiving VESK Trailer Packet: " + trailer.error.message());
  }
  if (!trailer.packet) {
    m_outcome.Fail(RxCount::kTrailerTimeout);
    LOG4CPLUS_ERROR(Logger(), "Missing trailer");
    return false;
  }
  m_outcome.PacketTaken();
  return true;
}

}  // namespace

bool VeskReceiver::ReceiveSample(SampleExtInfo& ext_info, std::vector<unsigned char>& sample,
                                 std::chrono::nanoseconds timeout) {
  VESK_TRACE_SCOPE();
  if (!m_vesk_receiver) {
    throw std::logic_error("ReceiveSample needs a receiver built by Initialise");
  }
  SampleOutcome outcome(m_statistics, m_last_end, m_last_leader_accepted);
  const AtExit sync_statistics([this] { SyncTransportStatistics(); });
  // Within the receive loop a stop ends the wait for a leader early.
  SampleSteps steps(*m_vesk_receiver, m_statistics, m_rcvr_cfg, m_bpp, Clock::now() + timeout,
                    m_loop_running.load() ? &s_execute : nullptr, outcome);

  const std::optional<AcceptedLeader> leader =
      steps.Leader(*m_leader_hints, detail::MaxSampleBytes(m_rcvr_cfg.max_sample_bytes, m_bpp, m_rcvr_cfg.mtu_size),
                   ext_info, m_sample_id);
  if (!leader) return false;
  m_statistics.ObserveSampleId(leader->sample_id);
  outcome.Accepted();
  sample.resize(static_cast<std::size_t>(leader->plan.sample_bytes));
  if (leader->packets > 2) {
    VESK_DEBUG_PRINT("npdus per pkt {} frame size {} num frames {} m_bpp {}",
                     static_cast<std::int32_t>(leader->plan.pixels_per_packet),
                     static_cast<std::int32_t>(leader->pixels), static_cast<int>(leader->packets),
                     static_cast<int>(m_bpp));
  }
  if (!steps.Payloads(*leader, sample) || !steps.Trailer()) return false;
  outcome.Delivered();
  LOG4CPLUS_INFO(Logger(),
                 fmt::format("All packets received of sample {}", static_cast<std::int32_t>(leader->sample_id)));
  return true;
}

// ---- the loop ---------------------------------------------------------------------

void VeskReceiver::ReceiveLoop() {
  VESK_TRACE_SCOPE();
  Initialise();

  SampleExtInfo ext_info;
  std::vector<unsigned char> sample;
  m_loop_running.exchange(true);
  const AtExit end_of_loop([this] {
    TearDown();
    {
      std::lock_guard<std::mutex> lock(m_loop_mutex);
      m_loop_running.exchange(false);
    }
    m_loop_cv.notify_one();
  });

  Clock::time_point last_statistics_log = Clock::now();
  // An idle period (waits in which no sample began) is logged once, at its
  // first wait; any sample, delivered or lost, ends it.
  bool idle_logged = false;
  while (s_execute.load()) {
    bool lost = false;
    bool in_hook = false;
    const std::uint64_t datagrams_before = m_statistics.Get(RxCount::kDatagramsReceived);
    try {
      if (ReceiveSample(ext_info, sample, m_sample_timeout)) {
        in_hook = true;
        HandleSampleUser(ext_info, sample);
      } else if (m_last_end == SampleEnd::kIdle) {
        if (!idle_logged && s_execute.load()) LogIdle(m_statistics.Get(RxCount::kDatagramsReceived) - datagrams_before);
      } else {
        ++m_lost_frames;
        lost = true;
        LOG4CPLUS_ERROR(Logger(), "Problem when receiving sample, one frame lost");
      }
    } catch (...) {
      std::string diagnostic = boost::current_exception_diagnostic_information();
      boost::algorithm::trim_right(diagnostic);
      LOG4CPLUS_ERROR(Logger(), "Error during VESK reception: " << diagnostic << ", one frame will be lost");
      if (in_hook) m_statistics.GiveUp(RxCount::kHookThrew);
      m_last_end = SampleEnd::kGivenUp;
      ++m_lost_frames;
      lost = true;
    }
    idle_logged = m_last_end == SampleEnd::kIdle;
    if (lost) {
      try {
        HandleSampleLost();
      } catch (...) {
        std::string diagnostic = boost::current_exception_diagnostic_information();
        boost::algorithm::trim_right(diagnostic);
        LOG4CPLUS_ERROR(Logger(), "Error in the lost-sample hook: " << diagnostic);
      }
    }
    if (m_statistics_log_interval.count() > 0 && Clock::now() - last_statistics_log >= m_statistics_log_interval) {
      last_statistics_log = Clock::now();
      LogStatistics();
    }
  }
}

void VeskReceiver::StopReceiver() {
  std::unique_lock<std::mutex> lock(m_loop_mutex);
  s_execute.exchange(false);
  m_loop_cv.wait(lock, [this] { return !m_loop_running.load(); });
}

}  // namespace ketra::vesktools::vesklib_korvel
