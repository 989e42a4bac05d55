// Uses the installed library's data type lookup and extended information
// record; exits 0 when they behave.

#include <cstdio>
#include <ketra/fnd/datatype/DataType.hpp>
#include <vector>
#include <vesklib_korvel/Diagnostics.hpp>
#include <vesklib_korvel/SampleExtInfo.hpp>

int main() {
  namespace dt = ketra::fnd::datatype;
  using ketra::vesktools::vesklib_korvel::SampleExtInfo;

  int failures = 0;
  if (dt::GetDataType("uint16", true) != dt::UInt16 || dt::GetBytesPerPixel(dt::GetDataType("Double", true)) != 8) {
    std::puts("data type lookup failed");
    ++failures;
  }
  std::vector<unsigned char> packed;
  SampleExtInfo(1234.5).Pack(packed);
  if (packed.size() != 8 || SampleExtInfo(packed).GetTimestamp() != 1234.5) {
    std::puts("SampleExtInfo round trip failed");
    ++failures;
  }
  if (ketra::vesktools::vesklib_korvel::Logger().getName() != "vesklib") {
    std::puts("library logger has the wrong name");
    ++failures;
  }
  if (failures == 0) {
    std::puts("consumer: installed vesktools works");
  }
  return failures == 0 ? 0 : 1;
}
