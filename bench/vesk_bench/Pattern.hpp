#pragma once
// Frame contents that identify their sample and every 8-byte position, so a
// receiver can tell a complete, correctly placed frame from a damaged one.
//
// Word k (8 bytes, native order) of a frame with tag t holds
// (t << 40) | k; a frame whose size is not a multiple of 8 ends with the
// first bytes of its last word. Word 0 is replaced by the frame's sequence
// number, so one pre-filled buffer per tag serves many frames.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vesk_bench {

// Sequence numbers with this bit set mark warm-up frames, not measured ones.
inline constexpr std::uint64_t kWarmUpBit = std::uint64_t{1} << 63;
// Distinct tags the sender cycles through; a payload landing in a frame of
// another tag (or at another position) changes a checked word.
inline constexpr std::uint64_t kTagCount = 16;

std::uint64_t PatternWord(std::uint64_t tag, std::uint64_t index) noexcept;

// Fills `frame` with the pattern of `tag` (word 0 included).
void FillPattern(std::vector<unsigned char>& frame, std::uint64_t tag);

// Writes `sequence` into word 0 (frames shorter than 8 bytes keep what fits).
void StampSequence(std::vector<unsigned char>& frame, std::uint64_t sequence) noexcept;
std::uint64_t ReadSequence(const std::vector<unsigned char>& frame) noexcept;

enum class VerifyMode { kFull, kSampled };

// True when `frame` has `expected_bytes` bytes and holds the pattern of the
// tag its sequence number implies. kFull compares every byte; kSampled one
// word every `stride` bytes plus the last byte, which is enough to catch a
// packet of another frame or at another place as long as `stride` is not
// larger than one packet's payload.
bool VerifyPattern(const std::vector<unsigned char>& frame, std::size_t expected_bytes, VerifyMode mode,
                   std::size_t stride = 512) noexcept;

}  // namespace vesk_bench
