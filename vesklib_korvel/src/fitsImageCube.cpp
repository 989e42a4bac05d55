// Loading a FITS image cube (three axes, the HDU the name selects) through
// CFITSIO.

#include <vesklib_korvel/FitsImageCube.hpp>

#include <fitsio.h>
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <stdexcept>

namespace ketra::vesktools::vesklib_korvel {

namespace {

using ketra::fnd::datatype::DataType;

// How pixels of one equivalent image type are requested from CFITSIO and
// what the caller gets.
struct PixelReadType {
  int cfitsio_type = 0;  // CFITSIO data type code of the read (0: none)
  int bitpix = 0;        // BITPIX of the delivered pixels
  int bytes = 0;         // bytes per delivered pixel
  DataType data_type = ketra::fnd::datatype::Invalid;
};

// Maps CFITSIO's equivalent image type (BITPIX after BSCALE/BZERO) to the
// in-memory type that holds its values exactly.
PixelReadType ReadTypeFor(int equivalent_type) {
  namespace dt = ketra::fnd::datatype;
  switch (equivalent_type) {
    case BYTE_IMG:
      return {TBYTE, 8, 1, dt::Byte};
    case SBYTE_IMG:
      return {TSBYTE, 8, 1, dt::Char};
    case SHORT_IMG:
      return {TSHORT, 16, 2, dt::Int16};
    case USHORT_IMG:
      return {TUSHORT, 16, 2, dt::UInt16};
    case LONG_IMG:
      return {TINT, 32, 4, dt::Int32};
    case ULONG_IMG:
      return {TUINT, 32, 4, dt::UInt32};
    case LONGLONG_IMG:
      return {TLONGLONG, 64, 8, dt::Int64};
    case ULONGLONG_IMG:
      return {TULONGLONG, 64, 8, dt::UInt64};
    case FLOAT_IMG:
      return {TFLOAT, -32, 4, dt::Float};
    case DOUBLE_IMG:
      return {TDOUBLE, -64, 8, dt::Double};
    default:
      return {};
  }
}

// Owns an open CFITSIO file; closes it on every way out unless Close() did.
class FitsFile {
 public:
  FitsFile() = default;
  FitsFile(const FitsFile&) = delete;
  FitsFile& operator=(const FitsFile&) = delete;
  ~FitsFile() {
    if (m_fptr != nullptr) {
      int ignored = 0;
      ffclos(m_fptr, &ignored);
    }
  }
  fitsfile** Out() { return &m_fptr; }
  fitsfile* Get() const { return m_fptr; }
  // Closes the file; `status` keeps an earlier error and receives the close's.
  void Close(int& status) {
    fitsfile* fptr = m_fptr;
    m_fptr = nullptr;
    ffclos(fptr, &status);
  }

