#include <korvel/dunmo/Receiver.hpp>

#include <sys/uio.h>

namespace korvel::dunmo {

void Receiver::PacketDeleter::operator()(const Packet* packet) const noexcept {
  if (packet != nullptr && packet->owner != nullptr) packet->owner->Release(packet);
}

Receiver::Receiver(const Config& config, RxSocket& socket, std::pmr::memory_resource* /*memory*/)
    : m_config(config), m_socket(socket), m_pool(kPoolSize), m_batch_pool(kMaxBatch) {
  m_free.reserve(kPoolSize);
  for (std::uint32_t i = 0; i < kPoolSize; ++i) {
    m_pool[i].owner = this;
    m_pool[i].pool_index = i;
    m_free.push_back(kPoolSize - 1 - i);
  }
  // Batch buffers are numbered after the main pool's.
  m_batch_free.reserve(kMaxBatch);
  for (std::uint32_t i = 0; i < kMaxBatch; ++i) {
    m_batch_pool[i].owner = this;
    m_batch_pool[i].pool_index = kPoolSize + i;
    m_batch_free.push_back(static_cast<std::uint32_t>(kMaxBatch) - 1 - i);
  }
  m_batch.resize(kMaxBatch);
  m_batch_results.resize(kMaxBatch);
  m_deferred.reserve(kMaxBatch);
  if (m_socket.Coalesces()) {
    m_stage.resize(kStageBuffers * RxSocket::kMaxCoalescedBytes);
    // A joined buffer holds at most 64 datagrams on current kernels; room
    // for more is only taken when a foreign sender joins tinier ones.
    m_deferred.reserve(kStageBuffers * 64);
  }
}

Receiver::~Receiver() = default;

Receiver::PacketPtr Receiver::Acquire() noexcept {
  if (m_free.empty()) return PacketPtr(nullptr);
  Packet& packet = m_pool[m_free.back()];
  m_free.pop_back();
  packet.Clear();
  return PacketPtr(&packet);
}

void Receiver::Release(const Packet* packet) noexcept {
  // The free lists were reserved for their whole pools: push_back never
  // allocates here.
  if (packet->pool_index >= kPoolSize) {
    m_batch_free.push_back(packet->pool_index - kPoolSize);
  } else {
    m_free.push_back(packet->pool_index);
  }
}

Receiver::Result Receiver::Receive(detail::IovsBuilder<std::byte>& iovs, std::size_t upper_header_size,
                                   std::chrono::nanoseconds timeout) noexcept {
  using namespace wire;
  const std::size_t header = kDunmoHeaderSize + upper_header_size;
  if (header > Packet::kStorage) return {std::make_error_code(std::errc::invalid_argument), PacketPtr(nullptr)};
  PacketPtr handle = Acquire();
  if (!handle) return {make_error_code(RxErrc::NoPacketBuffer), PacketPtr(nullptr)};
  // The pool's packets are owned here; the handle only hands them out as const.
  Packet& packet = m_pool[handle->pool_index];

  iovec vec[kRxSlots + 1];
  std::size_t count = 0;
  vec[count++] = {packet.storage.data(), header};
  std::size_t caller_capacity = 0;
  for (std::size_t i = iovs.FirstCallerSlot(); i < iovs.NextFreeSlot() && i < kRxSlots; ++i) {
    const auto& slot = iovs.Slot(i);
    if (slot.empty()) continue;
    vec[count++] = {slot.data(), slot.size()};
    caller_capacity += slot.size();
  }
  vec[count++] = {packet.storage.data() + header, Packet::kStorage - header};
  iovs.SetHeaderSlot(0, gsl::span<std::byte>(packet.storage.data(), header));

  RxDatagram got;
  if (!ReplayDeferred(vec, count, got)) {
    if (!m_stage.empty()) {
      std::error_code error;
      if (!ReadCoalesced(timeout, error)) return {error, PacketPtr(nullptr)};
      if (!ReplayDeferred(vec, count, got)) return {{}, PacketPtr(nullptr)};
      return Finish(std::move(handle), got, header, caller_capacity);
    }
    const std::error_code error = m_socket.Receive(vec, count, timeout, got);
    if (error) return {error, PacketPtr(nullptr)};
    if (!got.received) return {{}, PacketPtr(nullptr)};
    m_stats.datagrams.Add();
  }
  return Finish(std::move(handle), got, header, caller_capacity);
}

Receiver::Verdict Receiver::Check(Packet& packet, const RxDatagram& got, std::size_t header,
                                  std::size_t caller_capacity) const noexcept {
  using namespace wire;
  const std::size_t full = got.datagram_size > got.bytes ? got.datagram_size : got.bytes;
  const HeaderView h(packet.storage.data());
  if (got.bytes < header || h.Magic() != kDunmoMagic || h.Version() != kDunmoVersion || h.HeaderSize() != header) {
    return Verdict::kForeign;
  }
  packet.header_size = header;
  packet.datagram_size = full;
  const std::size_t after_headers = got.bytes - header;
  packet.payload_size = after_headers < caller_capacity ? after_headers : caller_capacity;
  packet.truncated = got.truncated || full - header > caller_capacity;

  if (h.TopicId() != m_config.topic_id) return Verdict::kOtherTopic;
  if (packet.truncated) return Verdict::kTruncated;
  return Verdict::kAccepted;
}

void Receiver::Count(Verdict verdict) noexcept {
  if (verdict == Verdict::kForeign) m_stats.skipped_foreign.Add();
  if (verdict == Verdict::kOtherTopic) m_stats.skipped_other_topic.Add();
}

Receiver::Result Receiver::ResultOf(Verdict verdict, PacketPtr handle) noexcept {
  switch (verdict) {
    case Verdict::kForeign:
      return {make_error_code(RxErrc::Retry), PacketPtr(nullptr)};
    case Verdict::kOtherTopic:
      return {make_error_code(RxErrc::Retry), std::move(handle)};
    case Verdict::kTruncated:
      return {std::make_error_code(std::errc::message_size), std::move(handle)};
    case Verdict::kAccepted:
      break;
  }
  return {{}, std::move(handle)};
}

Receiver::Result Receiver::Finish(PacketPtr handle, const RxDatagram& got, std::size_t header,
                                  std::size_t caller_capacity) noexcept {
  Packet& packet =
      handle->pool_index >= kPoolSize ? m_batch_pool[handle->pool_index - kPoolSize] : m_pool[handle->pool_index];
  const Verdict verdict = Check(packet, got, header, caller_capacity);
  Count(verdict);
  return ResultOf(verdict, std::move(handle));
}

}  // namespace korvel::dunmo
