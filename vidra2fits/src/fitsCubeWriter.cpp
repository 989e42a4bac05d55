#include "FitsCubeWriter.hpp"

#include <fitsio.h>
#include <fmt/format.h>

#include <memory>
#include <stdexcept>

namespace vidra2fits {

namespace {

using ketra::fnd::datatype::DataType;

struct FitsTypes {
  int image_type;  // BITPIX code for fits_create_img
  int data_type;   // in-memory type code for fits_write_img
};

FitsTypes TypesFor(DataType type) {
  switch (type) {
    case DataType::Char:
      return {SBYTE_IMG, TSBYTE};
    case DataType::Byte:
      return {BYTE_IMG, TBYTE};
    case DataType::Int16:
      return {SHORT_IMG, TSHORT};
    case DataType::UInt16:
      return {USHORT_IMG, TUSHORT};
    case DataType::Int32:
      return {LONG_IMG, TINT};
    case DataType::UInt32:
      return {ULONG_IMG, TUINT};
    case DataType::Int64:
      return {LONGLONG_IMG, TLONGLONG};
    case DataType::UInt64:
      return {ULONGLONG_IMG, TULONGLONG};
    case DataType::Float:
      return {FLOAT_IMG, TFLOAT};
    case DataType::Double:
      return {DOUBLE_IMG, TDOUBLE};
    default:
      throw std::runtime_error(fmt::format("Data type {} cannot be written to FITS", static_cast<int>(type)));
  }
}

void Check(int status, const std::string& step) {
  if (status != 0) {
    char text[FLEN_STATUS] = {};
    fits_get_errstatus(status, text);
    throw std::runtime_error(fmt::format("Error {}: CFITSIO: {}", step, text));
  }
}

struct CloseFits {
  void operator()(fitsfile* file) const {
    int status = 0;
    fits_close_file(file, &status);
  }
};

}  // namespace

void WriteFitsCube(const std::string& path, const std::vector<ketra::vesktools::vesk2vidra::VidraStreamEntry>& entries,
                   const std::string& stream) {
  if (entries.empty()) {
    throw std::runtime_error("No images to write");
  }
  const auto& shape = entries.front().image.shape;
  long depth = 0;
  for (const auto& entry : entries) {
    const auto& other = entry.image.shape;
    if (other.width != shape.width || other.height != shape.height || other.data_type != shape.data_type) {
      throw std::runtime_error(fmt::format("Entry {} has {}x{} pixels of type {}, the first has {}x{} of type {}",
                                           entry.id, other.width, other.height, static_cast<int>(other.data_type),
                                           shape.width, shape.height, static_cast<int>(shape.data_type)));
    }
    depth += other.depth;
  }
  const FitsTypes types = TypesFor(shape.data_type);

  int status = 0;
  fitsfile* raw = nullptr;
  const std::string clobber = "!" + path;  // "!" makes CFITSIO replace an existing file
  fits_create_file(&raw, clobber.c_str(), &status);
  Check(status, fmt::format("creating FITS file {}", path));
  std::unique_ptr<fitsfile, CloseFits> file(raw);

  long axes[3] = {static_cast<long>(shape.width), static_cast<long>(shape.height), depth};
  fits_create_img(file.get(), types.image_type, 3, axes, &status);
  Check(status, "creating the image");
  fits_write_key_str(file.get(), "VIDRASTR", stream.c_str(), "VIDRA stream read", &status);
  fits_write_key_str(file.get(), "FIRSTID", entries.front().id.c_str(), "first stream entry id", &status);
  fits_write_key_str(file.get(), "LASTID", entries.back().id.c_str(), "last stream entry id", &status);
  Check(status, "writing header keywords");

  LONGLONG first = 1;
  for (const auto& entry : entries) {
    const auto count = static_cast<LONGLONG>(entry.image.pixels.size() / entry.image.shape.bytes_per_pixel);
    // CFITSIO takes a non-const buffer but does not change it.
    fits_write_img(file.get(), types.data_type, first, count, const_cast<unsigned char*>(entry.image.pixels.data()),
                   &status);
    Check(status, fmt::format("writing the pixels of entry {}", entry.id));
    first += count;
  }
  raw = file.release();
  fits_close_file(raw, &status);
  Check(status, fmt::format("closing FITS file {}", path));
}

}  // namespace vidra2fits
