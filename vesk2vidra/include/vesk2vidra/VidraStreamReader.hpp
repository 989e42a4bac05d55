#pragma once
// Reading a VIDRA stream back: the newest entries, or the next entries as
// they are published.

#include <vesk2vidra/RedisConnection.hpp>
#include <vesk2vidra/VidraEncDecImage3D.hpp>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace ketra::vesktools::vesk2vidra {

struct VidraStreamEntry {
  std::string id;                             // Redis stream entry id
  std::map<std::string, std::string> fields;  // every field but the image
  DecodedImage3D image;
};

class VidraStreamReader {
 public:
  // Connects like the publisher does (throws BrokerConnectionError / std::invalid_argument).
  VidraStreamReader(const std::string& broker_uri, std::string stream);

  // The newest `count` entries (fewer when the stream is shorter), oldest first.
  std::vector<VidraStreamEntry> Newest(std::size_t count);

  // Waits for the next `count` entries published after this call, oldest
  // first; returns early (with fewer) when `timeout` passes.
  std::vector<VidraStreamEntry> Next(std::size_t count, std::chrono::milliseconds timeout);

  // Entries in the stream now.
  long long Length();

 private:
  VidraStreamEntry ParseEntry(const redisReply* entry) const;

  std::string m_stream;
  RedisConnection m_connection;
  VidraEncDecImage3D m_decoder;
};

}  // namespace ketra::vesktools::vesk2vidra
