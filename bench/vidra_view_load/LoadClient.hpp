// A WebSocket client of vidra-view that asks for frames as fast as it gets
// them and counts them. Every wait is bounded.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace vidra_view_load {

class LoadClient {
 public:
  bool Connect(std::uint16_t port, std::chrono::milliseconds limit) {
    namespace beast = boost::beast;
    beast::error_code result = boost::asio::error::timed_out;
    beast::get_lowest_layer(m_ws).async_connect(
        boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port), [&](beast::error_code error) {
          if (error) {
            result = error;
            return;
          }
          m_ws.async_handshake("127.0.0.1", "/ws", [&](beast::error_code handshake) { result = handshake; });
        });
    Run(limit);
    return !result;
  }

  // Asks for the next frame and waits up to `limit` for it; status texts on
  // the way are skipped. The size of the frame's pixels, or nothing.
  std::optional<std::size_t> NextFrame(std::chrono::milliseconds limit) {
    namespace beast = boost::beast;
    std::optional<beast::error_code> sent;
    m_ws.text(true);
    m_ws.async_write(boost::asio::buffer(std::string_view("next")),
                     [&](beast::error_code error, std::size_t) { sent = error; });
    Run(limit);
    if (!sent || *sent) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      beast::flat_buffer buffer;
      std::optional<beast::error_code> result;
      m_ws.async_read(buffer, [&](beast::error_code error, std::size_t) { result = error; });
      Run(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
      if (!result || *result) return std::nullopt;
      if (m_ws.got_text()) continue;
      return PixelBytes(buffer);
    }
    return std::nullopt;
  }

 private:
  // A frame message: u32 little-endian header length, the header, padding
  // to 8 bytes, the pixels.
  static std::size_t PixelBytes(const boost::beast::flat_buffer& buffer) {
    const auto* bytes = static_cast<const unsigned char*>(buffer.data().data());
    const std::size_t size = buffer.data().size();
    if (size < 4) return 0;
    std::size_t length = 0;
    for (int i = 3; i >= 0; --i) length = (length << 8) | bytes[i];
    const std::size_t at = (4 + length + 7) / 8 * 8;
    return at <= size ? size - at : 0;
  }

  void Run(std::chrono::milliseconds limit) {
    m_io.restart();
    m_io.run_for(limit);
    if (!m_io.stopped()) {
      boost::beast::get_lowest_layer(m_ws).cancel();
      m_io.restart();
      m_io.run_for(std::chrono::milliseconds(1000));
    }
  }

  boost::asio::io_context m_io;
  boost::beast::websocket::stream<boost::beast::tcp_stream> m_ws{m_io};
};

}  // namespace vidra_view_load
