// VeskSender: builds the send stack (UDP socket, packet layer, stream
// protocol) and sends samples as leader, payload and trailer packets.

#include <vesklib_korvel/VeskSender.hpp>

#include <chronel/Chronel.hpp>
#include <korvel/UdpTxSocket.hpp>
#include <korvel/detail/IovsBuilder.hpp>
#include <korvel/dunmo/Sender.hpp>
#include <korvel/vesk/Sender.hpp>
#include <vesklib_korvel/Diagnostics.hpp>
#include <vesklib_korvel/PacketGeometry.hpp>

#include <fmt/format.h>
#include <ketra/fnd/time/Pacer.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace ketra::vesktools::vesklib_korvel {

namespace {

// The only non-zero size of the leader's extended info block.
constexpr std::uint16_t kExtInfoBlockSize = 8;
// Byte each pixel of the protocol layer's pixel pattern is filled with.
constexpr std::byte kPixelPatternByte{0x23};

// With a rate limit, a batch holds about this long a burst at that rate.
constexpr double kPacedBurstSeconds = 200e-6;

void ThrowOnSendError(const std::error_code& error, const char* what) {
  if (error) {
    throw std::runtime_error(what + error.message());
  }
}

// Payload packets per batch: all the packet layer takes, or, when paced,
// about kPacedBurstSeconds worth of datagrams at the rate (at least one).
std::size_t PacketsPerBatch(std::uint64_t rate_limit, std::size_t datagram_bytes) {
  constexpr std::size_t capacity = korvel::dunmo::Sender::kBatchCapacity;
  if (rate_limit == 0) return capacity;
  const double burst = static_cast<double>(rate_limit) * kPacedBurstSeconds / static_cast<double>(datagram_bytes);
  return std::clamp<std::size_t>(static_cast<std::size_t>(burst), 1, capacity);
}

}  // namespace

VeskSender::VeskSender(const std::string& src_ip, const std::string& dest_ip, int dest_port, DataType data_type,
                       int pixels_per_sample, const SenderConfig& config)
    : m_src_ip(src_ip),
      m_dest_ip(dest_ip),
      m_dest_port(dest_port),
      m_data_type(data_type),
      m_pixels_per_sample(pixels_per_sample),
      m_sndr_cfg(config),
      m_bpp(ketra::fnd::datatype::GetBytesPerPixel(data_type)) {
  VESK_TRACE_SCOPE();
  VESK_LOG_INFO_P("{}: BPP={}", static_cast<int>(m_bpp));
  VESK_LOG_INFO_P(
      "{}: VeskSender::VeskSender(): Src IP: {} - Dest IP: {} - Dest Port: {} - Data Type: {} - Px pr sample: {} - "
      "BPP: {}",
      m_src_ip, m_dest_ip, m_dest_port, static_cast<std::int32_t>(m_data_type), m_pixels_per_sample,
      static_cast<int>(m_bpp));
}

VeskSender::~VeskSender() {
  VESK_TRACE_SCOPE();
  // Each layer refers to the one below it: tear down from the top.
  m_vesk_sender.reset();
  m_dunmo_sender.reset();
  m_udp_socket.reset();
}

