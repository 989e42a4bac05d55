#pragma once
// A UDP relay that sits between a sender and a receiver and impairs the
// datagrams it forwards as an Impairer decides. Usable in-process (Start and
// Stop run it on a thread of its own) or on the caller's thread (Run).

#include <ketra/fnd/posix/UniqueFd.hpp>
#include <vesk_impair/Impairer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ketra::vesktools::impair {

// What the relay did so far.
struct RelayCounts {
  std::uint64_t received = 0;   // datagrams read from the listening socket
  std::uint64_t forwarded = 0;  // datagrams sent on (duplicates included)
  std::uint64_t dropped = 0;
  std::uint64_t duplicated = 0;
  std::uint64_t reordered = 0;
  std::uint64_t delayed = 0;
  std::uint64_t corrupted_header = 0;
  std::uint64_t corrupted_payload = 0;
  std::uint64_t truncated = 0;
  std::uint64_t send_failures = 0;
};

class ImpairRelay {
 public:
  // Binds `listen_address`:`listen_port` (port 0: a free one) and forwards to
  // `dest_address`:`dest_port`. Throws std::invalid_argument for a malformed
  // address or configuration, std::system_error when the socket cannot be
  // set up.
  ImpairRelay(const std::string& listen_address, std::uint16_t listen_port, const std::string& dest_address,
              std::uint16_t dest_port, const ImpairConfig& config);
  ~ImpairRelay();
  ImpairRelay(const ImpairRelay&) = delete;
  ImpairRelay& operator=(const ImpairRelay&) = delete;

  // Runs the relay on its own thread until Stop (or destruction).
  void Start();
  void Stop();
  // Runs the relay on the calling thread until `stop` becomes true; the flag
  // is looked at least every 20 ms.
  void Run(const std::atomic<bool>& stop);

  std::uint16_t ListenPort() const { return m_listen_port; }
  // While off, datagrams pass unchanged and are not counted against the
  // impairment decisions; datagrams already held back are still released.
  void SetImpairing(bool on) { m_impairing.store(on); }
  RelayCounts Counts() const;

  // While on, consecutive forwarded datagrams of one size (the last of a run
  // may be shorter) leave in one segmented send (UDP GSO), so that a receiver
  // asking for joined datagrams (UDP GRO) gets them joined, impairments
  // included. Where the kernel refuses, they leave one by one.
  void SetJoinForwarded(bool on) { m_join.store(on); }

 private:
  struct Held {
    std::vector<unsigned char> bytes;
    int copies = 1;
    std::size_t behind = 0;  // later datagrams still to pass before it
    std::chrono::steady_clock::time_point due{};
  };

  Impairer m_impairer;
  ketra::fnd::UniqueFd m_socket;
  std::uint16_t m_listen_port = 0;
  std::vector<unsigned char> m_dest_address;  // a sockaddr_in
  std::atomic<bool> m_impairing{true};
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
  std::uint64_t m_index = 0;
  std::deque<Held> m_held;     // reordered, waiting for later datagrams
  std::deque<Held> m_delayed;  // waiting for their time
  std::chrono::steady_clock::time_point m_last_arrival{};
  mutable std::mutex m_counts_mutex;
  RelayCounts m_counts;
  // Forwarded datagrams waiting to leave as one segmented send.
  std::atomic<bool> m_join{false};
  std::vector<unsigned char> m_joined;
  std::size_t m_joined_count = 0;
  std::size_t m_joined_segment = 0;
  bool m_joined_ended = false;  // a shorter datagram closed the run
  void Join(const std::vector<unsigned char>& datagram);
  void FlushJoined();
  void SendOne(const unsigned char* bytes, std::size_t size);

  void Process(std::vector<unsigned char>& datagram);
  void Send(const std::vector<unsigned char>& datagram, int copies);
  void PassedOne();
  void ReleaseDue(std::chrono::steady_clock::time_point now, bool idle);
  template <typename F>
  void Count(F f) {
    std::lock_guard<std::mutex> lock(m_counts_mutex);
    f(m_counts);
  }
};

}  // namespace ketra::vesktools::impair
