#pragma once
// Field names of one entry of a VIDRA stream (a Redis Stream, one entry per
// image) and the default length cap of the stream.

#include <cstddef>

namespace ketra::vesktools::vesk2vidra::fields {

inline constexpr const char* kSampleId = "sample_id";                // VESK sample id, decimal
inline constexpr const char* kSenderTimestamp = "sender_timestamp";  // s since epoch, -1 unknown
inline constexpr const char* kReceiveTime = "receive_time";          // s since epoch
inline constexpr const char* kPublishTime = "publish_time";          // s since epoch
inline constexpr const char* kWidth = "width";
inline constexpr const char* kHeight = "height";
inline constexpr const char* kDepth = "depth";
inline constexpr const char* kDataType = "data_type";           // DataType value, decimal
inline constexpr const char* kDataTypeName = "data_type_name";  // e.g. "Int16"
inline constexpr const char* kDtype = "dtype";                  // numpy type text, e.g. "<i2"
inline constexpr const char* kImage = "image";                  // encoded image

}  // namespace ketra::vesktools::vesk2vidra::fields

namespace ketra::vesktools::vesk2vidra {

// Streams are trimmed with XADD ... MAXLEN ~ kDefaultStreamMaxLen.
inline constexpr std::size_t kDefaultStreamMaxLen = 100;

}  // namespace ketra::vesktools::vesk2vidra

#include <ketra/fnd/datatype/DataType.hpp>
#include <string>

namespace ketra::vesktools::vesk2vidra {

// numpy's type text for the native-order pixels of `type` ("<i2" for Int16 on
// a little-endian host); empty for a type without a fixed pixel size.
std::string NumpyTypeText(ketra::fnd::datatype::DataType type);

// The name of `type` ("Int16"), or its decimal value when it has no name.
std::string DataTypeName(ketra::fnd::datatype::DataType type);

}  // namespace ketra::vesktools::vesk2vidra
