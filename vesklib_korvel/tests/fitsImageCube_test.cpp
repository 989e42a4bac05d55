// FITS cube loader on cubes written here with CFITSIO: every BITPIX with
// values and byte order, the unsigned and scaled conventions, wrong axis
// counts, missing and truncated files, and the CFITSIO error text.

#include "fitsTestFiles.hpp"

#include <vesklib_korvel/FitsImageCube.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

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

TEST(FitsImageCube, OnlyThreeAxisPrimaryImagesAreAccepted) {
  vesk_test::TempDir dir;
  const std::string path = dir.File("axes.fits");
  const auto values = Ramp<std::int16_t>(1, 1, 24);
  const std::string expected = "Error getting image dimensions for FITS file: " + path;

  vesk_test::WriteFits(path, SHORT_IMG, {6, 4}, TSHORT, values.data(), 24);
  EXPECT_EQ(LoadError(path), expected);
  vesk_test::WriteFits(path, SHORT_IMG, {2, 3, 2, 2}, TSHORT, values.data(), 24);
  EXPECT_EQ(LoadError(path), expected);

  // An empty primary followed by a cube extension: the extension is not used.
  vesk_test::WriteFits(path, SHORT_IMG, {}, TSHORT, nullptr, 0);
  int status = 0;
  fitsfile* fptr = nullptr;
  ffopen(&fptr, path.c_str(), READWRITE, &status);
  long axes[3] = {4, 3, 2};
  ffcrim(fptr, SHORT_IMG, 3, axes, &status);
  ffppr(fptr, TSHORT, 1, 24, const_cast<std::int16_t*>(values.data()), &status);
  ffclos(fptr, &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(LoadError(path), expected);
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
