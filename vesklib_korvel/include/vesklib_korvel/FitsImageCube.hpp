#pragma once
// Loading a three-axis FITS image cube into memory.

#include <cstdint>
#include <string>
#include <vector>

namespace ketra::vesktools::vesklib_korvel {

struct FitsImageCube {
  std::int32_t depth = 0;   // NAXIS3
  std::int32_t height = 0;  // NAXIS2
  std::int32_t width = 0;   // NAXIS1
  std::int32_t bitpix = 0;  // BITPIX of the pixels as delivered (see LoadFitsImageCube)
  std::vector<std::uint8_t> data;  // native byte order, NAXIS1 fastest
};

// Reads the primary image of `path`; throws std::runtime_error on failure.
FitsImageCube LoadFitsImageCube(const char* path);

// Does nothing for status 0; otherwise throws std::runtime_error
// "Error <message>. CFITSIO: <CFITSIO's message>.".
void HandleCfitsioError(const std::string& message, int status);

}  // namespace ketra::vesktools::vesklib_korvel
