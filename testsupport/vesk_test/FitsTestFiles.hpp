#pragma once
// Test helpers: FITS image files written with CFITSIO.

#include <vesk_test/TempDir.hpp>

#include <fitsio.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vesk_test {

// What to write: the image type code of fits_create_img (BYTE_IMG, USHORT_IMG,
// ... which set BITPIX and, for the unsigned types, BZERO), the axes, and the
// pixel values as `write_type` (a CFITSIO data type code), which CFITSIO
// converts and scales into the file. Optional scaling keywords.
struct FitsScaling {
  double bscale = 1.0;
  double bzero = 0.0;
};

inline void CheckFits(int status, const char* step) {
  if (status != 0) {
    char text[FLEN_ERRMSG] = {};
    ffgerr(status, text);
    throw std::runtime_error(std::string("test FITS writer: ") + step + ": " + text);
  }
}

// Writes the image as the primary HDU of a new file at `path` (replaced if present).
inline void WriteFits(const std::string& path, int image_type, std::vector<long> axes, int write_type,
                      const void* values, long long value_count, std::optional<FitsScaling> scaling = std::nullopt) {
  std::filesystem::remove(path);
  int status = 0;
  fitsfile* fptr = nullptr;
  ffinit(&fptr, path.c_str(), &status);
  CheckFits(status, "create file");
  ffcrim(fptr, image_type, static_cast<int>(axes.size()), axes.data(), &status);
  if (scaling) {
    ffukyd(fptr, "BSCALE", scaling->bscale, 15, "scale", &status);
    ffukyd(fptr, "BZERO", scaling->bzero, 15, "offset", &status);
  }
  // Makes CFITSIO use the scaling keywords just written for the pixel write.
  ffrdef(fptr, &status);
  if (value_count > 0) {
    ffppr(fptr, write_type, 1, value_count, const_cast<void*>(values), &status);
  }
  ffclos(fptr, &status);
  CheckFits(status, "write image");
}

// A three-axis cube of `width` x `height` x `depth` 16-bit pixels whose value
// is the plane index (so each plane can be recognised on the wire).
inline void WritePlaneIndexCube16(const std::string& path, long width, long height, long depth) {
  std::vector<std::int16_t> values(static_cast<std::size_t>(width * height * depth));
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = static_cast<std::int16_t>(static_cast<long>(i) / (width * height));
  }
  WriteFits(path, SHORT_IMG, {width, height, depth}, TSHORT, values.data(), static_cast<long long>(values.size()));
}

}  // namespace vesk_test

namespace vesk_test {

// Writes a file whose primary HDU is empty and whose first extension holds
// the image tile-compressed with `compression` (RICE_1, GZIP_1, ...), one
// tile per image row, as fpack and astropy write it.
inline void WriteCompressedFits(const std::string& path, int compression, int image_type, std::vector<long> axes,
                                int write_type, const void* values, long long value_count) {
  std::filesystem::remove(path);
  int status = 0;
  fitsfile* fptr = nullptr;
  ffinit(&fptr, path.c_str(), &status);
  CheckFits(status, "create file");
  fits_set_compression_type(fptr, compression, &status);
  ffcrim(fptr, image_type, static_cast<int>(axes.size()), axes.data(), &status);
  ffppr(fptr, write_type, 1, value_count, const_cast<void*>(values), &status);
  ffclos(fptr, &status);
  CheckFits(status, "write compressed image");
}

// Replaces the value of the first header card `keyword` in the file with
// `value` (right-justified in the card's value field), as a forged header
// would have it.
inline void ForgeHeaderValue(const std::string& path, const std::string& keyword, long long value) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::string card_start = (keyword + std::string(8, ' ')).substr(0, 8) + "= ";
  for (std::size_t at = 0; at + 80 <= text.size(); at += 80) {
    if (text.compare(at, 10, card_start) == 0) {
      const std::string field = std::to_string(value);
      file.seekp(static_cast<std::streamoff>(at + 10));
      file << std::string(20 - field.size(), ' ') << field;
      return;
    }
  }
  throw std::runtime_error("no " + keyword + " card in " + path);
}

}  // namespace vesk_test
