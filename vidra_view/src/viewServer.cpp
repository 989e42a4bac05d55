#include <vidra_view/ViewServer.hpp>

#include <vidra_view/Log.hpp>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <fmt/format.h>

#include <optional>

namespace ketra::vesktools::vidra_view {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr std::size_t kMaxRequestBytes = 8192;
constexpr std::size_t kMaxClientMessage = 256;
constexpr std::chrono::seconds kRequestTimeout{30};

}  // namespace

// One WebSocket client: reads its requests for frames, writes one message at
// a time (the newest status first, then the newest frame it asked for).
class WsSession : public std::enable_shared_from_this<WsSession> {
 public:
  WsSession(beast::tcp_stream stream, ViewServer& server)
      : m_ws(std::move(stream)), m_server(server), m_timer(m_ws.get_executor()) {}

  ClientId Id() const { return m_id; }
  void SetId(ClientId id) { m_id = id; }

  void Start(http::request<http::string_body> request) {
    m_ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    m_ws.read_message_max(kMaxClientMessage);
    m_ws.async_accept(request, [self = shared_from_this()](beast::error_code error) {
      if (error) {
        return self->Fail("handshake", error);
      }
      self->m_open = true;
      self->QueueStatus(self->m_server.Status());
      self->Read();
    });
  }

  void QueueStatus(const std::string& status) {
    if (status.empty()) {
      return;
    }
    m_pending_status = status;
    Send();
  }

  // Writes the next message when none is in flight. Nothing is written
  // before the handshake has completed: its answer is a write of its own.
  void Send() {
    if (!m_open || m_writing || m_closed) {
      return;
    }
    if (m_pending_status) {
      m_status_text = std::move(*m_pending_status);
      m_pending_status.reset();
      m_ws.text(true);
      Write(asio::buffer(m_status_text));
      return;
    }
    m_frame = m_server.Take(m_id);
    if (m_frame) {
      m_ws.binary(true);
      Write(asio::buffer(m_frame->message));
    }
  }

 private:
  void Write(asio::const_buffer buffer) {
    m_writing = true;
    m_timer.expires_after(m_server.Settings().write_timeout);
    m_timer.async_wait([weak = weak_from_this()](beast::error_code error) {
      if (auto self = weak.lock(); self && !error) {
        LogLine(fmt::format("client {} takes too long to receive a message; dropped", self->m_id));
        beast::get_lowest_layer(self->m_ws).socket().close(error);
      }
    });
    m_ws.async_write(buffer, [self = shared_from_this()](beast::error_code error, std::size_t) {
      self->m_timer.cancel();
      self->m_writing = false;
      self->m_frame.reset();
      if (error) {
        return self->Fail("write", error);
      }
      self->Send();
    });
  }

  void Read() {
    m_ws.async_read(m_in, [self = shared_from_this()](beast::error_code error, std::size_t) {
      if (error) {
        return self->Fail("read", error);
      }
      const std::string text = beast::buffers_to_string(self->m_in.data());
      self->m_in.consume(self->m_in.size());
      if (text == "next") {
        self->m_server.Ready(self->m_id);
      }
      self->Read();
    });
  }

  void Fail(const char* what, beast::error_code error) {
    if (m_closed) {
      return;
    }
    m_closed = true;
    if (error != websocket::error::closed && error != asio::error::operation_aborted) {
      LogLine(fmt::format("client {} dropped ({}: {})", m_id, what, error.message()));
    }
    m_server.Remove(m_id);
    beast::error_code ignored;
    beast::get_lowest_layer(m_ws).socket().close(ignored);
  }

  websocket::stream<beast::tcp_stream> m_ws;
  ViewServer& m_server;
  asio::steady_timer m_timer;
  ClientId m_id = 0;
  beast::flat_buffer m_in;
  bool m_open = false;  // handshake completed
  bool m_writing = false;
  bool m_closed = false;
  std::optional<std::string> m_pending_status;
  std::string m_status_text;
  std::shared_ptr<const Frame> m_frame;  // kept alive while it is written
};

namespace {

// One HTTP connection: serves files, or hands the socket to a WsSession.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket, ViewServer& server) : m_stream(std::move(socket)), m_server(server) {}

  void Read() {
    m_parser.emplace();
    m_parser->body_limit(kMaxRequestBytes);
    m_parser->header_limit(kMaxRequestBytes);
    m_stream.expires_after(kRequestTimeout);
    http::async_read(m_stream, m_buffer, *m_parser, [self = shared_from_this()](beast::error_code error, std::size_t) {
      if (!error) {
        self->Handle(self->m_parser->release());
      }
    });
  }

