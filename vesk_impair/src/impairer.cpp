// Per-datagram decisions from a counter-based generator: draw k of datagram
// i is a mix of (seed, i, k), so decisions do not depend on one another.

#include <vesk_impair/Impairer.hpp>

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

namespace ketra::vesktools::impair {

namespace {

std::uint64_t Mix(std::uint64_t x) {
  // splitmix64 finaliser.
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30U)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27U)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31U);
}

class Draws {
 public:
  Draws(std::uint64_t seed, std::uint64_t index) : m_base(Mix(seed ^ Mix(index))) {}
  std::uint64_t Next() { return Mix(m_base + 0x632BE59BD9B4E019ULL * ++m_count); }
  // Uniform in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11U) * 0x1.0p-53; }
  std::uint64_t Below(std::uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }

 private:
  std::uint64_t m_base;
  std::uint64_t m_count = 0;
};

void CheckRate(const char* name, double rate) {
  if (!(rate >= 0.0 && rate <= 1.0)) {
    throw std::invalid_argument(fmt::format("{} must be between 0 and 1, not {}", name, rate));
  }
}

}  // namespace

void ValidateConfig(const ImpairConfig& config) {
  CheckRate("drop rate", config.drop_rate);
  CheckRate("duplicate rate", config.duplicate_rate);
  CheckRate("reorder rate", config.reorder_rate);
  CheckRate("header corruption rate", config.corrupt_header_rate);
  CheckRate("payload corruption rate", config.corrupt_payload_rate);
  CheckRate("truncation rate", config.truncate_rate);
  CheckRate("delay rate", config.delay_rate);
  if (config.reorder_rate > 0.0 && config.reorder_window == 0) {
    throw std::invalid_argument("reorder window must be at least 1 when datagrams are reordered");
  }
}

Impairer::Impairer(const ImpairConfig& config) : m_config(config) {
  ValidateConfig(m_config);
}

Decision Impairer::Decide(std::uint64_t index, std::size_t size) const {
  // Every draw is made whatever the earlier outcomes, so that changing one
  // rate leaves the other decisions of a seed unchanged.
  Draws draws(m_config.seed, index);
  const double drop = draws.Unit();
  const double duplicate = draws.Unit();
  const double reorder = draws.Unit();
  const std::uint64_t hold = draws.Below(m_config.reorder_window);
  const double delay = draws.Unit();
  const double corrupt_header = draws.Unit();
  const double corrupt_payload = draws.Unit();
  const std::uint64_t offset_draw = draws.Next();
  const auto mask = static_cast<std::uint8_t>(1U + draws.Below(255));
  const double truncate = draws.Unit();
  const std::uint64_t keep_draw = draws.Next();

  Decision decision;
  decision.drop = drop < m_config.drop_rate;
  if (decision.drop) {
    return decision;
  }
  decision.duplicate = duplicate < m_config.duplicate_rate;
  if (reorder < m_config.reorder_rate) {
    decision.hold_behind = static_cast<std::size_t>(hold) + 1;
  }
  decision.delay = delay < m_config.delay_rate;

  const std::size_t header = std::min(size, m_config.header_size);
  const std::size_t body = size - header;
  if (corrupt_header < m_config.corrupt_header_rate && header > 0) {
    decision.corrupt = true;
    decision.corrupt_in_header = true;
    decision.corrupt_offset = static_cast<std::size_t>(offset_draw % header);
  } else if (corrupt_payload < m_config.corrupt_payload_rate && body > 0) {
    decision.corrupt = true;
    decision.corrupt_offset = header + static_cast<std::size_t>(offset_draw % body);
  }
  if (decision.corrupt) {
    decision.corrupt_mask = mask;
  }
  if (truncate < m_config.truncate_rate && size > 0) {
    decision.truncate = true;
    decision.truncate_to = static_cast<std::size_t>(keep_draw % size);
  }
  return decision;
}

void Impairer::Apply(const Decision& decision, std::vector<unsigned char>& datagram) {
  if (decision.corrupt && decision.corrupt_offset < datagram.size()) {
    datagram[decision.corrupt_offset] ^= decision.corrupt_mask;
  }
  if (decision.truncate && decision.truncate_to < datagram.size()) {
    datagram.resize(decision.truncate_to);
  }
}

}  // namespace ketra::vesktools::impair
