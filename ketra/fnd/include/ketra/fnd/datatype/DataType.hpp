#pragma once
// Pixel data types shared by every vesktools deliverable.

#include <boost/bimap.hpp>
#include <cstdint>
#include <string>

namespace ketra::fnd::datatype {

// Basic types are single bits; String, ComplexFloat and ComplexDouble are
// formed by OR-ing bits.
enum DataType : std::int32_t {
  Array = 0x1,
  Invalid = 0x10,
  Char = 0x20,
  Byte = 0x40,
  Bool = 0x80,
  Int16 = 0x100,
  UInt16 = 0x200,
  Int32 = 0x400,
  UInt32 = 0x800,
  Int64 = 0x1000,
  UInt64 = 0x2000,
  Float = 0x10000,
  Double = 0x20000,
  Complex = 0x80000,
  String = Array | Char,
  ComplexFloat = Complex | Float,
  ComplexDouble = Complex | Double,
  Bitmask = 0x200000,
  Unspecified = 0x100000,
};

using DataTypeNameMap = boost::bimap<std::string, DataType>;

// Names exactly as written ("Int16"), and the same names upper-cased ("INT16").
extern const DataTypeNameMap DataTypeNameTable;
extern const DataTypeNameMap DataTypeUpperNameTable;

// Looks a name up: exact spelling first, then (when case_insensitive is true,
// which is what every caller passes) the upper-cased name in the upper-case
// table. Unknown names give Invalid; never throws for an unknown name.
DataType GetDataType(std::string name, bool case_insensitive = true);

// 1, 2, 4 or 8 for fixed-size pixel types; 0 for every other value.
std::int8_t GetBytesPerPixel(DataType type);

}  // namespace ketra::fnd::datatype