 private:
  void Handle(http::request<http::string_body> request) {
    if (websocket::is_upgrade(request)) {
      if (request.target() != "/ws") {
        return Respond(Plain(request, http::status::not_found, "no such WebSocket\n"));
      }
      if (!m_server.HasRoom()) {
        LogLine("refused a client: the client limit is reached");
        return Respond(Plain(request, http::status::service_unavailable, "too many viewers\n"));
      }
      m_stream.expires_never();
      auto session = std::make_shared<WsSession>(std::move(m_stream), m_server);
      m_server.Admit(session);
      session->Start(std::move(request));
      return;
    }
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
      return Respond(Plain(request, http::status::method_not_allowed, "GET only\n"));
    }
    std::string_view target(request.target().data(), request.target().size());
    target = target.substr(0, target.find('?'));
    const WebFile* file = m_server.FindFile(target == "/" ? "/index.html" : target);
    if (file == nullptr) {
      return Respond(Plain(request, http::status::not_found, "not found\n"));
    }
    http::response<http::string_body> response{http::status::ok, request.version()};
    response.set(http::field::content_type, std::string(file->content_type));
    response.set(http::field::cache_control, "no-store");
    response.keep_alive(request.keep_alive());
    if (request.method() == http::verb::get) {
      response.body() = std::string(file->body);
    }
    response.content_length(file->body.size());
    Respond(std::move(response));
  }

  static http::response<http::string_body> Plain(const http::request<http::string_body>& request, http::status status,
                                                 std::string body) {
    http::response<http::string_body> response{status, request.version()};
    response.set(http::field::content_type, "text/plain");
    response.keep_alive(false);
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
  }

  void Respond(http::response<http::string_body> response) {
    auto shared = std::make_shared<http::response<http::string_body>>(std::move(response));
    http::async_write(m_stream, *shared, [self = shared_from_this(), shared](beast::error_code error, std::size_t) {
      if (!error && shared->keep_alive()) {
        self->Read();
        return;
      }
      beast::error_code ignored;
      self->m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    });
  }

  beast::tcp_stream m_stream;
  ViewServer& m_server;
  beast::flat_buffer m_buffer;
  std::optional<http::request_parser<http::string_body>> m_parser;
};

}  // namespace

ViewServer::ViewServer(asio::io_context& io, const tcp::endpoint& endpoint, ServerSettings settings)
    : m_io(io), m_acceptor(io, endpoint), m_settings(std::move(settings)), m_delivery(m_settings.max_clients) {
  Accept();
}

ViewServer::~ViewServer() = default;

std::uint16_t ViewServer::Port() const {
  return m_acceptor.local_endpoint().port();
}

void ViewServer::Accept() {
  m_acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
    if (error == asio::error::operation_aborted) {
      return;
    }
    if (!error) {
      std::make_shared<HttpSession>(std::move(socket), *this)->Read();
    }
    Accept();
  });
}

const WebFile* ViewServer::FindFile(std::string_view target) const {
  for (const WebFile& file : m_settings.files) {
    if (file.path == target) {
      return &file;
    }
  }
  return nullptr;
}

bool ViewServer::Admit(std::shared_ptr<WsSession> session) {
  const auto id = m_delivery.Add();
  if (!id) {
    return false;
  }
  session->SetId(*id);
  m_sessions.emplace(*id, session);
  LogLine(fmt::format("client {} connected ({} now)", *id, m_delivery.Clients()));
  return true;
}

void ViewServer::Remove(ClientId client) {
  m_delivery.Remove(client);
  m_sessions.erase(client);
}

void ViewServer::Ready(ClientId client) {
  m_delivery.Ready(client);
  if (const auto found = m_sessions.find(client); found != m_sessions.end()) {
    if (auto session = found->second.lock()) {
      session->Send();
    }
  }
}

void ViewServer::Publish(std::shared_ptr<const Frame> frame) {
  asio::post(m_io, [this, frame = std::move(frame)]() mutable {
    for (const ClientId client : m_delivery.Publish(std::move(frame))) {
      if (auto session = m_sessions[client].lock()) {
        session->Send();
      }
    }
  });
}

void ViewServer::SetStatus(const std::string& state, const std::string& message) {
  asio::post(m_io, [this, text = StatusMessage(state, message)] {
    m_status = text;
    for (auto& [client, weak] : m_sessions) {
      if (auto session = weak.lock()) {
        session->QueueStatus(m_status);
      }
    }
  });
}

}  // namespace ketra::vesktools::vidra_view
