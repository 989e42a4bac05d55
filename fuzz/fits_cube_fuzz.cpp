// LoadFitsImageCube on mutated FITS files: the input is written to a
// temporary file which the loader then reads.
// Invariants: the loader either throws std::runtime_error or returns a cube
// whose pixel bytes are width x height x depth x the delivered pixel size;
// the pixel count never exceeds the file's size (every stored pixel takes at
// least one byte of the file), so a forged header cannot make the loader
// allocate beyond what the file holds (at most 8 delivered bytes per stored
// byte, for 8-bit pixels scaled to doubles).

#include "FuzzSupport.hpp"

#include <ketra/fnd/posix/UniqueFd.hpp>
#include <vesklib_korvel/FitsImageCube.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

namespace dt = ketra::fnd::datatype;
using ketra::vesktools::vesklib_korvel::FitsImageCube;
using ketra::vesktools::vesklib_korvel::LoadFitsImageCube;

// The file the inputs are written to; removed when the process ends.
class ScratchFile {
 public:
  ScratchFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/vesk-fits-fuzz-XXXXXX";
    m_fd.Reset(::mkstemp(pattern.data()));
    if (!m_fd.Valid()) std::abort();
    m_path = pattern;
  }
  ~ScratchFile() { ::unlink(m_path.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  void Write(const std::uint8_t* data, std::size_t size) const {
    if (::ftruncate(m_fd.Get(), 0) != 0) std::abort();
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pwrite(m_fd.Get(), data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
  }
  const char* Path() const { return m_path.c_str(); }

 private:
  ketra::fnd::UniqueFd m_fd;
  std::string m_path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const ScratchFile file;
  file.Write(data, size);
  FitsImageCube cube;
  try {
    cube = LoadFitsImageCube(file.Path());
  } catch (const std::runtime_error&) {
    return 0;
  }
  VESK_FUZZ_CHECK(cube.width >= 0 && cube.height >= 0 && cube.depth >= 0);
  const std::uint64_t pixels =
      std::uint64_t(std::uint32_t(cube.width)) * std::uint32_t(cube.height) * std::uint32_t(cube.depth);
  VESK_FUZZ_CHECK(pixels <= size);
  const int bpp = dt::GetBytesPerPixel(cube.data_type);
  VESK_FUZZ_CHECK(bpp > 0 || pixels == 0);
  VESK_FUZZ_CHECK(cube.data.size() == pixels * static_cast<std::uint64_t>(bpp > 0 ? bpp : 0));
  VESK_FUZZ_CHECK(cube.data.size() <= 8 * std::uint64_t{size});
  return 0;
}
