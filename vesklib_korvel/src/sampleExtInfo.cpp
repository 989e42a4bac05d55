// Serialised form of the per-sample extended information: the timestamp's
// 8 bytes in host byte order.

#include <fmt/format.h>
#include <cstring>
#include <stdexcept>
#include <vesklib_korvel/SampleExtInfo.hpp>

namespace ketra::vesktools::vesklib_korvel {

SampleExtInfo::SampleExtInfo(std::vector<unsigned char> buffer) {
  Unpack(buffer);
}

void SampleExtInfo::Pack(std::vector<unsigned char>& buffer) const {
  buffer.resize(kPackedSize);
  std::memcpy(buffer.data(), &m_timestamp, kPackedSize);
}

void SampleExtInfo::Unpack(const std::vector<unsigned char>& buffer) {
  if (buffer.size() < kPackedSize) {
    throw std::invalid_argument(
        fmt::format("SampleExtInfo needs {} bytes of extended information, got {}", kPackedSize, buffer.size()));
  }
  std::memcpy(&m_timestamp, buffer.data(), kPackedSize);
}

}  // namespace ketra::vesktools::vesklib_korvel