void VeskSender::Initialise(const SampleExtInfo& /*ext_info*/) {
  VESK_TRACE_SCOPE();
  const int new_px_pr_sample = m_pixels_per_sample;
  VESK_LOG_DEBUG_P("{}: new_px_pr_sample={}, m_current_pixels_per_sample={}!!", new_px_pr_sample,
                   m_current_pixels_per_sample);
  if (m_vesk_sender && new_px_pr_sample == m_current_pixels_per_sample) {
    return;
  }

  LOG4CPLUS_INFO(Logger(), fmt::format("UDP Config: Dest Port: |{}| - Src IP: |{}| - Dest IP: |{}|", m_dest_port,
                                       m_src_ip, m_dest_ip));

  korvel::UdpTxSocket::Config socket_config;
  socket_config.src_port = 0;
  socket_config.dest_port = static_cast<std::uint16_t>(m_dest_port);
  socket_config.multicast_loop = 1;
  if (!m_src_ip.empty()) {
    socket_config.src_ip = korvel::Ipv4(m_src_ip);
  }
  socket_config.dest_ip = m_dest_ip.empty() ? korvel::Ipv4() : korvel::Ipv4(m_dest_ip);
  socket_config.segmentation_offload = m_sndr_cfg.batch_send && m_sndr_cfg.segmentation_offload;

  // Refuses configurations that cannot be sent (no pixels, no fixed pixel
  // size, no pixel room, too many packets) before anything is built.
  const PacketGeometry geometry = ComputePacketGeometry(new_px_pr_sample, m_bpp, m_sndr_cfg.mtu_size);
  m_nb_of_udp_packets = static_cast<int>(geometry.packets_per_sample);
  VESK_LOG_INFO_P("{}: m_bpp: {}, m_nb_of_udp_packets={}, new_px_pr_sampl={}, m_sndr_cfg.mtu_size={}",
                  static_cast<int>(m_bpp), m_nb_of_udp_packets, new_px_pr_sample, m_sndr_cfg.mtu_size);

  korvel::dunmo::Sender::Config packet_config;
  packet_config.topic_id = m_sndr_cfg.topic_id;
  packet_config.component_id = m_sndr_cfg.component_id;
  packet_config.packets_per_sample = static_cast<std::uint16_t>(m_nb_of_udp_packets);
  packet_config.protocol_version = 1;

  if (m_sndr_cfg.ext_info_size != 0 && m_sndr_cfg.ext_info_size != kExtInfoBlockSize) {
    throw std::invalid_argument(
        fmt::format("supported extended info size for leader packets are 0 and {}", kExtInfoBlockSize));
  }
  const std::vector<std::byte> pixel_pattern(static_cast<std::size_t>(m_bpp), kPixelPatternByte);
  korvel::vesk::Sender::Config protocol_config;
  protocol_config.protocol_option = m_sndr_cfg.protocol_option;
  protocol_config.max_ext_info_size = kExtInfoBlockSize;
  protocol_config.ext_info_size = static_cast<std::uint8_t>(m_sndr_cfg.ext_info_size);
  protocol_config.pixels_per_sample = new_px_pr_sample;
  protocol_config.pixel_pattern = gsl::span<const std::byte>(pixel_pattern.data(), pixel_pattern.size());
  protocol_config.payload_room = static_cast<std::uint32_t>(geometry.payload_bytes_per_packet);
  // Receivers compare it with the type they are configured for.
  protocol_config.pixel_type = static_cast<std::uint32_t>(m_data_type);

  // A rebuild drops the old stack top-down before the new one is made, so no
  // layer ever refers to a destroyed one.
  m_vesk_sender.reset();
  m_dunmo_sender.reset();
  m_udp_socket.reset();
  m_udp_socket = std::make_unique<korvel::UdpTxSocket>(socket_config, nullptr);
  m_dunmo_sender = std::make_unique<korvel::dunmo::Sender>(packet_config, *m_udp_socket, nullptr);
  m_vesk_sender = std::make_unique<korvel::vesk::Sender>(protocol_config, *m_dunmo_sender);
  m_current_pixels_per_sample = new_px_pr_sample;
}

