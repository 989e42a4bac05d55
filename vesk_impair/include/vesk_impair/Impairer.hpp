#pragma once
// Decides, for each datagram passing an impairing relay, what happens to it:
// dropped, duplicated, held back behind later datagrams, delayed, truncated,
// or a byte of its header or body flipped. Every decision is a function of
// the seed and the datagram's position in the stream only, never of timing,
// so a run with the same seed and the same input impairs the same datagrams.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ketra::vesktools::impair {

// Rates are probabilities per datagram, between 0 and 1.
struct ImpairConfig {
  std::uint64_t seed = 1;
  double drop_rate = 0.0;
  double duplicate_rate = 0.0;
  // A reordered datagram is sent after 1 … reorder_window later datagrams.
  double reorder_rate = 0.0;
  std::size_t reorder_window = 4;
  // Header bytes are the first `header_size` bytes of a datagram; the rest is
  // its body (payload).
  double corrupt_header_rate = 0.0;
  double corrupt_payload_rate = 0.0;
  std::size_t header_size = 56;
  // A truncated datagram keeps 0 … size − 1 of its bytes.
  double truncate_rate = 0.0;
  double delay_rate = 0.0;
  std::chrono::microseconds delay{2000};
};

// What happens to one datagram. Corruption flips `corrupt_mask` (never 0)
// into the byte at `corrupt_offset`, applied before truncation.
struct Decision {
  bool drop = false;
  bool duplicate = false;
  std::size_t hold_behind = 0;  // later datagrams to let pass first; 0 = none
  bool delay = false;
  bool corrupt = false;
  bool corrupt_in_header = false;
  std::size_t corrupt_offset = 0;
  std::uint8_t corrupt_mask = 0;
  bool truncate = false;
  std::size_t truncate_to = 0;
};

// Throws std::invalid_argument for a rate outside [0, 1] or a zero reorder
// window with a non-zero reorder rate.
void ValidateConfig(const ImpairConfig& config);

class Impairer {
 public:
  explicit Impairer(const ImpairConfig& config);

  // Decision for the datagram at `index` (0 for the first one seen) of
  // `size` bytes. Pure: the same arguments give the same decision.
  Decision Decide(std::uint64_t index, std::size_t size) const;

  // Applies the byte changes of `decision` to `datagram` (corruption, then
  // truncation).
  static void Apply(const Decision& decision, std::vector<unsigned char>& datagram);

  const ImpairConfig& Config() const { return m_config; }

 private:
  ImpairConfig m_config;
};

}  // namespace ketra::vesktools::impair
