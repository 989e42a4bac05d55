// FITS cube loader on cubes written here with CFITSIO: every BITPIX with
// values and byte order, the unsigned and scaled conventions, wrong axis
// counts, tile-compressed extensions, forged sizes, missing and truncated
// files, and the CFITSIO error text.

#include <vesk_test/FitsTestFiles.hpp>

#include <vesklib_korvel/FitsImageCube.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vk = ketra::vesktools::vesklib_korvel;
namespace dt = ketra::fnd::datatype;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

constexpr std::size_t kFitsBlock = 2880;

template <typename T>
std::vector<T> ValuesOf(const vk::FitsImageCube& cube) {
  EXPECT_EQ(cube.data.size() % sizeof(T), 0u);
  std::vector<T> values(cube.data.size() / sizeof(T));
  std::memcpy(values.data(), cube.data.data(), values.size() * sizeof(T));
  return values;
}

std::string LoadError(const std::string& path) {
  try {
    vk::LoadFitsImageCube(path.c_str());
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "<loaded>";
}

// The first data bytes of a single-HDU file (the header is one block here).
std::vector<unsigned char> FileDataBytes(const std::string& path, std::size_t count) {
  std::ifstream in(path, std::ios::binary);
  std::vector<unsigned char> all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return {all.begin() + kFitsBlock, all.begin() + kFitsBlock + count};
}

template <typename T>
vk::FitsImageCube WriteAndLoad(const vesk_test::TempDir& dir, int image_type, int write_type,
                               const std::vector<T>& values, std::vector<long> axes = {4, 3, 2}) {
  const std::string path = dir.File("cube.fits");
  vesk_test::WriteFits(path, image_type, axes, write_type, values.data(), static_cast<long long>(values.size()));
  return vk::LoadFitsImageCube(path.c_str());
}

template <typename T>
std::vector<T> Ramp(T first, T step, std::size_t count = 24) {
  std::vector<T> values(count);
  for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<T>(first + static_cast<T>(i) * step);
  return values;
}

// Camera-like images: a smooth pattern that differs from image to image plus
// a little noise, so that they compress as real frames do.
template <typename T>
std::vector<T> CameraImages(long width, long height, long depth, long base) {
  std::vector<T> values(static_cast<std::size_t>(width * height * depth));
  std::uint32_t noise = 12345;
  std::size_t i = 0;
  for (long z = 0; z < depth; ++z) {
    for (long y = 0; y < height; ++y) {
      for (long x = 0; x < width; ++x) {
        noise = noise * 1103515245u + 12345u;
        values[i++] = static_cast<T>(base + (x + 3 * y + 7 * z) % 1000 + static_cast<long>(noise >> 28));
      }
    }
  }
  return values;
}

// "" when the cube holds `expected`, else where the first pixel differs.
template <typename T>
std::string PixelDifference(const vk::FitsImageCube& cube, const std::vector<T>& expected) {
  const std::vector<T> loaded = ValuesOf<T>(cube);
  if (loaded.size() != expected.size()) {
    return "pixel count " + std::to_string(loaded.size()) + " instead of " + std::to_string(expected.size());
  }
  for (std::size_t i = 0; i < loaded.size(); ++i) {
    if (loaded[i] != expected[i]) {
      return "pixel " + std::to_string(i) + " is " + std::to_string(loaded[i]) + " instead of " +
             std::to_string(expected[i]);
    }
  }
  return "";
}

// How a load in a child process with limited memory ended.
struct LimitedLoad {
  int status = -1;      // 0: std::runtime_error, 2: loaded, 3: another exception
  std::string message;  // the runtime_error's text
};

// AddressSanitizer reserves terabytes of address space for its shadow
// memory, so under it the child runs without the limit (the messages are
// still checked).
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCanLimitAddressSpace = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kCanLimitAddressSpace = false;
#else
constexpr bool kCanLimitAddressSpace = true;
#endif
#else
constexpr bool kCanLimitAddressSpace = true;
#endif

// Loads `path` in a child process whose address space is limited to 1 GiB,
// so that a loader trusting a forged size fails by memory instead of by its
// own check.
LimitedLoad LoadWithLimitedMemory(const std::string& path) {
  std::array<int, 2> fds{};
  if (pipe(fds.data()) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid == 0) {
    ::close(fds[0]);
    const rlimit limit{rlim_t{1} << 30, rlim_t{1} << 30};
    if (kCanLimitAddressSpace && setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(4);
    try {
      vk::LoadFitsImageCube(path.c_str());
    } catch (const std::runtime_error& error) {
      const std::string text = error.what();
      (void)!::write(fds[1], text.data(), text.size());
      std::_Exit(0);
    } catch (...) {
      std::_Exit(3);
    }
    std::_Exit(2);
  }
  ::close(fds[1]);
  LimitedLoad result;
  std::array<char, 512> buffer{};
  for (ssize_t got = 0; (got = ::read(fds[0], buffer.data(), buffer.size())) > 0;) {
    result.message.append(buffer.data(), static_cast<std::size_t>(got));
  }
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace

TEST(FitsImageCube, Int16CubeHasDimensionsValuesAndNativeByteOrder) {
  vesk_test::TempDir dir;
  const auto values = Ramp<std::int16_t>(0x0102, 0x0101);
  const auto cube = WriteAndLoad(dir, SHORT_IMG, TSHORT, values);
  EXPECT_EQ(cube.width, 4);
  EXPECT_EQ(cube.height, 3);
  EXPECT_EQ(cube.depth, 2);
  EXPECT_EQ(cube.bitpix, 16);
  EXPECT_EQ(cube.data_type, dt::Int16);
  ASSERT_EQ(cube.data.size(), 48u);
  EXPECT_EQ(ValuesOf<std::int16_t>(cube), values);
  // The file holds big-endian 0x0102; memory holds the host's order.
  EXPECT_EQ(FileDataBytes(dir.File("cube.fits"), 2), (std::vector<unsigned char>{0x01, 0x02}));
  std::int16_t first = 0;
  std::memcpy(&first, cube.data.data(), 2);
  EXPECT_EQ(first, 0x0102);
}

TEST(FitsImageCube, EveryBitpixDeliversExactValues) {
  vesk_test::TempDir dir;
  {
    const auto values = Ramp<std::uint8_t>(3, 10);
    const auto cube = WriteAndLoad(dir, BYTE_IMG, TBYTE, values);
    EXPECT_EQ(cube.bitpix, 8);
    EXPECT_EQ(cube.data_type, dt::Byte);
    EXPECT_EQ(ValuesOf<std::uint8_t>(cube), values);
  }
  {
    const auto values = Ramp<std::int32_t>(-100000, 0x01020304);
    const auto cube = WriteAndLoad(dir, LONG_IMG, TINT, values);
    EXPECT_EQ(cube.bitpix, 32);
    EXPECT_EQ(cube.data_type, dt::Int32);
    EXPECT_EQ(cube.data.size(), 96u);
    EXPECT_EQ(ValuesOf<std::int32_t>(cube), values);
  }
  {
    const auto values = Ramp<long long>(-(1LL << 40), 0x0102030405LL);
    const auto cube = WriteAndLoad(dir, LONGLONG_IMG, TLONGLONG, values);
    EXPECT_EQ(cube.bitpix, 64);
    EXPECT_EQ(cube.data_type, dt::Int64);
    EXPECT_EQ(cube.data.size(), 192u);
    EXPECT_EQ(ValuesOf<long long>(cube), values);
  }
  {
    const auto values = Ramp<float>(-2.5f, 0.125f);
    const auto cube = WriteAndLoad(dir, FLOAT_IMG, TFLOAT, values);
    EXPECT_EQ(cube.bitpix, -32);
    EXPECT_EQ(cube.data_type, dt::Float);
    EXPECT_EQ(ValuesOf<float>(cube), values);
  }
  {
    const auto values = Ramp<double>(1e300, -3e298);
    const auto cube = WriteAndLoad(dir, DOUBLE_IMG, TDOUBLE, values);
    EXPECT_EQ(cube.bitpix, -64);
    EXPECT_EQ(cube.data_type, dt::Double);
    EXPECT_EQ(cube.data.size(), 192u);
    EXPECT_EQ(ValuesOf<double>(cube), values);
  }
}

// Unsigned data stored the FITS way (signed integers with BZERO) comes out
// as unsigned pixels of the same size, with the true values.
TEST(FitsImageCube, UnsignedConventionsComeOutUnsigned) {
  vesk_test::TempDir dir;
  {
    const auto values = Ramp<std::uint16_t>(0, 2849);  // up to 65527, above the signed range
    const auto cube = WriteAndLoad(dir, USHORT_IMG, TUSHORT, values);
    EXPECT_EQ(cube.bitpix, 16);
    EXPECT_EQ(cube.data_type, dt::UInt16);
    EXPECT_EQ(cube.data.size(), 48u);
    EXPECT_EQ(ValuesOf<std::uint16_t>(cube), values);
  }
  {
    const auto values = Ramp<std::uint32_t>(7, 186000000u);  // up to about 4.3e9
    const auto cube = WriteAndLoad(dir, ULONG_IMG, TUINT, values);
    EXPECT_EQ(cube.bitpix, 32);
    EXPECT_EQ(cube.data_type, dt::UInt32);
    EXPECT_EQ(ValuesOf<std::uint32_t>(cube), values);
  }
  {
    const auto values = Ramp<signed char>(-128, 11);
    const auto cube = WriteAndLoad(dir, SBYTE_IMG, TSBYTE, values);
    EXPECT_EQ(cube.bitpix, 8);
    EXPECT_EQ(cube.data_type, dt::Char);
    EXPECT_EQ(ValuesOf<signed char>(cube), values);
  }
}

// Other scaling keeps fractional values instead of truncating them.
TEST(FitsImageCube, ScaledIntegersComeOutAsFloatingPoint) {
  vesk_test::TempDir dir;
  const std::string path = dir.File("scaled.fits");
  const auto values = Ramp<double>(7.75, 0.25);
  vesk_test::WriteFits(path, SHORT_IMG, {4, 3, 2}, TDOUBLE, values.data(), 24, vesk_test::FitsScaling{0.25, 10.0});
  const auto cube = vk::LoadFitsImageCube(path.c_str());
  EXPECT_EQ(cube.bitpix, -32);
  EXPECT_EQ(cube.data_type, dt::Float);
  const auto loaded = ValuesOf<float>(cube);
  ASSERT_EQ(loaded.size(), 24u);
  for (std::size_t i = 0; i < loaded.size(); ++i) EXPECT_EQ(loaded[i], static_cast<float>(values[i])) << i;

  // A whole-number offset that leaves the signed range widens the integers.
  const auto offset = Ramp<std::int16_t>(30000, 100);
  vesk_test::WriteFits(path, SHORT_IMG, {4, 3, 2}, TSHORT, offset.data(), 24, vesk_test::FitsScaling{1.0, 1000.0});
  const auto widened = vk::LoadFitsImageCube(path.c_str());
  EXPECT_EQ(widened.bitpix, 32);
  EXPECT_EQ(widened.data_type, dt::Int32);
  const auto widened_values = ValuesOf<std::int32_t>(widened);
  ASSERT_EQ(widened_values.size(), 24u);
  EXPECT_EQ(widened_values, std::vector<std::int32_t>(offset.begin(), offset.end()));

  // Neutral scaling keywords change nothing.
  const auto raw = Ramp<std::int16_t>(-5, 3);
  vesk_test::WriteFits(path, SHORT_IMG, {4, 3, 2}, TSHORT, raw.data(), 24, vesk_test::FitsScaling{1.0, 0.0});
  const auto neutral = vk::LoadFitsImageCube(path.c_str());
  EXPECT_EQ(neutral.bitpix, 16);
  EXPECT_EQ(neutral.data_type, dt::Int16);
  EXPECT_EQ(ValuesOf<std::int16_t>(neutral), raw);
}

TEST(FitsImageCube, OnlyThreeAxisImagesAreAcceptedAndABareNameReadsThePrimary) {
  vesk_test::TempDir dir;
  const std::string path = dir.File("axes.fits");
  const auto values = Ramp<std::int16_t>(1, 1, 24);
  const std::string expected = "Error getting image dimensions for FITS file: " + path;

  vesk_test::WriteFits(path, SHORT_IMG, {6, 4}, TSHORT, values.data(), 24);
  EXPECT_EQ(LoadError(path), expected);
  vesk_test::WriteFits(path, SHORT_IMG, {2, 3, 2, 2}, TSHORT, values.data(), 24);
  EXPECT_EQ(LoadError(path), expected);

  // An empty primary followed by a cube extension: the bare name reads the
  // primary HDU only; the bracket syntax names the extension.
  vesk_test::WriteFits(path, SHORT_IMG, {}, TSHORT, nullptr, 0);
  int status = 0;
  fitsfile* fptr = nullptr;
  ffopen(&fptr, path.c_str(), READWRITE, &status);
  long axes[3] = {4, 3, 2};
  ffcrim(fptr, SHORT_IMG, 3, axes, &status);
  ffppr(fptr, TSHORT, 1, 24, const_cast<std::int16_t*>(values.data()), &status);
  ffclos(fptr, &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(
      LoadError(path),
      expected + " (its primary HDU holds no image; name the extension that holds the cube, e.g. " + path + "[1])");
  const auto cube = vk::LoadFitsImageCube((path + "[1]").c_str());
  EXPECT_EQ(cube.depth, 2);
  EXPECT_EQ(ValuesOf<std::int16_t>(cube), values);
}

// fpack and astropy write a cube as a tile-compressed image in the first
// extension; named with the bracket syntax it loads with every pixel, though
// the file is far smaller than the pixels it holds.
TEST(FitsImageCube, TileCompressedCubeInAnExtensionLoadsWithItsPixels) {
  vesk_test::TempDir dir;
  constexpr long kWidth = 1024;
  constexpr long kHeight = 1024;
  constexpr long kDepth = 4;
  constexpr long long kPixels = kWidth * kHeight * kDepth;
  {
    // Camera values up to 65535, above the signed range.
    const std::string path = dir.File("unsigned.fits.fz");
    const auto values = CameraImages<std::uint16_t>(kWidth, kHeight, kDepth, 64520);
    vesk_test::WriteCompressedFits(path, RICE_1, USHORT_IMG, {kWidth, kHeight, kDepth}, TUSHORT, values.data(),
                                   kPixels);
    ASSERT_LT(std::filesystem::file_size(path), static_cast<std::uintmax_t>(kPixels));  // under 1 byte per pixel
    const auto cube = vk::LoadFitsImageCube((path + "[1]").c_str());
    EXPECT_EQ(cube.width, kWidth);
    EXPECT_EQ(cube.height, kHeight);
    EXPECT_EQ(cube.depth, kDepth);
    EXPECT_EQ(cube.bitpix, 16);
    EXPECT_EQ(cube.data_type, dt::UInt16);
    EXPECT_EQ(PixelDifference(cube, values), "");
  }
  {
    const std::string path = dir.File("signed.fits");
    const auto values = CameraImages<std::int16_t>(kWidth, kHeight, kDepth, -500);
    vesk_test::WriteCompressedFits(path, GZIP_1, SHORT_IMG, {kWidth, kHeight, kDepth}, TSHORT, values.data(), kPixels);
    ASSERT_LT(std::filesystem::file_size(path), static_cast<std::uintmax_t>(kPixels) * 2);
    const auto cube = vk::LoadFitsImageCube((path + "[1]").c_str());
    EXPECT_EQ(cube.depth, kDepth);
    EXPECT_EQ(cube.data_type, dt::Int16);
    EXPECT_EQ(PixelDifference(cube, values), "");

    // The bare name reads the primary HDU, empty here: the refusal says
    // which name reads the cube.
    EXPECT_EQ(LoadError(path), "Error getting image dimensions for FITS file: " + path +
                                   " (its primary HDU holds no image; name the extension that holds the cube, e.g. " +
                                   path + "[1])");
  }
}

// A header that claims far more pixels than the file holds is refused with
// the loader's error, in a plain primary image as in a compressed extension,
// and the claimed size is never reserved.
TEST(FitsImageCube, ForgedSizesAreRefusedWithoutReservingThem) {
  vesk_test::TempDir dir;
  const std::string plain = dir.File("plain.fits");
  const auto plain_values = CameraImages<std::int16_t>(100, 100, 4, 0);
  vesk_test::WriteFits(plain, SHORT_IMG, {100, 100, 4}, TSHORT, plain_values.data(), 40000);
  vesk_test::ForgeHeaderValue(plain, "NAXIS3", 200000);  // 4 GB of pixels in an 83 kB file
  const LimitedLoad plain_load = LoadWithLimitedMemory(plain);
  EXPECT_EQ(plain_load.status, 0);
  EXPECT_THAT(plain_load.message, StartsWith("Error Error reading image data for FITS file: " + plain));
  EXPECT_THAT(plain_load.message, HasSubstr("does not fit in the file"));

  const std::string packed = dir.File("packed.fits");
  const auto packed_values = CameraImages<std::uint16_t>(1024, 1024, 2, 1000);
  vesk_test::WriteCompressedFits(packed, RICE_1, USHORT_IMG, {1024, 1024, 2}, TUSHORT, packed_values.data(),
                                 1024 * 1024 * 2);
  // CFITSIO itself checks the tile count against the table's rows, so the
  // forged width comes with a tile width to match: 2.5 GB, then 8 TB.
  for (const long long width : {600000LL, 2000000000LL}) {
    vesk_test::ForgeHeaderValue(packed, "ZNAXIS1", width);
    vesk_test::ForgeHeaderValue(packed, "ZTILE1", width);
    const LimitedLoad packed_load = LoadWithLimitedMemory(packed + "[1]");
    EXPECT_EQ(packed_load.status, 0) << width;
    EXPECT_THAT(packed_load.message,
                StartsWith("Error Error reading image data for FITS file: " + packed + "[1]. CFITSIO: "))
        << width;
  }
}

TEST(FitsImageCube, ZeroLengthAxisGivesEmptyData) {
  vesk_test::TempDir dir;
  const std::string path = dir.File("empty.fits");
  vesk_test::WriteFits(path, SHORT_IMG, {4, 3, 0}, TSHORT, nullptr, 0);
  const auto cube = vk::LoadFitsImageCube(path.c_str());
  EXPECT_EQ(cube.width, 4);
  EXPECT_EQ(cube.depth, 0);
  EXPECT_TRUE(cube.data.empty());
}

TEST(FitsImageCube, MissingFileWritesStandardErrorAndThrows) {
  vesk_test::TempDir dir;
  const std::string path = dir.File("absent.fits");
  testing::internal::CaptureStderr();
  const std::string error = LoadError(path);
  const std::string err_output = testing::internal::GetCapturedStderr();
  EXPECT_EQ(error, "Error opening FITS file: " + path);
  EXPECT_THAT(err_output, HasSubstr("Error opening FITS file: " + path + "\n"));
}

TEST(FitsImageCube, TruncatedFileFailsTheReadWithCfitsioText) {
  vesk_test::TempDir dir;
  const std::string path = dir.File("cut.fits");
  std::vector<std::int16_t> values(100 * 100 * 4, 5);
  vesk_test::WriteFits(path, SHORT_IMG, {100, 100, 4}, TSHORT, values.data(), static_cast<long long>(values.size()));
  std::filesystem::resize_file(path, kFitsBlock + 5000);
  const std::string error = LoadError(path);
  EXPECT_THAT(error, StartsWith("Error Error reading image data for FITS file: " + path + ". CFITSIO: "));
  EXPECT_EQ(error.back(), '.');
  // The CFITSIO part is not empty.
  EXPECT_GT(error.size(),
            std::string("Error Error reading image data for FITS file: . CFITSIO: .").size() + path.size());
}

TEST(FitsImageCube, HandleCfitsioErrorWrapsTheOldestCfitsioMessage) {
  EXPECT_NO_THROW(vk::HandleCfitsioError("nothing", 0));
  ffcmsg();
  ffpmsg("first message");
  ffpmsg("second message");
  try {
    vk::HandleCfitsioError("doing a thing", 104);
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Error doing a thing. CFITSIO: first message.");
  }
  ffcmsg();
}
