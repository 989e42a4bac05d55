// vesk-make-cube: writes a small three-axis FITS cube of 16-bit pixels for
// the demo, the end-to-end tests and a first stream.
//   vesk-make-cube <file> <width> <height> <depth>
// Pixel (x, y, z) holds (x + 3 y + 7 z) mod 1000, so frames differ.

#include <fitsio.h>

#include <vesktools/Version.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage = "Usage: vesk-make-cube <file> <width> <height> <depth>\n";

constexpr const char* kHelp =
    "Writes a three-axis FITS cube of <depth> images of <width> x <height>\n"
    "16-bit pixels (BITPIX 16, no BZERO), for veskfeed to stream as Int16;\n"
    "each size is 1 to 16384.\n"
    "Pixel (x, y, z) holds (x + 3 y + 7 z) mod 1000, so the images differ.\n"
    "An existing <file> is replaced.\n"
    "\n"
    "Options:\n"
    "  -h [ --help ]         Print help messages\n"
    "  --version             Print the program's name and version\n";

bool ParseSize(const char* text, long& out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value <= 0 || value > 16384) return false;
  out = value;
  return true;
}

int Fail(const char* step, int status) {
  char text[FLEN_STATUS] = {};
  fits_get_errstatus(status, text);
  std::fprintf(stderr, "vesk-make-cube: %s failed: %s\n", step, text);
  return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  // Help and version win over the other arguments, wherever they stand.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("%s\n%s", kUsage, kHelp);
      return 0;
    }
  }
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s\n", ketra::vesktools::VersionLine("vesk-make-cube").c_str());
      return 0;
    }
  }
  long naxes[3] = {};
  if (argc != 5 || !ParseSize(argv[2], naxes[0]) || !ParseSize(argv[3], naxes[1]) || !ParseSize(argv[4], naxes[2])) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  const long pixels = naxes[0] * naxes[1] * naxes[2];
  std::vector<short> data(static_cast<std::size_t>(pixels));
  std::size_t i = 0;
  for (long z = 0; z < naxes[2]; ++z) {
    for (long y = 0; y < naxes[1]; ++y) {
      for (long x = 0; x < naxes[0]; ++x) data[i++] = static_cast<short>((x + 3 * y + 7 * z) % 1000);
    }
  }

  // A leading '!' makes CFITSIO replace an existing file.
  const std::string path = std::string("!") + argv[1];
  fitsfile* file = nullptr;
  int status = 0;
  if (fits_create_file(&file, path.c_str(), &status)) return Fail("creating the file", status);
  if (fits_create_img(file, SHORT_IMG, 3, naxes, &status) ||
      fits_write_img(file, TSHORT, 1, static_cast<LONGLONG>(pixels), data.data(), &status)) {
    int ignored = 0;
    fits_close_file(file, &ignored);
    return Fail("writing the image", status);
  }
  if (fits_close_file(file, &status)) return Fail("closing the file", status);
  return 0;
}
