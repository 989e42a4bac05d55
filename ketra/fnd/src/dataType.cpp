// Pixel data type name tables, name lookup and bytes per pixel.

#include <boost/algorithm/string/case_conv.hpp>
#include <ketra/fnd/datatype/DataType.hpp>
#include <locale>
#include <utility>

namespace ketra::fnd::datatype {
namespace {

// The 19 names in the order in which the tables are filled.
constexpr std::pair<const char*, DataType> kNames[] = {
    {"Array", Array},
    {"Invalid", Invalid},
    {"Char", Char},
    {"Byte", Byte},
    {"Bool", Bool},
    {"Int16", Int16},
    {"UInt16", UInt16},
    {"Int32", Int32},
    {"UInt32", UInt32},
    {"Int64", Int64},
    {"UInt64", UInt64},
    {"Float", Float},
    {"Double", Double},
    {"Complex", Complex},
    {"String", String},
    {"ComplexFloat", ComplexFloat},
    {"ComplexDouble", ComplexDouble},
    {"Bitmask", Bitmask},
    {"Unspecified", Unspecified},
};

// Character-by-character upper-casing under the default (classic) locale, so
// only the letters a to z change.
std::string ToUpper(const std::string& text) {
  return boost::algorithm::to_upper_copy(text, std::locale());
}

DataTypeNameMap MakeTable(bool upper) {
  DataTypeNameMap table;
  for (const auto& [name, type] : kNames) {
    table.insert(DataTypeNameMap::value_type(upper ? ToUpper(name) : std::string(name), type));
  }
  return table;
}

}  // namespace

const DataTypeNameMap DataTypeNameTable = MakeTable(false);
const DataTypeNameMap DataTypeUpperNameTable = MakeTable(true);

DataType GetDataType(std::string name, bool case_insensitive) {
  if (const auto exact = DataTypeNameTable.left.find(name); exact != DataTypeNameTable.left.end()) {
    return exact->second;
  }
  if (case_insensitive) {
    if (const auto upper = DataTypeUpperNameTable.left.find(ToUpper(name));
        upper != DataTypeUpperNameTable.left.end()) {
      return upper->second;
    }
  }
  return Invalid;
}

std::int8_t GetBytesPerPixel(DataType type) {
  switch (type) {
    case Char:
    case Byte:
      return 1;
    case Int16:
    case UInt16:
      return 2;
    case Int32:
    case UInt32:
    case Float:
      return 4;
    case Int64:
    case UInt64:
    case Double:
      return 8;
    default:
      return 0;
  }
}

}  // namespace ketra::fnd::datatype
