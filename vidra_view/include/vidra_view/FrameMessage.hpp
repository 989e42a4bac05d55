#pragma once
// One stream entry turned into the binary WebSocket message the page draws:
//   u32 little-endian length N of the JSON header, N bytes of JSON, zero
//   padding to a multiple of 8, then the pixels of the first plane exactly as
//   the entry holds them (the header states type and byte order).
// The page reads the header, then views the pixels with a typed array.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ketra::vesktools::vidra_view {

// The entry cannot be shown: no image field, or an image that does not decode.
class BadEntryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The entry's plane is larger than the viewer accepts.
class FrameTooLargeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Counters of the stream reader, reported with every frame.
struct ReaderCounts {
  std::uint64_t frames = 0;       // entries turned into frames
  std::uint64_t bad_entries = 0;  // entries skipped for a bad or missing image
  std::uint64_t too_large = 0;    // entries skipped for exceeding the size cap
};

struct Frame {
  std::string entry_id;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<unsigned char> message;  // the whole WebSocket message
};

using EntryFields = std::vector<std::pair<std::string_view, std::string_view>>;

// Builds the message of the entry `entry_id` with `fields` (name, value
// pairs as the broker returned them). Throws BadEntryError or
// FrameTooLargeError; `max_plane_bytes` bounds the pixel bytes sent.
Frame MakeFrame(std::string_view entry_id, const EntryFields& fields, std::size_t max_plane_bytes,
                const ReaderCounts& counts);

// Text escaped for a JSON string literal (without the quotes).
std::string JsonEscape(std::string_view text);

// A JSON status message for the page: {"type":"status","state":...,"message":...}.
std::string StatusMessage(std::string_view state, std::string_view message);

}  // namespace ketra::vesktools::vidra_view
