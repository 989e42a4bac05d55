// Name tables, name lookup and bytes per pixel of the pixel data types.

#include <gtest/gtest.h>

#include <ketra/fnd/datatype/DataType.hpp>

namespace dt = ketra::fnd::datatype;

TEST(DataTypeTables, HoldNineteenNamesWithTheirValues) {
  ASSERT_EQ(dt::DataTypeNameTable.size(), 19u);
  ASSERT_EQ(dt::DataTypeUpperNameTable.size(), 19u);
  const std::pair<const char*, std::int32_t> expected[] = {
      {"Array", 1},
      {"Invalid", 16},
      {"Char", 32},
      {"Byte", 64},
      {"Bool", 128},
      {"Int16", 256},
      {"UInt16", 512},
      {"Int32", 1024},
      {"UInt32", 2048},
      {"Int64", 4096},
      {"UInt64", 8192},
      {"Float", 65536},
      {"Double", 131072},
      {"Complex", 524288},
      {"String", 33},
      {"ComplexFloat", 589824},
      {"ComplexDouble", 655360},
      {"Bitmask", 2097152},
      {"Unspecified", 1048576},
  };
  for (const auto& [name, value] : expected) {
    SCOPED_TRACE(name);
    EXPECT_EQ(static_cast<std::int32_t>(dt::DataTypeNameTable.left.at(name)), value);
    // The value side is unique too: each value maps back to its one name.
    EXPECT_EQ(dt::DataTypeNameTable.right.at(static_cast<dt::DataType>(value)), name);
  }
  EXPECT_EQ(dt::DataTypeUpperNameTable.left.at("COMPLEXDOUBLE"), dt::ComplexDouble);
  EXPECT_EQ(dt::DataTypeUpperNameTable.left.at("UINT16"), dt::UInt16);
  EXPECT_EQ(dt::DataTypeUpperNameTable.right.at(dt::Unspecified), "UNSPECIFIED");
  EXPECT_EQ(dt::DataTypeUpperNameTable.left.count("Int16"), 0u);
}

TEST(GetDataType, AcceptsExactAndOtherLetterCase) {
  EXPECT_EQ(dt::GetDataType("UInt16", true), 512);
  EXPECT_EQ(dt::GetDataType("uint16", true), 512);
  EXPECT_EQ(dt::GetDataType("UINT16", true), 512);
  EXPECT_EQ(dt::GetDataType("uInt16", true), 512);
  EXPECT_EQ(dt::GetDataType("Uint32", true), 2048);
  EXPECT_EQ(dt::GetDataType("String", true), 33);
  EXPECT_EQ(dt::GetDataType("ComplexDouble", true), 655360);
  EXPECT_EQ(dt::GetDataType("float"), dt::Float);  // the default is the case-insensitive lookup
}

TEST(GetDataType, RejectsOtherSpellingsWithInvalid) {
  EXPECT_EQ(dt::GetDataType("", true), dt::Invalid);
  EXPECT_EQ(dt::GetDataType(" Int16", true), dt::Invalid);
  EXPECT_EQ(dt::GetDataType("Int16 ", true), dt::Invalid);
  EXPECT_EQ(dt::GetDataType("Int", true), dt::Invalid);
  EXPECT_EQ(dt::GetDataType("Int166", true), dt::Invalid);
  EXPECT_EQ(dt::GetDataType("Int_16", true), dt::Invalid);
  EXPECT_EQ(dt::GetDataType("Invalid", true), dt::Invalid);
  // Only a to z change case: a dotless capital I does not make "INT16".
  EXPECT_EQ(dt::GetDataType("\xc4\xb0nt16", true), dt::Invalid);
}

TEST(GetDataType, WithoutTheCaseInsensitiveFlagOnlyExactNamesMatch) {
  EXPECT_EQ(dt::GetDataType("Int32", false), dt::Int32);
  EXPECT_EQ(dt::GetDataType("int32", false), dt::Invalid);
  EXPECT_EQ(dt::GetDataType("INT32", false), dt::Invalid);
}

TEST(GetBytesPerPixel, FixedSizeTypesAndZeroForTheRest) {
  EXPECT_EQ(dt::GetBytesPerPixel(dt::Char), 1);
  EXPECT_EQ(dt::GetBytesPerPixel(dt::Byte), 1);
  EXPECT_EQ(dt::GetBytesPerPixel(dt::Int16), 2);
  EXPECT_EQ(dt::GetBytesPerPixel(dt::UInt16), 2);
  EXPECT_EQ(dt::GetBytesPerPixel(dt::Int32), 4);
  EXPECT_EQ(dt::GetBytesPerPixel(dt::UInt32), 4);
  EXPECT_EQ(dt::GetBytesPerPixel(dt::Float), 4);
  EXPECT_EQ(dt::GetBytesPerPixel(dt::Int64), 8);
  EXPECT_EQ(dt::GetBytesPerPixel(dt::UInt64), 8);
  EXPECT_EQ(dt::GetBytesPerPixel(dt::Double), 8);
  for (const auto type : {dt::Array, dt::Invalid, dt::Bool, dt::Complex, dt::String, dt::ComplexFloat,
                          dt::ComplexDouble, dt::Bitmask, dt::Unspecified, static_cast<dt::DataType>(7)}) {
    EXPECT_EQ(dt::GetBytesPerPixel(type), 0) << static_cast<std::int32_t>(type);
  }
}
