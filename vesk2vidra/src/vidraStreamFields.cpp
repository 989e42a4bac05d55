#include <vesk2vidra/VidraStreamFields.hpp>

#include <bit>

namespace ketra::vesktools::vesk2vidra {

using ketra::fnd::datatype::DataType;

std::string NumpyTypeText(DataType type) {
  const char order = std::endian::native == std::endian::little ? '<' : '>';
  switch (type) {
    case DataType::Char:
      return "|i1";
    case DataType::Byte:
      return "|u1";
    case DataType::Int16:
      return std::string(1, order) + "i2";
    case DataType::UInt16:
      return std::string(1, order) + "u2";
    case DataType::Int32:
      return std::string(1, order) + "i4";
    case DataType::UInt32:
      return std::string(1, order) + "u4";
    case DataType::Int64:
      return std::string(1, order) + "i8";
    case DataType::UInt64:
      return std::string(1, order) + "u8";
    case DataType::Float:
      return std::string(1, order) + "f4";
    case DataType::Double:
      return std::string(1, order) + "f8";
    default:
      return {};
  }
}

std::string DataTypeName(DataType type) {
  const auto& by_type = ketra::fnd::datatype::DataTypeNameTable.right;
  const auto it = by_type.find(type);
  return it != by_type.end() ? it->second : std::to_string(static_cast<int>(type));
}

}  // namespace ketra::vesktools::vesk2vidra
