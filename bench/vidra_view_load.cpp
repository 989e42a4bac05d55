// vidra-view-load: the viewer under load. Starts a private redis-server on
// loopback (or uses the one given with -k) and a vidra-view on it, publishes
// 1024 x 1024 UInt16 entries as fast as the broker takes them, and measures
// the publish rate first with no viewer client, then with N WebSocket clients
// that each ask for frames as fast as they get them. Prints the two rates,
// the viewer's resident memory at the start, middle and end of the loaded
// phase, and the frames per second each client got. Exits 1 when a client
// got no frame or the viewer ended.

#include "vidra_view_load/Child.hpp"
#include "vidra_view_load/LoadClient.hpp"

#include <vesk2vidra/BrokerUri.hpp>
#include <vesk2vidra/RedisConnection.hpp>
#include <vesk2vidra/VidraEncDecImage3D.hpp>

#include <fmt/core.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/program_options.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace v2v = ketra::vesktools::vesk2vidra;
namespace po = boost::program_options;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kWidth = 1024;
constexpr std::uint32_t kHeight = 1024;
constexpr std::size_t kPlaneBytes = std::size_t{kWidth} * kHeight * 2;
constexpr int kImages = 4;  // distinct images published in turn

std::uint16_t FreeLoopbackPort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  return acceptor.local_endpoint().port();
}

// Resident memory of `pid` in kB (VmRSS), 0 when it cannot be read.
long ResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long kb = 0;
      status >> kb;
      return kb;
    }
    status.ignore(4096, '\n');
  }
  return 0;
}

std::string Image(int index) {
  std::vector<std::uint16_t> pixels(std::size_t{kWidth} * kHeight);
  for (std::uint32_t y = 0; y < kHeight; ++y) {
    for (std::uint32_t x = 0; x < kWidth; ++x) {
      pixels[std::size_t{y} * kWidth + x] = static_cast<std::uint16_t>(x * 3 + y * 7 + index * 1000);
    }
  }
  const auto bytes = v2v::VidraEncDecImage3D().Encode(
      kWidth, kHeight, 1, ketra::fnd::datatype::UInt16,
      std::span(reinterpret_cast<const unsigned char*>(pixels.data()), pixels.size() * 2));
  return std::string(bytes.begin(), bytes.end());
}

// Publishes entries on `stream` in a loop on its own thread until destroyed.
class Publisher {
 public:
  Publisher(const std::string& uri, std::string stream) : m_stream(std::move(stream)) {
    for (int i = 0; i < kImages; ++i) m_images.push_back(Image(i));
    m_connection = std::make_unique<v2v::RedisConnection>(v2v::ParseBrokerUri(uri), 2000ms, 5000ms);
    m_thread = std::thread([this] { Loop(); });
  }
  ~Publisher() {
    m_stop = true;
    m_thread.join();
  }
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  std::uint64_t Published() const { return m_published; }
  const std::string& Error() const { return m_error; }  // read after the thread ended

 private:
  void Loop() {
    try {
      for (std::uint64_t sample = 1; !m_stop; ++sample) {
        const std::string id = std::to_string(sample);
        const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
        const std::string time = fmt::format("{:.6f}", now);
        m_connection->Command({"XADD", m_stream, "MAXLEN", "~", "8", "*", "sample_id", id, "sender_timestamp", time,
                               "receive_time", time, "publish_time", time, "image",
                               m_images[sample % m_images.size()]});
        ++m_published;
      }
    } catch (const std::exception& error) {
      m_error = error.what();
    }
  }

  std::string m_stream;
  std::vector<std::string> m_images;
  std::unique_ptr<v2v::RedisConnection> m_connection;
  std::atomic<bool> m_stop{false};
  std::atomic<std::uint64_t> m_published{0};
  std::string m_error;
  std::thread m_thread;
};

// Entries published per second over `duration`.
double PublishRate(const Publisher& publisher, std::chrono::milliseconds duration) {
  const auto start = publisher.Published();
  const auto begin = Clock::now();
  std::this_thread::sleep_for(duration);
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  return static_cast<double>(publisher.Published() - start) / seconds;
}

struct ClientResult {
  bool connected = false;
  std::uint64_t frames = 0;      // whole 1024 x 1024 planes received
  std::uint64_t bad_frames = 0;  // frames of another size
  double seconds = 0;
};

