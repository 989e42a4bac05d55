// Round trip of the image encoding for every pixel type, and refusal of
// truncated or inconsistent input.

#include <vesk2vidra/VidraEncDecImage3D.hpp>
#include <vesk2vidra/VidraStreamFields.hpp>

#include <gtest/gtest.h>

#include <numeric>
#include <stdexcept>

namespace v = ketra::vesktools::vesk2vidra;
using ketra::fnd::datatype::DataType;

namespace {

std::vector<unsigned char> Pattern(std::size_t bytes) {
  std::vector<unsigned char> pixels(bytes);
  for (std::size_t i = 0; i < bytes; ++i) {
    pixels[i] = static_cast<unsigned char>((i * 31 + 7) & 0xff);
  }
  return pixels;
}

struct TypeCase {
  DataType type;
  int bpp;
  const char* name;
};

void PrintTo(const TypeCase& type_case, std::ostream* os) {
  *os << type_case.name;
}

class EncoderRoundTrip : public ::testing::TestWithParam<TypeCase> {};

}  // namespace

TEST_P(EncoderRoundTrip, DecodeGivesBackShapeAndBytes) {
  const auto [type, bpp, name] = GetParam();
  const v::VidraEncDecImage3D codec;
  const auto pixels = Pattern(5u * 3u * 2u * static_cast<unsigned>(bpp));
  const auto encoded = codec.Encode(5, 3, 2, type, pixels);
  ASSERT_EQ(encoded.size(), v::VidraEncDecImage3D::kHeaderSize + pixels.size());
  // Header fields at their documented offsets, little-endian.
  EXPECT_EQ(std::string(encoded.begin(), encoded.begin() + 8), "VIDRAI3D");
  EXPECT_EQ(encoded[12] | (encoded[13] << 8) | (encoded[14] << 16) | (encoded[15] << 24), static_cast<int>(type));
  EXPECT_EQ(encoded[16], 5);
  EXPECT_EQ(encoded[20], 3);
  EXPECT_EQ(encoded[24], 2);
  EXPECT_EQ(encoded[28], bpp);

  const auto image = codec.Decode(encoded);
  EXPECT_EQ(image.shape.width, 5u);
  EXPECT_EQ(image.shape.height, 3u);
  EXPECT_EQ(image.shape.depth, 2u);
  EXPECT_EQ(image.shape.data_type, type);
  EXPECT_EQ(image.shape.bytes_per_pixel, bpp);
  EXPECT_EQ(image.pixels, pixels);
  EXPECT_EQ(v::DataTypeName(type), name);
  EXPECT_FALSE(v::NumpyTypeText(type).empty());
}

INSTANTIATE_TEST_SUITE_P(
    AllPixelTypes, EncoderRoundTrip,
    ::testing::Values(TypeCase{DataType::Char, 1, "Char"}, TypeCase{DataType::Byte, 1, "Byte"},
                      TypeCase{DataType::Int16, 2, "Int16"}, TypeCase{DataType::UInt16, 2, "UInt16"},
                      TypeCase{DataType::Int32, 4, "Int32"}, TypeCase{DataType::UInt32, 4, "UInt32"},
                      TypeCase{DataType::Int64, 8, "Int64"}, TypeCase{DataType::UInt64, 8, "UInt64"},
                      TypeCase{DataType::Float, 4, "Float"}, TypeCase{DataType::Double, 8, "Double"}),
    [](const auto& type_info) { return std::string(type_info.param.name); });

TEST(Encoder, EncodeReusesTheOutputBufferAndRefusesBadInput) {
  const v::VidraEncDecImage3D codec;
  const auto pixels = Pattern(4 * 4 * 2);
  std::vector<unsigned char> out;
  codec.Encode(4, 4, 1, DataType::Int16, pixels, out);
  const auto* storage = out.data();
  codec.Encode(4, 4, 1, DataType::Int16, pixels, out);
  EXPECT_EQ(out.data(), storage) << "a same-sized encode must not reallocate";

  EXPECT_THROW(codec.Encode(4, 4, 1, DataType::Int16, std::span(pixels).first(31), out), std::invalid_argument);
  EXPECT_THROW(codec.Encode(4, 4, 1, DataType::Int32, pixels, out), std::invalid_argument);
  EXPECT_THROW(codec.Encode(0, 4, 1, DataType::Int16, {}, out), std::invalid_argument);
  EXPECT_THROW(codec.Encode(4, 4, 1, DataType::Bool, pixels, out), std::invalid_argument);
  EXPECT_THROW(codec.Encode(4, 4, 1, DataType::String, pixels, out), std::invalid_argument);
}

TEST(Decoder, RefusesTruncatedAndInconsistentInput) {
  const v::VidraEncDecImage3D codec;
  const auto good = codec.Encode(4, 2, 1, DataType::Float, Pattern(4 * 2 * 4));

  const auto expect_refused = [&](std::vector<unsigned char> bad, const std::string& fragment) {
    try {
      codec.Decode(bad);
      ADD_FAILURE() << "accepted input that should contain: " << fragment;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
    }
  };

  expect_refused({}, "truncated");
  expect_refused(std::vector<unsigned char>(good.begin(), good.begin() + 31), "truncated");
  expect_refused(std::vector<unsigned char>(good.begin(), good.end() - 1), "truncated");
  auto longer = good;
  longer.push_back(0);
  expect_refused(longer, "too long");
  auto magic = good;
  magic[0] = 'X';
  expect_refused(magic, "magic");
  auto version = good;
  version[8] = 9;
  expect_refused(version, "version");
  auto bpp = good;
  bpp[28] = 2;  // Float with 2 bytes per pixel
  expect_refused(bpp, "bytes per pixel");
  auto type = good;
  type[12] = 0x80;  // Bool: no fixed size
  type[13] = 0;
  type[14] = 0;
  expect_refused(type, "data type");
  auto zero = good;
  zero[20] = 0;  // height 0
  expect_refused(zero, "0x");
  auto order = good;
  order[29] = 7;
  expect_refused(order, "byte order");
  auto huge = good;
  huge[19] = 0xff;  // width grows far beyond the pixel bytes present
  expect_refused(huge, "truncated");
}

TEST(Decoder, SwapsPixelsWrittenInTheOtherByteOrder) {
  const v::VidraEncDecImage3D codec;
  const std::vector<unsigned char> pixels = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  auto encoded = codec.Encode(2, 1, 1, DataType::Int32, pixels);
  encoded[29] = encoded[29] == v::VidraEncDecImage3D::kLittleEndian ? v::VidraEncDecImage3D::kBigEndian
                                                                    : v::VidraEncDecImage3D::kLittleEndian;
  const auto image = codec.Decode(encoded);
  const std::vector<unsigned char> swapped = {0x04, 0x03, 0x02, 0x01, 0x08, 0x07, 0x06, 0x05};
  EXPECT_EQ(image.pixels, swapped);
}
