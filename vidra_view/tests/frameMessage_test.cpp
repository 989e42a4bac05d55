// The frame message built from a stream entry: header, plane bytes, and the
// entries that are refused.

#include <vidra_view/FrameMessage.hpp>

#include <vesk2vidra/VidraEncDecImage3D.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace ketra::vesktools::vidra_view;
namespace v2v = ketra::vesktools::vesk2vidra;
namespace dt = ketra::fnd::datatype;

std::string EncodeUInt16(std::uint32_t width, std::uint32_t height, std::uint32_t depth,
                         std::vector<std::uint16_t>& pixels) {
  pixels.resize(std::size_t{width} * height * depth);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint16_t>(i * 7 + 1);
  const auto bytes = v2v::VidraEncDecImage3D().Encode(
      width, height, depth, dt::UInt16,
      std::span(reinterpret_cast<const unsigned char*>(pixels.data()), pixels.size() * 2));
  return std::string(bytes.begin(), bytes.end());
}

struct Parsed {
  std::string json;
  std::vector<unsigned char> pixels;
};

Parsed Parse(const Frame& frame) {
  const auto& m = frame.message;
  EXPECT_GE(m.size(), 4u);
  const std::uint32_t length = m[0] | (m[1] << 8) | (m[2] << 16) | (std::uint32_t{m[3]} << 24);
  const std::size_t at = (4 + length + 7) / 8 * 8;
  EXPECT_LE(at, m.size());
  return {std::string(m.begin() + 4, m.begin() + 4 + length), std::vector<unsigned char>(m.begin() + at, m.end())};
}

TEST(FrameMessage, CarriesFirstPlaneAndMetadata) {
  std::vector<std::uint16_t> pixels;
  const std::string blob = EncodeUInt16(5, 3, 2, pixels);
  const EntryFields fields{{"sample_id", "42"},
                           {"sender_timestamp", "1700000000.5"},
                           {"receive_time", "1700000000.6"},
                           {"publish_time", "1700000000.7"},
                           {"image", blob}};
  const Frame frame = MakeFrame("1-0", fields, 1 << 20, ReaderCounts{3, 1, 2});
  EXPECT_EQ(frame.width, 5u);
  EXPECT_EQ(frame.height, 3u);
  const Parsed parsed = Parse(frame);
  for (const char* expected :
       {R"("entry_id":"1-0")", R"("width":5)", R"("height":3)", R"("depth":2)", R"("data_type":"UInt16")",
        R"("bytes_per_pixel":2)", R"("sample_id":"42")", R"("sender_timestamp":"1700000000.5")", R"("frames_read":3)",
        R"("bad_entries":1)", R"("too_large":2)"}) {
    EXPECT_NE(parsed.json.find(expected), std::string::npos) << expected << " in " << parsed.json;
  }
  ASSERT_EQ(parsed.pixels.size(), 5u * 3u * 2u);  // the first plane only
  EXPECT_EQ(std::memcmp(parsed.pixels.data(), pixels.data(), parsed.pixels.size()), 0);
  EXPECT_EQ(parsed.json.find("\"image\""), std::string::npos);
}

TEST(FrameMessage, RefusesEntriesWithoutAUsableImage) {
  std::vector<std::uint16_t> pixels;
  std::string blob = EncodeUInt16(4, 4, 1, pixels);
  EXPECT_THROW(MakeFrame("1-0", {{"sample_id", "1"}}, 1 << 20, {}), BadEntryError);
  EXPECT_THROW(MakeFrame("1-0", {{"image", blob.substr(0, blob.size() - 1)}}, 1 << 20, {}), BadEntryError);
  EXPECT_THROW(MakeFrame("1-0", {{"image", "not an image"}}, 1 << 20, {}), BadEntryError);
  std::string bad_magic = blob;
  bad_magic[0] = 'X';
  EXPECT_THROW(MakeFrame("1-0", {{"image", bad_magic}}, 1 << 20, {}), BadEntryError);
  // A header announcing far more pixels than the field holds.
  std::string forged = blob;
  forged[16] = '\xff';
  forged[17] = '\xff';
  EXPECT_THROW(MakeFrame("1-0", {{"image", forged}}, std::size_t{1} << 40, {}), BadEntryError);
}

TEST(FrameMessage, CapsThePlaneSize) {
  std::vector<std::uint16_t> pixels;
  const std::string blob = EncodeUInt16(1024, 1024, 1, pixels);
  EXPECT_THROW(MakeFrame("1-0", {{"image", blob}}, 1024 * 1024 * 2 - 1, {}), FrameTooLargeError);
  const Frame frame = MakeFrame("1-0", {{"image", blob}}, 1024 * 1024 * 2, {});
  EXPECT_EQ(Parse(frame).pixels.size(), 1024u * 1024u * 2u);
}

TEST(FrameMessage, StatesBigEndianPixels) {
  std::vector<std::uint16_t> pixels;
  std::string blob = EncodeUInt16(2, 2, 1, pixels);
  EXPECT_NE(Parse(MakeFrame("1-0", {{"image", blob}}, 1 << 20, {})).json.find(R"("big_endian":false)"),
            std::string::npos);
  blob[29] = static_cast<char>(v2v::VidraEncDecImage3D::kBigEndian);
  EXPECT_NE(Parse(MakeFrame("1-0", {{"image", blob}}, 1 << 20, {})).json.find(R"("big_endian":true)"),
            std::string::npos);
}

TEST(FrameMessage, EscapesFieldTextIntoValidJson) {
  EXPECT_EQ(JsonEscape("a\"b\\c\n\x01\xc3"), "a\\\"b\\\\c\\u000a\\u0001\\u00c3");
  std::vector<std::uint16_t> pixels;
  const std::string blob = EncodeUInt16(2, 2, 1, pixels);
  const Parsed parsed = Parse(MakeFrame("1-0", {{"sample_id", "7\"}"}, {"image", blob}}, 1 << 20, {}));
  EXPECT_NE(parsed.json.find(R"("sample_id":"7\"}")"), std::string::npos) << parsed.json;
  EXPECT_EQ(StatusMessage("live", "on \"x\""), R"({"type":"status","state":"live","message":"on \"x\""})");
}

}  // namespace
