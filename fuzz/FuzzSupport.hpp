#pragma once
// Helpers shared by the fuzz targets: reading the fuzz input as a stream of
// small fields and length-prefixed records, and a checked invariant that aborts (so that libFuzzer records the input).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vesk_fuzz {

using Bytes = std::vector<std::byte>;

// Aborts with the broken invariant's text: a finding for libFuzzer.
[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "fuzz invariant broken at %s:%d: %s\n", file, line, what);
  std::abort();
}

#define VESK_FUZZ_CHECK(condition)                                       \
  do {                                                                   \
    if (!(condition)) ::vesk_fuzz::Fail(#condition, __FILE__, __LINE__); \
  } while (false)

// Reads the fuzz input front to back; reads past the end give zeros / empty.
class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

  bool Empty() const { return m_at >= m_size; }

  std::uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }

  std::uint16_t Be16() {
    const std::uint16_t high = Byte();
    return static_cast<std::uint16_t>((high << 8) | Byte());
  }

  // A record: a big-endian 16-bit length, then that many bytes (fewer when
  // the input ends first).
  Bytes Record() {
    const std::size_t length = Be16();
    const std::size_t take = std::min(length, m_size - std::min(m_at, m_size));
    Bytes out(take);
    if (take != 0) std::memcpy(out.data(), m_data + m_at, take);
    m_at += take;
    return out;
  }

 private:
  const std::uint8_t* m_data;
  std::size_t m_size;
  std::size_t m_at = 0;
};

}  // namespace vesk_fuzz
