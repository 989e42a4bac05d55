#pragma once
// Packet layer, receiving side: one recvmsg per datagram, headers into a
// packet buffer of this layer's pool, the rest straight into the caller's
// slots. Checks magic, version and topic.

#include <korvel/RxErrc.hpp>
#include <korvel/RxStats.hpp>
#include <korvel/Socket.hpp>
#include <korvel/detail/IovsBuilder.hpp>
#include <korvel/wire/Header.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <gsl/span>
#include <memory>
#include <memory_resource>
#include <system_error>
#include <utility>
#include <vector>

namespace korvel::dunmo {

class Receiver {
 public:
  struct Config {
    std::int32_t topic_id = 0;
    std::uint16_t packets_per_sample = 0;  // expected N (sizes internal state only)
    std::uint8_t options = 0;              // receive options (0: defaults)
  };

  // Header bytes of one received datagram. `data` points at the dunmo header
  // followed by the upper layer's header (`header_size` bytes in all).
  struct Packet {
    const std::byte* data = nullptr;
    std::size_t header_size = 0;
    std::size_t payload_size = 0;   // bytes that landed in the caller's slots
    bool truncated = false;         // datagram was larger than the slots
    std::size_t datagram_size = 0;  // the datagram's full length
    Receiver* owner = nullptr;
    std::uint32_t pool_index = 0;
    static constexpr std::size_t kStorage = 96;  // header room, also holds a kept ext info block
    alignas(8) std::array<std::byte, kStorage> storage{};

    // Ready for the next datagram: data at the start of the storage, sizes cleared.
    void Clear() noexcept {
      data = storage.data();
      header_size = 0;
      payload_size = 0;
      truncated = false;
      datagram_size = 0;
    }
  };

  // Gives a packet back to its receiver's pool.
  struct PacketDeleter {
    void operator()(const Packet* packet) const noexcept;
  };
  using PacketPtr = std::unique_ptr<const Packet, PacketDeleter>;

  struct Result {
    std::error_code error;
    PacketPtr packet;  // empty with a zero error: nothing arrived in time
  };

  Receiver(const Config& config, RxSocket& socket, std::pmr::memory_resource* memory);
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver();

  // Number of packet buffers in the pool made at construction.
  static constexpr std::uint32_t kPoolSize = 16;

  // Receives one datagram of this topic. Slot 0 is set to a packet buffer
  // taking kDunmoHeaderSize + `upper_header_size` bytes; caller slots follow,
  // then the rest of the packet buffer's storage, which catches up to
  // kStorage - header bytes beyond the caller's slots (e.g. a leader's ext
  // info block arriving where no slot was given). `truncated` tells whether
  // the datagram was longer than header and caller slots; a truncated
  // datagram of this topic gives std::errc::message_size with the packet.
  // A datagram that is not this protocol or not this topic gives RxErrc::Retry
  // (with the packet, so the caller may inspect it, when its headers are whole).
  Result Receive(detail::IovsBuilder<std::byte>& iovs, std::size_t upper_header_size,
                 std::chrono::nanoseconds timeout) noexcept;

  // A packet buffer taken from the pool for the caller's own use (e.g. to keep
  // a copy of a packet); empty when none is free.
  PacketPtr Acquire() noexcept;

  // Option bit: one datagram per receive call, never a batch.
  static constexpr std::uint8_t kOptionNoBatch = 0x01;
  bool BatchingEnabled() const noexcept { return (m_config.options & kOptionNoBatch) == 0; }
  // Option bit for whoever opens the socket: do not ask the kernel to join
  // datagrams (UDP GRO). This layer itself follows the socket's Coalesces().
  static constexpr std::uint8_t kOptionNoCoalesce = 0x02;
  // Datagrams one batch takes at most; its packet buffers come from a pool of
  // their own.
  static constexpr std::size_t kMaxBatch = 64;

  // Batch receive: takes up to bodies.size() datagrams (fewer when fewer
  // batch buffers are free) with as few system calls as the socket allows.
  // Message i scatters its headers (kDunmoHeaderSize + `upper_header_size`
  // bytes) into a batch packet buffer, its body into bodies[i], the rest into
  // that buffer's spare storage. Datagrams already received and waiting
  // (HasDeferred) are handed out first, without reading the socket. Returns
  // one result per datagram that arrived, in order, each what Receive gives
  // for it (this layer's checks; the body stays where it landed, bodies[i]);
  // empty: nothing in time, or `error` set. The caller may move the results
  // out, then ends the batch with EndBatch before receiving again.
  gsl::span<Result> ReceiveBatch(gsl::span<const gsl::span<std::byte>> bodies, std::size_t upper_header_size,
                                 std::chrono::nanoseconds timeout, std::error_code& error) noexcept;
  // Ends the batch last received: its first `consumed` results were taken
  // (counted now, as Receive counts what it returns); the datagrams of the
  // others are returned first by the following receives, in order, as if
  // they were still queued in the socket (their bytes are copied aside when
  // they came straight from the socket). The results from `consumed` on must
  // be left untouched.
  void EndBatch(std::size_t consumed) noexcept;
  // Whether received datagrams wait to be returned before the socket is read.
  bool HasDeferred() const noexcept { return m_deferred_next < m_deferred.size(); }

