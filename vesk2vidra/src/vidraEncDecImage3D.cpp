#include <vesk2vidra/VidraEncDecImage3D.hpp>

#include <fmt/format.h>
#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace ketra::vesktools::vesk2vidra {

namespace {

constexpr unsigned char kMagic[8] = {'V', 'I', 'D', 'R', 'A', 'I', '3', 'D'};

constexpr std::uint8_t NativeOrder() {
  return std::endian::native == std::endian::little ? VidraEncDecImage3D::kLittleEndian
                                                    : VidraEncDecImage3D::kBigEndian;
}

void PutLe(unsigned char* at, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    at[i] = static_cast<unsigned char>(value >> (8 * i));
  }
}

std::uint64_t GetLe(const unsigned char* at, int bytes) {
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value |= static_cast<std::uint64_t>(at[i]) << (8 * i);
  }
  return value;
}

// Product of the dimensions and the pixel size, or 0 when it overflows.
std::size_t CheckedBytes(std::uint64_t width, std::uint64_t height, std::uint64_t depth, std::uint64_t bpp) {
  const std::uint64_t limit = std::numeric_limits<std::size_t>::max();
  std::uint64_t total = bpp;
  for (const std::uint64_t factor : {width, height, depth}) {
    if (factor != 0 && total > limit / factor) {
      return 0;
    }
    total *= factor;
  }
  return static_cast<std::size_t>(total);
}

}  // namespace

std::size_t Image3DShape::PixelBytes() const {
  return CheckedBytes(width, height, depth, bytes_per_pixel);
}

void VidraEncDecImage3D::Encode(std::uint32_t width, std::uint32_t height, std::uint32_t depth, DataType data_type,
                                std::span<const unsigned char> pixels, std::vector<unsigned char>& out) const {
  const int bpp = ketra::fnd::datatype::GetBytesPerPixel(data_type);
  if (bpp <= 0) {
    throw std::invalid_argument(
        fmt::format("Cannot encode an image of data type {}: no fixed pixel size", static_cast<int>(data_type)));
  }
  if (width == 0 || height == 0 || depth == 0) {
    throw std::invalid_argument(fmt::format("Cannot encode an image of {}x{}x{} pixels", width, height, depth));
  }
  const std::size_t expected = CheckedBytes(width, height, depth, static_cast<std::uint64_t>(bpp));
  if (expected == 0 || expected != pixels.size()) {
    throw std::invalid_argument(fmt::format("Image of {}x{}x{} pixels of {} bytes needs {} bytes, got {}", width,
                                            height, depth, bpp, expected, pixels.size()));
  }
  out.resize(kHeaderSize + pixels.size());
  unsigned char* header = out.data();
  std::memcpy(header, kMagic, sizeof kMagic);
  PutLe(header + 8, kVersion, 2);
  PutLe(header + 10, kHeaderSize, 2);
  PutLe(header + 12, static_cast<std::uint32_t>(data_type), 4);
  PutLe(header + 16, width, 4);
  PutLe(header + 20, height, 4);
  PutLe(header + 24, depth, 4);
  header[28] = static_cast<unsigned char>(bpp);
  header[29] = NativeOrder();
  PutLe(header + 30, 0, 2);
  std::copy(pixels.begin(), pixels.end(), out.begin() + kHeaderSize);
}

std::vector<unsigned char> VidraEncDecImage3D::Encode(std::uint32_t width, std::uint32_t height, std::uint32_t depth,
                                                      DataType data_type, std::span<const unsigned char> pixels) const {
  std::vector<unsigned char> out;
  Encode(width, height, depth, data_type, pixels, out);
  return out;
}

Image3DShape VidraEncDecImage3D::DecodeShape(std::span<const unsigned char> encoded) {
  if (encoded.size() < kHeaderSize) {
    throw std::runtime_error(
        fmt::format("Encoded image truncated: {} bytes, the header alone needs {}", encoded.size(), kHeaderSize));
  }
  const unsigned char* header = encoded.data();
  if (std::memcmp(header, kMagic, sizeof kMagic) != 0) {
    throw std::runtime_error("Not an encoded VIDRA image: bad magic");
  }
  const auto version = GetLe(header + 8, 2);
  if (version != kVersion) {
    throw std::runtime_error(fmt::format("Unsupported encoded image version {}", version));
  }
  const auto header_size = GetLe(header + 10, 2);
  if (header_size != kHeaderSize) {
    throw std::runtime_error(fmt::format("Inconsistent encoded image: header size {}", header_size));
  }
  Image3DShape shape;
  shape.data_type = static_cast<DataType>(static_cast<std::int32_t>(GetLe(header + 12, 4)));
  shape.width = static_cast<std::uint32_t>(GetLe(header + 16, 4));
  shape.height = static_cast<std::uint32_t>(GetLe(header + 20, 4));
  shape.depth = static_cast<std::uint32_t>(GetLe(header + 24, 4));
  shape.bytes_per_pixel = header[28];
  const int expected_bpp = ketra::fnd::datatype::GetBytesPerPixel(shape.data_type);
  if (expected_bpp <= 0 || expected_bpp != shape.bytes_per_pixel) {
    throw std::runtime_error(fmt::format("Inconsistent encoded image: data type {} with {} bytes per pixel",
                                         static_cast<int>(shape.data_type), shape.bytes_per_pixel));
  }
  if (header[29] != kLittleEndian && header[29] != kBigEndian) {
    throw std::runtime_error(fmt::format("Inconsistent encoded image: byte order flag {}", header[29]));
  }
  if (shape.width == 0 || shape.height == 0 || shape.depth == 0) {
    throw std::runtime_error(
        fmt::format("Inconsistent encoded image: {}x{}x{} pixels", shape.width, shape.height, shape.depth));
  }
  const std::size_t pixel_bytes = shape.PixelBytes();
  if (pixel_bytes == 0 || encoded.size() - kHeaderSize != pixel_bytes) {
    throw std::runtime_error(fmt::format("Encoded image {}: {} pixel bytes for {}x{}x{} pixels of {} bytes",
                                         encoded.size() - kHeaderSize < pixel_bytes ? "truncated" : "too long",
                                         encoded.size() - kHeaderSize, shape.width, shape.height, shape.depth,
                                         shape.bytes_per_pixel));
  }
  return shape;
}

DecodedImage3D VidraEncDecImage3D::Decode(std::span<const unsigned char> encoded) const {
  DecodedImage3D image;
  image.shape = DecodeShape(encoded);
  image.pixels.assign(encoded.begin() + kHeaderSize, encoded.end());
  if (encoded[29] != NativeOrder() && image.shape.bytes_per_pixel > 1) {
    const std::size_t bpp = image.shape.bytes_per_pixel;
    for (auto it = image.pixels.begin(); it != image.pixels.end(); it += static_cast<std::ptrdiff_t>(bpp)) {
      std::reverse(it, it + static_cast<std::ptrdiff_t>(bpp));
    }
  }
  return image;
}

}  // namespace ketra::vesktools::vesk2vidra