 private:
  fitsfile* m_fptr = nullptr;
};

// Pixels read per CFITSIO call from a tile-compressed image: 4 Mi pixels, four
// 1024 x 1024 images.
constexpr LONGLONG kPixelsPerCompressedRead = LONGLONG{1} << 22;

// The text added to the dimension error when the name read an empty primary
// HDU of a file that has extensions (as fpack and astropy write compressed
// images): the cube is then in an extension the name must select.
std::string EmptyPrimaryHint(fitsfile* fptr, int naxis, const char* path) {
  int status = 0;
  int hdu = 0;
  int hdus = 0;
  ffghdn(fptr, &hdu);
  if (naxis != 0 || hdu != 1 || ffthdu(fptr, &hdus, &status) != 0 || hdus < 2) {
    return "";
  }
  return fmt::format(" (its primary HDU holds no image; name the extension that holds the cube, e.g. {}[1])", path);
}

// Reports a cube that cannot be held, or whose pixels cannot lie in the
// file, like the read that would have failed on it.
[[noreturn]] void RefuseSize(FitsFile& file, const std::array<LONGLONG, 3>& naxes, int bitpix, const char* path,
                             const char* reason) {
  int status = 0;
  file.Close(status);
  ffcmsg();
  ffpmsg(fmt::format("image of {}x{}x{} pixels of BITPIX {} {}", naxes[0], naxes[1], naxes[2], bitpix, reason).c_str());
  HandleCfitsioError(fmt::format("Error reading image data for FITS file: {}", path), END_OF_FILE);
  throw std::logic_error("HandleCfitsioError returned for a failure");
}

// Reads `count` pixels from pixel `first` (0-based, NAXIS1 fastest) into
// `out`.
int ReadPixels(fitsfile* fptr, const PixelReadType& read_type, const std::array<LONGLONG, 3>& naxes, LONGLONG first,
               LONGLONG count, std::uint8_t* out, int& status) {
  std::array<LONGLONG, 3> first_pixel{first % naxes[0] + 1, first / naxes[0] % naxes[1] + 1,
                                      first / (naxes[0] * naxes[1]) + 1};
  return ffgpxvll(fptr, read_type.cfitsio_type, first_pixel.data(), count, nullptr, out, nullptr, &status);
}

// Reads a tile-compressed image a part at a time. Its size in the header
// cannot be checked against the file (the tiles may compress far), so
// `data` grows only with the pixels CFITSIO has decompressed: a forged size
// fails on the first tile that is not there, before memory for it is taken.
int ReadCompressedPixels(fitsfile* fptr, const PixelReadType& read_type, const std::array<LONGLONG, 3>& naxes,
                         LONGLONG elements, std::vector<std::uint8_t>& data, int& status) {
  const auto bytes = static_cast<std::size_t>(read_type.bytes);
  const std::size_t total = static_cast<std::size_t>(elements) * bytes;
  for (LONGLONG done = 0; done < elements;) {
    const LONGLONG count = std::min(kPixelsPerCompressedRead, elements - done);
    const std::size_t begin = static_cast<std::size_t>(done) * bytes;
    const std::size_t end = begin + static_cast<std::size_t>(count) * bytes;
    if (data.capacity() < end) {
      data.reserve(std::min(total, std::max(end, 2 * data.capacity())));
    }
    data.resize(end);
    if (ReadPixels(fptr, read_type, naxes, done, count, data.data() + begin, status) != 0) {
      return status;
    }
    done += count;
  }
  return status;
}

}  // namespace

FitsImageCube LoadFitsImageCube(const char* path) {
  // Messages of earlier failures must not be reported as this file's.
  ffcmsg();
  int status = 0;
  FitsFile file;
  if (ffopen(file.Out(), path, READONLY, &status) != 0) {
    *file.Out() = nullptr;
    std::cerr << "Error opening FITS file: " << path << "\n";
    throw std::runtime_error(fmt::format("Error opening FITS file: {}", path));
  }

  int naxis = 0;
  if (ffgidm(file.Get(), &naxis, &status) != 0 || naxis != 3) {
    const std::string hint = status == 0 ? EmptyPrimaryHint(file.Get(), naxis, path) : std::string();
    file.Close(status);
    throw std::runtime_error(fmt::format("Error getting image dimensions for FITS file: {}{}", path, hint));
  }

  std::array<LONGLONG, 3> naxes{0, 0, 0};
  if (ffgiszll(file.Get(), 3, naxes.data(), &status) != 0) {
    file.Close(status);
    throw std::runtime_error(fmt::format("Error getting image size for FITS file: {}", path));
  }

  int bitpix = 0;
  int equivalent_type = 0;
  if (ffgidt(file.Get(), &bitpix, &status) != 0 || ffgiet(file.Get(), &equivalent_type, &status) != 0) {
    file.Close(status);
    throw std::runtime_error(fmt::format("Error getting BITPIX value for FITS file: {}", path));
  }

  const PixelReadType read_type = ReadTypeFor(equivalent_type);
  if (read_type.cfitsio_type == 0) {
    std::cerr << "Unknown BITPIX value: " << bitpix << "\n";
  }

  // The pixel count and the delivered bytes must be representable.
  LONGLONG elements = 1;
  LONGLONG delivered_bytes = 0;
  bool representable = true;
  for (const LONGLONG n : naxes) {
    representable = representable && n >= 0 && n <= std::numeric_limits<std::int32_t>::max() &&
                    !__builtin_mul_overflow(elements, n, &elements);
  }
  representable = representable && !__builtin_mul_overflow(elements, read_type.bytes, &delivered_bytes) &&
                  static_cast<unsigned long long>(delivered_bytes) <= std::numeric_limits<std::size_t>::max();
  if (!representable) {
    RefuseSize(file, naxes, bitpix, path, "cannot be held in memory");
  }

  const bool compressed = fits_is_compressed_image(file.Get(), &status) != 0;
  std::vector<std::uint8_t> data;
  if (compressed) {
    if (ReadCompressedPixels(file.Get(), read_type, naxes, elements, data, status) != 0) {
      file.Close(status);
      HandleCfitsioError(fmt::format("Error reading image data for FITS file: {}", path), status);
    }
  } else {
    // A forged header must not make the loader reserve more than the file
    // holds: the stored pixels, |BITPIX| / 8 bytes each from the data start
    // on, must lie within the file (CFITSIO's logical size, which for a
    // gzip-compressed file is its uncompressed size).
    LONGLONG stored_bytes = 0;
    const LONGLONG data_start = std::max<LONGLONG>(file.Get()->Fptr->datastart, 0);
    if (__builtin_mul_overflow(elements, std::abs(bitpix) / 8, &stored_bytes) ||
        stored_bytes > file.Get()->Fptr->logfilesize - data_start) {
      RefuseSize(file, naxes, bitpix, path, "does not fit in the file");
    }
    data.resize(static_cast<std::size_t>(delivered_bytes));
    if (elements > 0 && ReadPixels(file.Get(), read_type, naxes, 0, elements, data.data(), status) != 0) {
      file.Close(status);
      HandleCfitsioError(fmt::format("Error reading image data for FITS file: {}", path), status);
    }
  }

  file.Close(status);
  if (status != 0) {
    throw std::runtime_error(fmt::format("Error closing FITS file: {}", path));
  }

  FitsImageCube cube;
  cube.depth = static_cast<std::int32_t>(naxes[2]);
  cube.height = static_cast<std::int32_t>(naxes[1]);
  cube.width = static_cast<std::int32_t>(naxes[0]);
  cube.bitpix = read_type.bitpix != 0 ? read_type.bitpix : bitpix;
  cube.data = std::move(data);
  cube.data_type = read_type.data_type;
  return cube;
}

void HandleCfitsioError(const std::string& message, int status) {
  if (status == 0) {
    return;
  }
  std::array<char, 128> text{};
  ffgmsg(text.data());
  throw std::runtime_error(fmt::format("Error {}. CFITSIO: {}.", message, text.data()));
}

}  // namespace ketra::vesktools::vesklib_korvel
