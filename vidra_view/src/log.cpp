#include <vidra_view/Log.hpp>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <chrono>
#include <cstdio>

namespace ketra::vesktools::vidra_view {

void LogLine(std::string_view text) {
  const auto now = std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
  fmt::print(stderr, "{:%Y-%m-%dT%H:%M:%S}Z vidra-view: {}\n", now, text);
  std::fflush(stderr);
}

}  // namespace ketra::vesktools::vidra_view