  // Buffers of joined datagrams one read of a coalescing socket takes.
  static constexpr std::size_t kStageBuffers = 8;

  const Config& GetConfig() const noexcept { return m_config; }
  RxStats& Stats() noexcept { return m_stats; }
  const RxStats& Stats() const noexcept { return m_stats; }

 private:
  friend struct PacketDeleter;
  void Release(const Packet* packet) noexcept;

  // What this layer's checks make of one datagram.
  enum class Verdict : std::uint8_t { kForeign, kOtherTopic, kTruncated, kAccepted };
  // The checks of a datagram whose headers landed in `packet`, shared by
  // single and batch receives; sets the packet's sizes once its headers are
  // whole. Counts nothing.
  Verdict Check(Packet& packet, const RxDatagram& got, std::size_t header, std::size_t caller_capacity) const noexcept;
  // The counter a verdict adds to, when its datagram is returned.
  void Count(Verdict verdict) noexcept;
  // The result for a verdict; a foreign datagram's packet goes back.
  static Result ResultOf(Verdict verdict, PacketPtr handle) noexcept;
  // Check, Count and ResultOf of a single receive.
  Result Finish(PacketPtr handle, const RxDatagram& got, std::size_t header, std::size_t caller_capacity) noexcept;
  // Returns the next deferred datagram scattered into `vec` as a socket would.
  bool ReplayDeferred(const iovec* vec, std::size_t count, RxDatagram& got) noexcept;
  // Reads a coalescing socket into the stage buffers and queues every
  // datagram found there as deferred. False: nothing in time, or `error`.
  bool ReadCoalesced(std::chrono::nanoseconds timeout, std::error_code& error) noexcept;
  // Batch receive from a coalescing socket: fills messages[0 ...] through
  // `vecs` (headers, body, spare of each) and returns how many arrived.
  using BatchVecs = std::array<std::array<iovec, 3>, kMaxBatch>;
  using BatchMessages = std::array<RxMessage, kMaxBatch>;
  std::size_t ReceiveJoined(gsl::span<const gsl::span<std::byte>> bodies, std::size_t header, std::size_t count,
                            const BatchVecs& vecs, BatchMessages& messages, std::chrono::nanoseconds timeout,
                            std::error_code& error) noexcept;
  // Queues the datagrams of a buffer scattered over `layout` that cannot stay
  // where they landed.
  void GatherJoined(const iovec* layout, std::size_t count, const RxDatagram& got) noexcept;
  void QueueDeferred(bool staged, std::size_t offset, std::size_t captured, std::size_t datagram_size) noexcept;
  // Queues the datagram(s) of a buffer held in the stage at `base`; returns
  // how many.
  std::size_t QueueStaged(std::size_t base, const RxDatagram& got) noexcept;

  Config m_config;
  RxSocket& m_socket;
  std::vector<Packet> m_pool;
  std::vector<std::uint32_t> m_free;
  RxStats m_stats;

  // The batch in progress: buffers, where each body went, what arrived, and
  // the verdict of the checks. `packet` holds the buffer while the result
  // does not (a foreign datagram, or one handed back at EndBatch).
  struct Batched {
    PacketPtr packet{nullptr};
    gsl::span<std::byte> body;
    RxDatagram got;
    Verdict verdict = Verdict::kForeign;
    std::size_t deferred_index = 0;  // its entry in m_deferred when the batch was served from there
  };
  // Messages `from` ... of the batch in progress, not taken: queued to be
  // returned first by the following receives.
  void DeferBatched(std::size_t from) noexcept;
  std::vector<Packet> m_batch_pool;
  std::vector<std::uint32_t> m_batch_free;
  std::vector<Batched> m_batch;
  std::vector<Result> m_batch_results;  // kMaxBatch, the span ReceiveBatch returns
  std::size_t m_batch_received = 0;     // results of the batch in progress, until EndBatch
  std::size_t m_batch_header = 0;
  bool m_batch_from_deferred = false;
  // Datagrams received but not yet returned, in arrival order: their leading
  // bytes, either copied back to back into m_deferred_bytes or still in the
  // stage buffers where a coalescing socket put them.
  struct Deferred {
    bool staged = false;
    std::size_t offset = 0;
    std::size_t captured = 0;
    std::size_t datagram_size = 0;
    bool dropped = false;  // could not be returned whole: counted once as truncated
  };
  std::vector<std::byte> m_deferred_bytes;
  std::vector<Deferred> m_deferred;
  std::size_t m_deferred_next = 0;
  std::vector<std::byte> m_stage;  // kStageBuffers x kMaxCoalescedBytes, only for a coalescing socket
};

}  // namespace korvel::dunmo