void VeskSender::SendSample(const SampleExtInfo& ext_info, const std::vector<unsigned char>& sample) {
  VESK_TRACE_SCOPE();
  VESK_DEBUG_PRINT("sample_payload.size()={} bytes", sample.size());

  // One time for every payload of the sample; leader and trailer read their own.
  const chronel::Chronel::time_point payload_time = chronel::Chronel::now();
  korvel::TxSlotArray slots{};

  Initialise(ext_info);

  // With a rate limit, each send is followed by a pause until the bytes sent
  // since the sample began are due at that rate (absolute deadlines, so a
  // late pause never accumulates drift).
  const ketra::fnd::Pacer pacer;
  std::uint64_t paced_bytes = 0;
  auto pace = [&](std::size_t bytes) {
    if (m_sndr_cfg.rate_limit == 0) return;
    paced_bytes += bytes;
    pacer.PauseUntil(
        ketra::fnd::Pacer::Seconds(static_cast<double>(paced_bytes) / static_cast<double>(m_sndr_cfg.rate_limit)));
  };
  VESK_DEBUG_PRINT("Sending leader packet ...");
  {
    auto leader = korvel::MakeTxIovsBuilder(slots);
    if (m_sndr_cfg.ext_info_size != 0) {
      // The record's own 8 bytes are its serialised form: no copy is made.
      leader.Append(gsl::span<const std::byte>(reinterpret_cast<const std::byte*>(&ext_info), kExtInfoBlockSize));
    }
    ThrowOnSendError(
        m_vesk_sender->SendLeaderPacket(std::move(leader), chronel::Chronel::now(), std::nullopt, std::nullopt),
        "Error sending VESK Leader Packet: ");
  }
  VESK_DEBUG_PRINT("Sent Leader Packet");
  pace(korvel::wire::kHeadersSize + m_sndr_cfg.ext_info_size);

  std::size_t remaining = sample.size();
  const auto* position = reinterpret_cast<const std::byte*>(sample.data());
  std::size_t pixels_per_pkt = 0;
  if (m_nb_of_udp_packets > 2) {
    pixels_per_pkt = static_cast<std::size_t>((m_sndr_cfg.mtu_size - kHeaderRoom) / m_bpp);
    VESK_DEBUG_PRINT("pixels per sample = {}, pixels_per_pkt={} nb of udp packets {}", m_pixels_per_sample,
                     pixels_per_pkt, m_nb_of_udp_packets);
  }
  const std::size_t bytes_per_pkt = pixels_per_pkt * static_cast<std::size_t>(m_bpp);
  const auto payload_packets = static_cast<std::size_t>(m_nb_of_udp_packets - 2);
  // A short sample gives shorter, then empty, payloads; the count never changes.
  auto next_chunk = [&]() {
    const std::size_t chunk = std::min(remaining, bytes_per_pkt);
    const gsl::span<const std::byte> body(position, chunk);
    position += chunk;
    remaining -= chunk;
    return body;
  };
  if (m_sndr_cfg.batch_send) {
    const std::size_t per_batch = PacketsPerBatch(m_sndr_cfg.rate_limit, korvel::wire::kHeadersSize + bytes_per_pkt);
    std::array<gsl::span<const std::byte>, korvel::dunmo::Sender::kBatchCapacity> bodies{};
    for (std::size_t done = 0; done < payload_packets;) {
      const std::size_t count = std::min(per_batch, payload_packets - done);
      std::size_t batch_bytes = 0;
      for (std::size_t i = 0; i < count; ++i) {
        bodies[i] = next_chunk();
        batch_bytes += korvel::wire::kHeadersSize + bodies[i].size();
      }
      std::size_t sent = 0;
      ThrowOnSendError(m_vesk_sender->SendPayloadBatch(bodies.data(), count, payload_time, 0, std::nullopt, 0,
                                                       m_sndr_cfg.segmentation_offload, sent),
                       "Error sending VESK Payload Packet: ");
      done += count;
      pace(batch_bytes);
    }
  } else {
    for (std::size_t i = 0; i < payload_packets; ++i) {
      VESK_DEBUG_PRINT("Sending samples: i={}", i);
      auto payload = korvel::MakeTxIovsBuilder(slots);
      const gsl::span<const std::byte> body = next_chunk();
      payload.Append(body);
      ThrowOnSendError(m_vesk_sender->SendPayloadPacket(std::move(payload), payload_time, 0, std::nullopt, 0),
                       "Error sending VESK Payload Packet: ");
      pace(korvel::wire::kHeadersSize + body.size());
    }
  }

  VESK_DEBUG_PRINT("Sending trailer packet ...");
  ThrowOnSendError(m_vesk_sender->SendTrailerPacket(korvel::MakeTxIovsBuilder(slots), chronel::Chronel::now(),
                                                    std::nullopt, std::nullopt),
                   "Error sending VESK Trailer Packet: ");
}

int VeskSender::GetPixelsPerSample() const {
  VESK_TRACE_SCOPE();
  return m_pixels_per_sample;
}

int VeskSender::GetBytesPerPixel() const {
  return m_bpp;
}

}  // namespace ketra::vesktools::vesklib_korvel
