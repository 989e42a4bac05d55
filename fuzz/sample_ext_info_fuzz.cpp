// SampleExtInfo::Unpack on buffers of any length and content.
// Invariants: below 8 bytes Unpack refuses with std::invalid_argument and the
// object keeps its value; otherwise the timestamp holds exactly the first 8
// bytes, Pack gives those 8 bytes back, and the buffer constructor agrees.

#include "FuzzSupport.hpp"

#include <vesklib_korvel/SampleExtInfo.hpp>

#include <cstring>
#include <stdexcept>
#include <vector>

using ketra::vesktools::vesklib_korvel::SampleExtInfo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<unsigned char> buffer(data, data + size);
  constexpr double kBefore = 12345.5;
  SampleExtInfo info(kBefore);
  bool refused = false;
  try {
    info.Unpack(buffer);
  } catch (const std::invalid_argument&) {
    refused = true;
  }
  VESK_FUZZ_CHECK(refused == (size < SampleExtInfo::kPackedSize));
  if (refused) {
    VESK_FUZZ_CHECK(info.GetTimestamp() == kBefore);
    bool constructor_refused = false;
    try {
      const SampleExtInfo built(buffer);
    } catch (const std::invalid_argument&) {
      constructor_refused = true;
    }
    VESK_FUZZ_CHECK(constructor_refused);
    return 0;
  }

  // Compared as bits: a NaN timestamp must survive unchanged too.
  const double timestamp = info.GetTimestamp();
  VESK_FUZZ_CHECK(std::memcmp(&timestamp, data, sizeof timestamp) == 0);
  std::vector<unsigned char> packed(size + 3, 0xAA);  // Pack must resize to exactly 8
  info.Pack(packed);
  VESK_FUZZ_CHECK(packed.size() == SampleExtInfo::kPackedSize);
  VESK_FUZZ_CHECK(std::memcmp(packed.data(), data, SampleExtInfo::kPackedSize) == 0);
  const SampleExtInfo built(buffer);
  const double built_timestamp = built.GetTimestamp();
  VESK_FUZZ_CHECK(std::memcmp(&built_timestamp, data, sizeof built_timestamp) == 0);
  return 0;
}
