#include <vesk2vidra/VidraStreamReader.hpp>

#include <vesk2vidra/VidraStreamFields.hpp>

#include <fmt/format.h>
#include <algorithm>
#include <span>
#include <stdexcept>

namespace ketra::vesktools::vesk2vidra {

namespace {

constexpr std::chrono::milliseconds kConnectTimeout{2000};
constexpr std::chrono::milliseconds kIoTimeout{10000};

}  // namespace

VidraStreamReader::VidraStreamReader(const std::string& broker_uri, std::string stream)
    : m_stream(std::move(stream)), m_connection(ParseBrokerUri(broker_uri), kConnectTimeout, kIoTimeout) {}

VidraStreamEntry VidraStreamReader::ParseEntry(const redisReply* entry) const {
  VidraStreamEntry result;
  result.id = std::string(Text(Element(entry, 0)));
  const redisReply* pairs = Element(entry, 1);
  bool has_image = false;
  for (std::size_t i = 0; i + 1 < ElementCount(pairs); i += 2) {
    const std::string name(Text(Element(pairs, i)));
    const std::string_view value = Text(Element(pairs, i + 1));
    if (name == fields::kImage) {
      result.image = m_decoder.Decode(std::span(reinterpret_cast<const unsigned char*>(value.data()), value.size()));
      has_image = true;
    } else {
      result.fields.emplace(name, std::string(value));
    }
  }
  if (!has_image) {
    throw std::runtime_error(
        fmt::format("Entry {} of stream '{}' has no '{}' field", result.id, m_stream, fields::kImage));
  }
  return result;
}

std::vector<VidraStreamEntry> VidraStreamReader::Newest(std::size_t count) {
  const std::string count_text = std::to_string(count);
  const auto reply = m_connection.Command({"XREVRANGE", m_stream, "+", "-", "COUNT", count_text});
  std::vector<VidraStreamEntry> entries;
  for (std::size_t i = 0; i < ElementCount(reply.Get()); ++i) {
    entries.push_back(ParseEntry(Element(reply.Get(), i)));
  }
  std::reverse(entries.begin(), entries.end());
  return entries;
}

std::vector<VidraStreamEntry> VidraStreamReader::Next(std::size_t count, std::chrono::milliseconds timeout) {
  std::vector<VidraStreamEntry> entries;
  // "$" is resolved once to the current last id, so nothing published while
  // reading is missed between two calls.
  std::string last_id = "$";
  const auto newest = m_connection.Command({"XREVRANGE", m_stream, "+", "-", "COUNT", "1"});
  if (ElementCount(newest.Get()) == 1) {
    last_id = std::string(Text(Element(Element(newest.Get(), 0), 0)));
  } else {
    last_id = "0-0";
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (entries.size() < count) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      break;
    }
    const std::string block = std::to_string(left.count());
    const std::string want = std::to_string(count - entries.size());
    m_connection.SetIoTimeout(left + kIoTimeout);
    const auto reply = m_connection.Command({"XREAD", "COUNT", want, "BLOCK", block, "STREAMS", m_stream, last_id});
    m_connection.SetIoTimeout(kIoTimeout);
    if (IsNil(reply.Get())) {
      continue;
    }
    const redisReply* stream_entries = Element(Element(reply.Get(), 0), 1);
    for (std::size_t i = 0; i < ElementCount(stream_entries) && entries.size() < count; ++i) {
      entries.push_back(ParseEntry(Element(stream_entries, i)));
      last_id = entries.back().id;
    }
  }
  return entries;
}

long long VidraStreamReader::Length() {
  return Integer(m_connection.Command({"XLEN", m_stream}).Get());
}

}  // namespace ketra::vesktools::vesk2vidra
