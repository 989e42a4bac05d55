#pragma once
// Loading a three-axis FITS image cube into memory.

#include <ketra/fnd/datatype/DataType.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace ketra::vesktools::vesklib_korvel {

struct FitsImageCube {
  std::int32_t depth = 0;          // NAXIS3
  std::int32_t height = 0;         // NAXIS2
  std::int32_t width = 0;          // NAXIS1
  std::int32_t bitpix = 0;         // BITPIX of the pixels as delivered (see LoadFitsImageCube)
  std::vector<std::uint8_t> data;  // native byte order, NAXIS1 fastest
  // Pixel type of `data`. The cube is read with CFITSIO's equivalent image
  // type, so BSCALE/BZERO are applied and true values come out:
  //   BITPIX 8,  no scaling             -> Byte   (bitpix 8)
  //   BITPIX 8,  BZERO -128             -> Char   (bitpix 8, signed bytes)
  //   BITPIX 16, no scaling             -> Int16  (bitpix 16)
  //   BITPIX 16, BZERO 32768            -> UInt16 (bitpix 16)
  //   BITPIX 32, no scaling             -> Int32  (bitpix 32)
  //   BITPIX 32, BZERO 2147483648       -> UInt32 (bitpix 32)
  //   BITPIX 64, no scaling             -> Int64  (bitpix 64)
  //   BITPIX 64, BZERO 9223372036854775808 -> UInt64 (bitpix 64)
  //   BITPIX -32 / -64                  -> Float (-32) / Double (-64)
  //   other BSCALE/BZERO on integers    -> the type CFITSIO names as holding the
  //                                        scaled values: Float (-32), Double
  //                                        (-64), or a wider integer type
  // `bitpix` is then the BITPIX of the delivered pixels (16 for UInt16 too).
  ketra::fnd::datatype::DataType data_type = ketra::fnd::datatype::Invalid;
};

// Reads the three-axis image of the HDU that `path` names in CFITSIO's
// extended file name syntax: the primary HDU for a bare file name, the first
// extension for "file.fits[1]". A tile-compressed image (fpack, astropy) is
// read like a plain one. Throws std::runtime_error on failure.
FitsImageCube LoadFitsImageCube(const char* path);

// Does nothing for status 0; otherwise throws std::runtime_error
// "Error <message>. CFITSIO: <CFITSIO's message>.".
void HandleCfitsioError(const std::string& message, int status);

}  // namespace ketra::vesktools::vesklib_korvel
