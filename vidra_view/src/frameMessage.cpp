#include <vidra_view/FrameMessage.hpp>

#include <vesk2vidra/VidraEncDecImage3D.hpp>
#include <vesk2vidra/VidraStreamFields.hpp>

#include <fmt/format.h>

#include <chrono>
#include <cstring>
#include <span>

namespace ketra::vesktools::vidra_view {

namespace v2v = ketra::vesktools::vesk2vidra;

namespace {

// Metadata fields passed to the page as text.
constexpr const char* kTextFields[] = {v2v::fields::kSampleId, v2v::fields::kSenderTimestamp, v2v::fields::kReceiveTime,
                                       v2v::fields::kPublishTime};

double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

std::string JsonEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7f) {
      // Non-ASCII bytes as code points of their own: the header stays valid
      // JSON whatever bytes a field holds.
      out += fmt::format("\\u{:04x}", static_cast<unsigned>(byte));
    } else {
      out += c;
    }
  }
  return out;
}

std::string StatusMessage(std::string_view state, std::string_view message) {
  return fmt::format(R"({{"type":"status","state":"{}","message":"{}"}})", JsonEscape(state), JsonEscape(message));
}

Frame MakeFrame(std::string_view entry_id, const EntryFields& fields, std::size_t max_plane_bytes,
                const ReaderCounts& counts) {
  const std::string_view* image = nullptr;
  for (const auto& field : fields) {
    if (field.first == v2v::fields::kImage) {
      image = &field.second;
    }
  }
  if (image == nullptr) {
    throw BadEntryError(fmt::format("entry {} has no '{}' field", entry_id, v2v::fields::kImage));
  }
  const std::span<const unsigned char> blob(reinterpret_cast<const unsigned char*>(image->data()), image->size());
  v2v::Image3DShape shape;
  try {
    shape = v2v::VidraEncDecImage3D::DecodeShape(blob);
  } catch (const std::exception& error) {
    throw BadEntryError(fmt::format("entry {}: {}", entry_id, error.what()));
  }
  const std::size_t plane_bytes = std::size_t{shape.width} * shape.height * shape.bytes_per_pixel;
  if (plane_bytes > max_plane_bytes) {
    throw FrameTooLargeError(fmt::format("entry {}: {} x {} plane of {} bytes exceeds the limit of {} bytes", entry_id,
                                         shape.width, shape.height, plane_bytes, max_plane_bytes));
  }
  const bool big_endian = blob[29] == v2v::VidraEncDecImage3D::kBigEndian;

  std::string json = fmt::format(
      R"({{"type":"frame","entry_id":"{}","width":{},"height":{},"depth":{},"data_type":"{}","bytes_per_pixel":{},)"
      R"("big_endian":{},"server_send_time":{:.6f},"frames_read":{},"bad_entries":{},"too_large":{})",
      JsonEscape(entry_id), shape.width, shape.height, shape.depth, JsonEscape(v2v::DataTypeName(shape.data_type)),
      shape.bytes_per_pixel, big_endian ? "true" : "false", NowSeconds(), counts.frames, counts.bad_entries,
      counts.too_large);
  for (const char* name : kTextFields) {
    for (const auto& field : fields) {
      if (field.first == name) {
        json += fmt::format(R"(,"{}":"{}")", name, JsonEscape(field.second));
      }
    }
  }
  json += '}';

  const std::size_t pixels_at = (4 + json.size() + 7) / 8 * 8;
  Frame frame;
  frame.entry_id = std::string(entry_id);
  frame.width = shape.width;
  frame.height = shape.height;
  frame.message.assign(pixels_at + plane_bytes, 0);
  const auto length = static_cast<std::uint32_t>(json.size());
  for (int i = 0; i < 4; ++i) {
    frame.message[i] = static_cast<unsigned char>(length >> (8 * i));
  }
  std::memcpy(frame.message.data() + 4, json.data(), json.size());
  std::memcpy(frame.message.data() + pixels_at, blob.data() + v2v::VidraEncDecImage3D::kHeaderSize, plane_bytes);
  return frame;
}

}  // namespace ketra::vesktools::vidra_view
