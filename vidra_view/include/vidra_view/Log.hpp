#pragma once
// One line on standard error, prefixed with the UTC time and the program name.

#include <string_view>

namespace ketra::vesktools::vidra_view {

void LogLine(std::string_view text);

}  // namespace ketra::vesktools::vidra_view
