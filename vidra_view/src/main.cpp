// vidra-view: serves a web page that shows the newest image of a VIDRA stream live.

#include <vidra_view/Log.hpp>
#include <vidra_view/StreamWatcher.hpp>
#include <vidra_view/ViewServer.hpp>

#include <vesk2vidra/BrokerUri.hpp>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/program_options.hpp>

#include <fmt/format.h>

#include <iostream>

#include "vidra_view_web_files.hpp"

namespace po = boost::program_options;
namespace asio = boost::asio;
using asio::ip::tcp;
using namespace ketra::vesktools::vidra_view;

namespace {

// "host:port" (host a name or address; "[v6]:port" for IPv6) to the first resolved endpoint.
tcp::endpoint ResolveListen(asio::io_context& io, const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
    throw std::invalid_argument(fmt::format("--listen '{}' is not HOST:PORT", text));
  }
  std::string host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  tcp::resolver resolver(io);
  const auto results = resolver.resolve(host, text.substr(colon + 1));
  if (results.empty()) {
    throw std::invalid_argument(fmt::format("--listen '{}' does not resolve", text));
  }
  return results.begin()->endpoint();
}

}  // namespace

int main(int argc, char* argv[]) {
  po::options_description description("Options");
  description.add_options()                                                                             //
      ("help,h", "show this help")                                                                      //
      ("broker-uri,k", po::value<std::string>(), "broker URI, e.g. redis://localhost:6379")             //
      ("vidra-stream,s", po::value<std::string>()->default_value("vesk_stream"), "VIDRA stream name")   //
      ("listen", po::value<std::string>()->default_value("127.0.0.1:8080"), "HTTP address, HOST:PORT")  //
      ("max-clients", po::value<std::size_t>()->default_value(16), "most browsers served at once")      //
      ("max-frame-mb", po::value<std::size_t>()->default_value(64), "largest image plane shown, in MiB");
  po::variables_map variables;
  try {
    po::store(po::parse_command_line(argc, argv, description), variables);
    po::notify(variables);
    if (variables.count("help") != 0) {
      std::cout << "Usage: vidra-view -k redis://HOST:PORT [-s STREAM] [--listen 127.0.0.1:8080]\n" << description;
      return 0;
    }
    if (variables.count("broker-uri") == 0) {
      throw po::error("the option '--broker-uri' is required but missing");
    }
    ketra::vesktools::vesk2vidra::ParseBrokerUri(variables["broker-uri"].as<std::string>());
    if (variables["max-clients"].as<std::size_t>() == 0 || variables["max-frame-mb"].as<std::size_t>() == 0) {
      throw po::error("--max-clients and --max-frame-mb must be at least 1");
    }
  } catch (const std::exception& error) {
    std::cerr << "ERROR: " << error.what() << "\n" << description;
    return 2;
  }

  try {
    asio::io_context io;
    const tcp::endpoint endpoint = ResolveListen(io, variables["listen"].as<std::string>());
    ServerSettings server_settings;
    server_settings.max_clients = variables["max-clients"].as<std::size_t>();
    server_settings.files.assign(std::begin(kWebFiles), std::end(kWebFiles));
    ViewServer server(io, endpoint, std::move(server_settings));

    WatcherSettings watcher_settings;
    watcher_settings.broker_uri = variables["broker-uri"].as<std::string>();
    watcher_settings.stream = variables["vidra-stream"].as<std::string>();
    watcher_settings.max_plane_bytes = variables["max-frame-mb"].as<std::size_t>() << 20;
    StreamWatcher watcher(
        std::move(watcher_settings),
        [&server](std::shared_ptr<const Frame> frame) { server.Publish(std::move(frame)); },
        [&server](const std::string& state, const std::string& message) { server.SetStatus(state, message); });

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&io](const boost::system::error_code&, int) { io.stop(); });
    LogLine(fmt::format("serving http://{}:{}/", endpoint.address().to_string(), server.Port()));
    watcher.Start();
    io.run();
    watcher.Stop();
    LogLine("stopped");
    return 0;
  } catch (const std::exception& error) {
    LogLine(fmt::format("ERROR: {}", error.what()));
    return 1;
  }
}
