#pragma once
// Encoding of one 3-D image (width x height x depth pixels of one DataType)
// into the byte layout of a VIDRA stream entry, and decoding it back.
//
// Layout: a 32-byte header, all numbers little-endian, then the pixels.
//   0  8 bytes  magic "VIDRAI3D"
//   8  u16      format version (1)
//  10  u16      header size in bytes (32)
//  12  u32      DataType value (e.g. 256 = Int16)
//  16  u32      width   (first axis, fastest)
//  20  u32      height
//  24  u32      depth   (number of planes)
//  28  u8       bytes per pixel
//  29  u8       byte order of the pixels: 1 little-endian, 2 big-endian
//  30  u16      reserved, 0
//  32  width*height*depth*bytes-per-pixel pixel bytes, width fastest

#include <ketra/fnd/datatype/DataType.hpp>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ketra::vesktools::vesk2vidra {

using ketra::fnd::datatype::DataType;

struct Image3DShape {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t depth = 0;
  DataType data_type = DataType::Invalid;
  std::uint8_t bytes_per_pixel = 0;

  std::size_t PixelBytes() const;
};

struct DecodedImage3D {
  Image3DShape shape;
  std::vector<unsigned char> pixels;  // native byte order
};

class VidraEncDecImage3D {
 public:
  static constexpr std::size_t kHeaderSize = 32;
  static constexpr std::uint16_t kVersion = 1;
  static constexpr std::uint8_t kLittleEndian = 1;
  static constexpr std::uint8_t kBigEndian = 2;

  VidraEncDecImage3D() = default;
  ~VidraEncDecImage3D() = default;

  // Writes header and pixels (native order) into `out`, reusing its capacity.
  // Throws std::invalid_argument for a type without a fixed pixel size, a
  // zero dimension, or a pixel byte count that does not match the shape.
  void Encode(std::uint32_t width, std::uint32_t height, std::uint32_t depth, DataType data_type,
              std::span<const unsigned char> pixels, std::vector<unsigned char>& out) const;
  std::vector<unsigned char> Encode(std::uint32_t width, std::uint32_t height, std::uint32_t depth, DataType data_type,
                                    std::span<const unsigned char> pixels) const;

  // Reads and checks the header alone; throws std::runtime_error for a
  // truncated or inconsistent header or a length that does not match it.
  static Image3DShape DecodeShape(std::span<const unsigned char> encoded);

  // Decodes the whole image; pixels come back in native byte order. Throws
  // std::runtime_error like DecodeShape.
  DecodedImage3D Decode(std::span<const unsigned char> encoded) const;
};

}  // namespace ketra::vesktools::vesk2vidra
