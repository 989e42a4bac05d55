#include <korvel/dunmo/Sender.hpp>

#include <sys/uio.h>

namespace korvel::dunmo {

namespace {

std::uint32_t InitialSampleId(std::uint32_t first) noexcept {
  // The id before the first sample: the first leader advances to `first`
  // (1 when not configured).
  return (first == 0 ? 1u : first) - 1u;
}

}  // namespace

Sender::Sender(const Config& config, TxSocket& socket, std::pmr::memory_resource* memory)
    : m_config(config),
      m_socket(socket),
      m_sample_id(InitialSampleId(config.first_sample_id)),
      m_batch_headers(kBatchCapacity * kBatchHeaderStride, memory ? memory : std::pmr::get_default_resource()),
      m_batch_iovs(2 * kBatchCapacity, memory ? memory : std::pmr::get_default_resource()),
      m_batch_messages(kBatchCapacity, memory ? memory : std::pmr::get_default_resource()) {
  using namespace wire;
  StoreBe32(&m_header[kMagicOffset], kDunmoMagic);
  m_header[kVersionOffset] = std::byte{config.protocol_version == 0 ? kDunmoVersion : config.protocol_version};
  StoreBe16(&m_header[kComponentIdOffset], config.component_id);
  StoreBe32(&m_header[kTopicIdOffset], static_cast<std::uint32_t>(config.topic_id));
  StoreBe16(&m_header[kPacketCountOffset], config.packets_per_sample);
}

std::error_code Sender::Send(detail::IovsBuilder<const std::byte>& iovs, bool starts_sample,
                             std::optional<chronel::Chronel::time_point> timestamp) noexcept {
  using namespace wire;
  if (starts_sample) {
    ++m_sample_id;
    if (m_sample_id == 0) m_sample_id = 1;  // 0 never names a sample
    m_packet_index = 0;
  }
  const std::uint16_t index = m_packet_index++;

  // Gather: this header, the upper layers' header slots, the caller's slots.
  iovec vec[kTxSlots];
  std::size_t count = 0;
  vec[count++] = {m_header.data(), m_header.size()};
  std::size_t header_bytes = m_header.size();
  std::size_t total = m_header.size();
  for (std::size_t i = 1; i < iovs.NextFreeSlot() && i < kTxSlots; ++i) {
    const auto& slot = iovs.Slot(i);
    if (slot.empty()) continue;
    vec[count++] = {const_cast<std::byte*>(slot.data()), slot.size()};
    if (i < iovs.FirstCallerSlot()) header_bytes += slot.size();
    total += slot.size();
  }
  iovs.SetHeaderSlot(0, gsl::span<const std::byte>(m_header.data(), m_header.size()));

  m_header[kHeaderSizeOffset] = std::byte{static_cast<std::uint8_t>(header_bytes)};
  StoreBe32(&m_header[kSampleIdOffset], m_sample_id);
  StoreBe16(&m_header[kPacketIndexOffset], index);
  const std::int64_t ns = timestamp ? timestamp->time_since_epoch().count() : kNoTimestamp;
  StoreBe64(&m_header[kTimestampOffset], static_cast<std::uint64_t>(ns));

  const std::error_code error = m_socket.Send(vec, count);
  if (!error && m_config.on_packet_sent) m_config.on_packet_sent(SentPacketInfo{m_sample_id, index, total});
  return error;
}

}  // namespace korvel::dunmo
