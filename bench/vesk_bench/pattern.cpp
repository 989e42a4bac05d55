#include "Pattern.hpp"

#include <algorithm>
#include <cstring>

namespace vesk_bench {

std::uint64_t PatternWord(std::uint64_t tag, std::uint64_t index) noexcept {
  return (tag << 40) | (index & ((std::uint64_t{1} << 40) - 1));
}

void FillPattern(std::vector<unsigned char>& frame, std::uint64_t tag) {
  const std::size_t words = frame.size() / 8;
  for (std::size_t k = 0; k < words; ++k) {
    const std::uint64_t w = PatternWord(tag, k);
    std::memcpy(frame.data() + k * 8, &w, 8);
  }
  if (const std::size_t tail = frame.size() % 8; tail != 0) {
    const std::uint64_t w = PatternWord(tag, words);
    std::memcpy(frame.data() + words * 8, &w, tail);
  }
}

void StampSequence(std::vector<unsigned char>& frame, std::uint64_t sequence) noexcept {
  std::memcpy(frame.data(), &sequence, std::min<std::size_t>(8, frame.size()));
}

std::uint64_t ReadSequence(const std::vector<unsigned char>& frame) noexcept {
  std::uint64_t sequence = 0;
  std::memcpy(&sequence, frame.data(), std::min<std::size_t>(8, frame.size()));
  return sequence;
}

namespace {

bool WordMatches(const unsigned char* frame, std::size_t size, std::uint64_t tag, std::size_t k) noexcept {
  const std::uint64_t w = PatternWord(tag, k);
  if (size - k * 8 >= 8) {
    std::uint64_t got = 0;
    std::memcpy(&got, frame + k * 8, 8);
    return got == w;
  }
  return std::memcmp(frame + k * 8, &w, size - k * 8) == 0;
}

}  // namespace

bool VerifyPattern(const std::vector<unsigned char>& frame, std::size_t expected_bytes, VerifyMode mode,
                   std::size_t stride) noexcept {
  if (frame.size() != expected_bytes) return false;
  if (frame.size() <= 8) return true;  // the sequence number is all there is
  const std::uint64_t tag = (ReadSequence(frame) & ~kWarmUpBit) % kTagCount;
  const std::size_t words = (frame.size() + 7) / 8;
  const std::size_t step = mode == VerifyMode::kFull ? 1 : std::max<std::size_t>(1, stride / 8);
  for (std::size_t k = 1; k < words; k += step) {
    if (!WordMatches(frame.data(), frame.size(), tag, k)) return false;
  }
  return WordMatches(frame.data(), frame.size(), tag, words - 1);
}

}  // namespace vesk_bench
