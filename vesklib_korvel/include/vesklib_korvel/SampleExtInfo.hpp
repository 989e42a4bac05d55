#pragma once
// Per-sample extended information carried in the leader packet: one timestamp.

#include <vector>

namespace ketra::vesktools::vesklib_korvel {

class SampleExtInfo {
 public:
  static constexpr std::size_t kPackedSize = 8;

  SampleExtInfo() = default;
  explicit SampleExtInfo(double timestamp) : m_timestamp(timestamp) {}
  // Behaves as Unpack on the buffer (std::invalid_argument below 8 bytes).
  explicit SampleExtInfo(std::vector<unsigned char> buffer);

  SampleExtInfo& SetTimestamp(double timestamp) {
    m_timestamp = timestamp;
    return *this;
  }
  double GetTimestamp() const { return m_timestamp; }

  // Makes `buffer` exactly 8 bytes: the timestamp's bits in host byte order.
  void Pack(std::vector<unsigned char>& buffer) const;
  // Reads bytes 0 to 7. A buffer shorter than 8 bytes is refused with
  // std::invalid_argument and the object keeps its value.
  void Unpack(const std::vector<unsigned char>& buffer);

 private:
  double m_timestamp = -1.0;
};

static_assert(sizeof(SampleExtInfo) == SampleExtInfo::kPackedSize);

}  // namespace ketra::vesktools::vesklib_korvel
