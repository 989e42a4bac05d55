#pragma once
// Which client gets which frame: every client gets only the newest frame, and
// only after it has asked for one (it has drawn the previous). A client that
// is slow skips frames; nothing is kept per client but the number of the
// last frame it got, so memory does not grow with missed frames.
// Not thread-safe: used from the server's one I/O thread.

#include <vidra_view/FrameMessage.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace ketra::vesktools::vidra_view {

using ClientId = std::uint64_t;

class LatestDelivery {
 public:
  explicit LatestDelivery(std::size_t max_clients) : m_max_clients(max_clients) {}

  // A new client, or nothing when `max_clients` are connected already.
  std::optional<ClientId> Add();
  void Remove(ClientId client);
  std::size_t Clients() const { return m_clients.size(); }

  // Makes `frame` the newest; returns the clients waiting for a frame.
  std::vector<ClientId> Publish(std::shared_ptr<const Frame> frame);
  // The client asks for the next frame.
  void Ready(ClientId client);
  // The newest frame when `client` asked for one and has not had it yet
  // (then it is marked as served until it asks again), else null.
  std::shared_ptr<const Frame> Take(ClientId client);

 private:
  struct Client {
    std::uint64_t sent = 0;  // number of the last frame it got
    bool ready = false;
  };
  std::size_t m_max_clients;
  ClientId m_next_id = 1;
  std::map<ClientId, Client> m_clients;
  std::shared_ptr<const Frame> m_newest;
  std::uint64_t m_number = 0;  // number of m_newest; 0: none yet
};

}  // namespace ketra::vesktools::vidra_view
