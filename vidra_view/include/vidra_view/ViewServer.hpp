#pragma once
// The HTTP and WebSocket server of the viewer: serves the page's files and
// sends each WebSocket client the newest frame whenever it asks for one, plus
// the reader's state. Runs on one I/O thread; Publish and SetStatus may be
// called from any thread.

#include <vidra_view/FrameMessage.hpp>
#include <vidra_view/LatestDelivery.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace ketra::vesktools::vidra_view {

struct WebFile {
  std::string_view path;  // e.g. "/index.html"
  std::string_view content_type;
  std::string_view body;
};

struct ServerSettings {
  std::size_t max_clients = 16;
  std::chrono::milliseconds write_timeout{10000};  // a client that takes longer for one message is dropped
  std::vector<WebFile> files;
};

class WsSession;

class ViewServer {
 public:
  // Binds `endpoint` (throws boost::system::system_error when it cannot).
  ViewServer(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& endpoint, ServerSettings settings);
  ~ViewServer();
  ViewServer(const ViewServer&) = delete;
  ViewServer& operator=(const ViewServer&) = delete;

  std::uint16_t Port() const;
  void Publish(std::shared_ptr<const Frame> frame);
  void SetStatus(const std::string& state, const std::string& message);

  // Used by the sessions on the I/O thread.
  const WebFile* FindFile(std::string_view target) const;
  bool HasRoom() const { return m_delivery.Clients() < m_settings.max_clients; }
  bool Admit(std::shared_ptr<WsSession> session);
  void Remove(ClientId client);
  void Ready(ClientId client);
  std::shared_ptr<const Frame> Take(ClientId client) { return m_delivery.Take(client); }
  const std::string& Status() const { return m_status; }
  const ServerSettings& Settings() const { return m_settings; }

 private:
  void Accept();

  boost::asio::io_context& m_io;
  boost::asio::ip::tcp::acceptor m_acceptor;
  ServerSettings m_settings;
  LatestDelivery m_delivery;
  std::map<ClientId, std::weak_ptr<WsSession>> m_sessions;
  std::string m_status;
};

}  // namespace ketra::vesktools::vidra_view