ClientResult RunClient(std::uint16_t port, Clock::time_point deadline) {
  ClientResult result;
  vidra_view_load::LoadClient client;
  const auto begin = Clock::now();
  result.connected = client.Connect(port, 2000ms);
  while (result.connected && Clock::now() < deadline) {
    const auto frame = client.NextFrame(2000ms);
    if (!frame) break;
    ++(*frame == kPlaneBytes ? result.frames : result.bad_frames);
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  return result;
}

struct TempDir {
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vidra-view-load.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary directory");
    path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::filesystem::path path;
};

bool WaitForBroker(const std::string& uri) {
  for (int i = 0; i < 100; ++i) {  // up to about 5 s
    try {
      v2v::RedisConnection probe(v2v::ParseBrokerUri(uri), 200ms, 1000ms);
      return true;
    } catch (const std::exception&) {
      std::this_thread::sleep_for(50ms);
    }
  }
  return false;
}

bool WaitForView(std::uint16_t port) {
  for (int i = 0; i < 100; ++i) {
    vidra_view_load::LoadClient probe;
    if (probe.Connect(port, 200ms)) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

std::string LogTail(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

int Run(const po::variables_map& options) {
  const int clients = options["clients"].as<int>();
  const auto duration = std::chrono::milliseconds(static_cast<long>(options["seconds"].as<double>() * 1000));
  const std::string stream = options["stream"].as<std::string>();
  if (clients < 1 || clients > 64 || duration < 500ms || duration > 600s) {
    std::cerr << "vidra-view-load: --clients 1..64 and --seconds 0.5..600\n";
    return 2;
  }
  TempDir dir;

  std::optional<vidra_view_load::Child> redis;
  std::string uri;
  if (options.count("broker")) {
    uri = options["broker"].as<std::string>();
  } else {
    const auto redis_port = FreeLoopbackPort();
    redis.emplace(
        std::vector<std::string>{options["redis-server"].as<std::string>(), "--port", std::to_string(redis_port),
                                 "--bind", "127.0.0.1", "--save", "", "--appendonly", "no", "--dir", dir.path.string()},
        (dir.path / "redis.log").string());
    uri = "redis://127.0.0.1:" + std::to_string(redis_port);
  }
  if (!WaitForBroker(uri)) {
    std::cerr << "vidra-view-load: no broker at " << uri << "\n";
    return 1;
  }

  const auto view_port = FreeLoopbackPort();
  const auto view_log = dir.path / "view.log";
  vidra_view_load::Child view({options["view"].as<std::string>(), "-k", uri, "-s", stream, "--listen",
                               "127.0.0.1:" + std::to_string(view_port), "--max-clients", std::to_string(clients + 1)},
                              view_log.string());
  if (!WaitForView(view_port)) {
    std::cerr << "vidra-view-load: vidra-view does not listen\n" << LogTail(view_log);
    return 1;
  }

  Publisher publisher(uri, stream);
  std::this_thread::sleep_for(500ms);  // the broker and the viewer settle
  const double idle_rate = PublishRate(publisher, duration);

  const auto deadline = Clock::now() + duration;
  std::vector<ClientResult> results(static_cast<std::size_t>(clients));
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&, i] { results[i] = RunClient(view_port, deadline); });
  }
  const long rss_start = ResidentKb(view.Pid());
  const double loaded_first = PublishRate(publisher, duration / 2);
  const long rss_middle = ResidentKb(view.Pid());
  const double loaded_second = PublishRate(publisher, duration - duration / 2);
  const long rss_end = ResidentKb(view.Pid());
  for (auto& thread : threads) thread.join();
  const double loaded_rate = (loaded_first + loaded_second) / 2;
  const bool view_running = view.Running();

  fmt::print("vidra-view load: {} x {} UInt16 frames ({:.1f} MiB), {} clients, {:.1f} s per phase\n", kWidth, kHeight,
             kPlaneBytes / 1048576.0, clients, duration.count() / 1000.0);
  fmt::print("{:<34} {:>10.1f} entries/s\n", "publish rate, 0 clients", idle_rate);
  fmt::print("{:<34} {:>10.1f} entries/s\n", fmt::format("publish rate, {} clients", clients), loaded_rate);
  fmt::print("{:<34} {:>10.2f}\n", "ratio loaded / idle", idle_rate > 0 ? loaded_rate / idle_rate : 0.0);
  fmt::print("{:<34} {:>10} kB\n", "vidra-view RSS start", rss_start);
  fmt::print("{:<34} {:>10} kB\n", "vidra-view RSS middle", rss_middle);
  fmt::print("{:<34} {:>10} kB\n", "vidra-view RSS end", rss_end);
  fmt::print("{:<8} {:>8} {:>10}\n", "client", "frames", "frames/s");
  bool all_got_frames = true;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const auto& r = results[i];
    fmt::print("{:<8} {:>8} {:>10.1f}{}\n", i, r.frames, r.seconds > 0 ? r.frames / r.seconds : 0.0,
               !r.connected ? "  (not connected)" : (r.bad_frames ? "  (frames of a wrong size)" : ""));
    all_got_frames = all_got_frames && r.connected && r.frames > 0 && r.bad_frames == 0;
  }
  std::fflush(stdout);
  if (!view_running) {
    std::cerr << "vidra-view-load: vidra-view ended during the run\n" << LogTail(view_log);
    return 1;
  }
  if (!all_got_frames) {
    std::cerr << "vidra-view-load: a client got no frame or a wrong one\n" << LogTail(view_log);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  po::options_description description("vidra-view-load [options]");
  description.add_options()("help,h", "this help")("clients,n", po::value<int>()->default_value(10),
                                                   "WebSocket clients in the loaded phase")(
      "seconds,t", po::value<double>()->default_value(10.0), "duration of each phase")(
      "broker,k", po::value<std::string>(), "redis://HOST:PORT of a running broker (default: start one)")(
      "stream,s", po::value<std::string>()->default_value("vidra_view_load"), "stream key")(
      "view", po::value<std::string>()->default_value(VIDRA_VIEW_PATH), "the vidra-view program")(
      "redis-server", po::value<std::string>()->default_value("redis-server"), "the redis-server program");
  try {
    po::variables_map options;
    po::store(po::parse_command_line(argc, argv, description), options);
    po::notify(options);
    if (options.count("help")) {
      std::cout << description;
      return 0;
    }
    return Run(options);
  } catch (const std::exception& error) {
    std::cerr << "vidra-view-load: " << error.what() << "\n";
    return 1;
  }
}
