#include <vidra_view/LatestDelivery.hpp>

namespace ketra::vesktools::vidra_view {

std::optional<ClientId> LatestDelivery::Add() {
  if (m_clients.size() >= m_max_clients) {
    return std::nullopt;
  }
  const ClientId id = m_next_id++;
  m_clients.emplace(id, Client{});
  return id;
}

void LatestDelivery::Remove(ClientId client) {
  m_clients.erase(client);
}

std::vector<ClientId> LatestDelivery::Publish(std::shared_ptr<const Frame> frame) {
  m_newest = std::move(frame);
  ++m_number;
  std::vector<ClientId> waiting;
  for (const auto& [id, client] : m_clients) {
    if (client.ready) {
      waiting.push_back(id);
    }
  }
  return waiting;
}

void LatestDelivery::Ready(ClientId client) {
  const auto found = m_clients.find(client);
  if (found != m_clients.end()) {
    found->second.ready = true;
  }
}

std::shared_ptr<const Frame> LatestDelivery::Take(ClientId client) {
  const auto found = m_clients.find(client);
  if (found == m_clients.end() || !found->second.ready || m_newest == nullptr || found->second.sent == m_number) {
    return nullptr;
  }
  found->second.ready = false;
  found->second.sent = m_number;
  return m_newest;
}

}  // namespace ketra::vesktools::vidra_view
