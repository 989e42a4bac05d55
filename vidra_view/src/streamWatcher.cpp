#include <vidra_view/StreamWatcher.hpp>

#include <vidra_view/Log.hpp>

#include <vesk2vidra/BrokerUri.hpp>
#include <vesk2vidra/RedisConnection.hpp>

#include <fmt/format.h>

namespace ketra::vesktools::vidra_view {

namespace v2v = ketra::vesktools::vesk2vidra;

namespace {

constexpr std::chrono::milliseconds kConnectTimeout{2000};
constexpr std::chrono::milliseconds kIoTimeout{5000};

}  // namespace

StreamWatcher::StreamWatcher(WatcherSettings settings, FrameHandler on_frame, StatusHandler on_status)
    : m_settings(std::move(settings)), m_on_frame(std::move(on_frame)), m_on_status(std::move(on_status)) {}

StreamWatcher::~StreamWatcher() {
  Stop();
}

void StreamWatcher::Start() {
  m_thread = std::thread([this] { Run(); });
}

void StreamWatcher::Stop() {
  m_stop = true;
  if (m_thread.joinable()) {
    m_thread.join();
  }
}

void StreamWatcher::SetStatus(const std::string& state, const std::string& message) {
  if (state == m_state) {
    return;
  }
  m_state = state;
  LogLine(fmt::format("{}: {}", state, message));
  m_on_status(state, message);
}

void StreamWatcher::Pause(std::chrono::milliseconds duration) const {
  const auto deadline = std::chrono::steady_clock::now() + duration;
  while (!m_stop && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void StreamWatcher::Run() {
  const v2v::BrokerAddress address = v2v::ParseBrokerUri(m_settings.broker_uri);
  SetStatus("connecting", fmt::format("connecting to broker {}", address.masked_uri));
  while (!m_stop) {
    try {
      v2v::RedisConnection connection(address, kConnectTimeout, kIoTimeout);
      Follow(connection);
    } catch (const v2v::BrokerConnectionError& error) {
      SetStatus("unreachable",
                fmt::format("broker {} does not answer ({}); retrying", address.masked_uri, error.what()));
      Pause(m_settings.retry);
    } catch (const v2v::BrokerReplyError& error) {
      SetStatus("bad-stream", fmt::format("broker {} refuses to read stream '{}': {}; retrying", address.masked_uri,
                                          m_settings.stream, error.what()));
      Pause(m_settings.retry);
    } catch (const std::runtime_error& error) {
      // A reply of an unexpected shape: start over on a fresh connection.
      SetStatus("bad-stream",
                fmt::format("unexpected reply for stream '{}': {}; retrying", m_settings.stream, error.what()));
      Pause(m_settings.retry);
    }
  }
}

void StreamWatcher::Follow(v2v::RedisConnection& connection) {
  const std::string& stream = m_settings.stream;
  const std::string no_stream = fmt::format("stream '{}' does not exist on broker {} (is the gateway running?)", stream,
                                            connection.Address().masked_uri);
  const auto newest = connection.Command({"XREVRANGE", stream, "+", "-", "COUNT", "1"});
  if (v2v::ElementCount(newest.Get()) == 1) {
    SetStatus("live", fmt::format("reading stream '{}' on broker {}", stream, connection.Address().masked_uri));
    HandleEntry(v2v::Element(newest.Get(), 0));
  } else {
    SetStatus("no-stream", no_stream);
  }
  const std::string block = std::to_string(m_settings.block.count());
  connection.SetIoTimeout(m_settings.block + kIoTimeout);
  while (!m_stop) {
    const auto reply = connection.Command({"XREAD", "COUNT", "1", "BLOCK", block, "STREAMS", stream, "$"});
    if (v2v::IsNil(reply.Get())) {
      if (v2v::Integer(connection.Command({"EXISTS", stream}).Get()) == 0) {
        SetStatus("no-stream", no_stream);
      }
      continue;
    }
    SetStatus("live", fmt::format("reading stream '{}' on broker {}", stream, connection.Address().masked_uri));
    const redisReply* entries = v2v::Element(v2v::Element(reply.Get(), 0), 1);
    for (std::size_t i = 0; i < v2v::ElementCount(entries); ++i) {
      HandleEntry(v2v::Element(entries, i));
    }
  }
}

void StreamWatcher::HandleEntry(const redisReply* entry) {
  const std::string_view id = v2v::Text(v2v::Element(entry, 0));
  const redisReply* pairs = v2v::Element(entry, 1);
  EntryFields fields;
  for (std::size_t i = 0; i + 1 < v2v::ElementCount(pairs); i += 2) {
    fields.emplace_back(v2v::Text(v2v::Element(pairs, i)), v2v::Text(v2v::Element(pairs, i + 1)));
  }
  try {
    ReaderCounts counts = m_counts;
    ++counts.frames;
    auto frame = std::make_shared<Frame>(MakeFrame(id, fields, m_settings.max_plane_bytes, counts));
    m_counts = counts;
    m_on_frame(std::move(frame));
  } catch (const BadEntryError& error) {
    // Logged for the first and then every 100th, so a broken publisher does not flood the log.
    if (m_counts.bad_entries++ % 100 == 0) {
      LogLine(fmt::format("skipped entry with a bad image ({} so far): {}", m_counts.bad_entries, error.what()));
    }
  } catch (const FrameTooLargeError& error) {
    if (m_counts.too_large++ % 100 == 0) {
      LogLine(fmt::format("skipped entry too large to show ({} so far): {}", m_counts.too_large, error.what()));
    }
  }
}

}  // namespace ketra::vesktools::vidra_view
