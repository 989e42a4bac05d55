// VIDRA image decoding (the decoder vidra2fits reads stream entries with) on
// arbitrary bytes, and encoding of arbitrary pixels.
// Invariants: decoding either refuses with std::runtime_error or yields a
// consistent shape (non-zero dimensions, a fixed-size pixel type whose size
// the header states, pixel bytes = input - 32); DecodeShape agrees; encoding
// the decoded image and decoding that gives the same image; an input in
// native byte order with zero reserved bytes is reproduced byte for byte, a
// foreign-order one comes back with every pixel's bytes reversed.
// Encoding arbitrary pixels as a 1 x n x 1 image of a chosen type decodes to
// the same pixels.

#include "FuzzSupport.hpp"

#include <vesk2vidra/VidraEncDecImage3D.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <span>
#include <stdexcept>
#include <vector>

namespace {

namespace dt = ketra::fnd::datatype;
using ketra::vesktools::vesk2vidra::DecodedImage3D;
using ketra::vesktools::vesk2vidra::VidraEncDecImage3D;

constexpr std::uint8_t kNative =
    std::endian::native == std::endian::little ? VidraEncDecImage3D::kLittleEndian : VidraEncDecImage3D::kBigEndian;

void CheckDecode(std::span<const unsigned char> input) {
  const VidraEncDecImage3D codec;
  DecodedImage3D image;
  try {
    image = codec.Decode(input);
  } catch (const std::runtime_error&) {
    bool shape_refused = false;
    try {
      VidraEncDecImage3D::DecodeShape(input);
    } catch (const std::runtime_error&) {
      shape_refused = true;
    }
    VESK_FUZZ_CHECK(shape_refused);
    return;
  }
  const auto& shape = image.shape;
  VESK_FUZZ_CHECK(shape.width != 0 && shape.height != 0 && shape.depth != 0);
  VESK_FUZZ_CHECK(shape.bytes_per_pixel > 0);
  VESK_FUZZ_CHECK(dt::GetBytesPerPixel(shape.data_type) == shape.bytes_per_pixel);
  VESK_FUZZ_CHECK(image.pixels.size() == input.size() - VidraEncDecImage3D::kHeaderSize);
  VESK_FUZZ_CHECK(image.pixels.size() == shape.PixelBytes());
  const auto again_shape = VidraEncDecImage3D::DecodeShape(input);
  VESK_FUZZ_CHECK(again_shape.width == shape.width && again_shape.height == shape.height &&
                  again_shape.depth == shape.depth && again_shape.data_type == shape.data_type);

  const std::vector<unsigned char> encoded =
      codec.Encode(shape.width, shape.height, shape.depth, shape.data_type, image.pixels);
  const DecodedImage3D round_trip = codec.Decode(encoded);
  VESK_FUZZ_CHECK(round_trip.pixels == image.pixels);

  const auto* pixels_in = input.data() + VidraEncDecImage3D::kHeaderSize;
  const bool reserved_zero = input[30] == 0 && input[31] == 0;
  if (input[29] == kNative && reserved_zero) {
    VESK_FUZZ_CHECK(std::equal(encoded.begin(), encoded.end(), input.begin(), input.end()));
  } else if (input[29] != kNative) {
    const std::size_t bpp = shape.bytes_per_pixel;
    for (std::size_t at = 0; at < image.pixels.size(); at += bpp) {
      for (std::size_t b = 0; b < bpp; ++b) VESK_FUZZ_CHECK(image.pixels[at + b] == pixels_in[at + bpp - 1 - b]);
    }
  }
}

void CheckEncode(std::uint8_t selector, std::span<const unsigned char> pixels) {
  static constexpr std::array<dt::DataType, 10> kTypes{dt::Char,   dt::Byte,  dt::Int16,  dt::UInt16, dt::Int32,
                                                       dt::UInt32, dt::Int64, dt::UInt64, dt::Float,  dt::Double};
  const dt::DataType type = kTypes[selector % kTypes.size()];
  const std::size_t bpp = static_cast<std::size_t>(dt::GetBytesPerPixel(type));
  const std::size_t count = pixels.size() / bpp;
  if (count == 0) return;
  const auto whole = pixels.first(count * bpp);
  const VidraEncDecImage3D codec;
  const std::vector<unsigned char> encoded = codec.Encode(1, static_cast<std::uint32_t>(count), 1, type, whole);
  VESK_FUZZ_CHECK(encoded.size() == VidraEncDecImage3D::kHeaderSize + whole.size());
  const DecodedImage3D image = codec.Decode(encoded);
  VESK_FUZZ_CHECK(image.shape.width == 1 && image.shape.height == count && image.shape.depth == 1);
  VESK_FUZZ_CHECK(image.shape.data_type == type);
  VESK_FUZZ_CHECK(std::equal(image.pixels.begin(), image.pixels.end(), whole.begin(), whole.end()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const unsigned char> input(data, size);
  CheckDecode(input);
  if (size > 0) CheckEncode(data[0], input.subspan(1));
  return 0;
}
