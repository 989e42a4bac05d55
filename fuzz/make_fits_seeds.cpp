// Writes the small FITS cubes of the loader's seed corpus: one per stored
// pixel type and scaling the loader distinguishes. Run once; the files are
// kept in fuzz/corpus/fits_cube_fuzz/.
//   make_fits_seeds <directory>

#include <fitsio.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Seed {
  const char* name;
  int bitpix;
  long width, height, depth;
  double bscale, bzero;  // written only when not 1 / 0
};

bool Write(const std::string& path, const Seed& s) {
  int status = 0;
  fitsfile* f = nullptr;
  const std::string target = "!" + path;  // overwrite
  long axes[3] = {s.width, s.height, s.depth};
  fits_create_file(&f, target.c_str(), &status);
  fits_create_img(f, s.bitpix, 3, axes, &status);
  if (s.bscale != 1.0 || s.bzero != 0.0) {
    double bscale = s.bscale;
    double bzero = s.bzero;
    fits_update_key(f, TDOUBLE, "BSCALE", &bscale, nullptr, &status);
    fits_update_key(f, TDOUBLE, "BZERO", &bzero, nullptr, &status);
    fits_set_bscale(f, 1.0, 0.0, &status);  // write the stored values as given
  }
  const long n = s.width * s.height * s.depth;
  std::vector<double> values(static_cast<std::size_t>(n));
  for (long i = 0; i < n; ++i) values[static_cast<std::size_t>(i)] = static_cast<double>((i * 37) % 101);
  fits_write_img(f, TDOUBLE, 1, n, values.data(), &status);
  fits_close_file(f, &status);
  if (status != 0) {
    fits_report_error(stderr, status);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fits_seeds <directory>\n");
    return 2;
  }
  const std::string dir = argv[1];
  const Seed seeds[] = {
      {"byte_3x2x2.fits", 8, 3, 2, 2, 1.0, 0.0},        {"int16_4x3x2.fits", 16, 4, 3, 2, 1.0, 0.0},
      {"uint16_4x3x2.fits", 16, 4, 3, 2, 1.0, 32768.0}, {"int32_scaled_3x3x2.fits", 32, 3, 3, 2, 0.5, 1.0},
      {"float_2x2x3.fits", -32, 2, 2, 3, 1.0, 0.0},     {"int64_2x2x2.fits", 64, 2, 2, 2, 1.0, 0.0},
      {"sbyte_5x1x2.fits", 8, 5, 1, 2, 1.0, -128.0},
  };
  for (const Seed& s : seeds) {
    if (!Write(dir + "/" + s.name, s)) return 1;
  }
  return 0;
}
