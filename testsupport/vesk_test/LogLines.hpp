#pragma once
// Test helper: the lines of the programs' default log layout,
// "YYYY-MM-DD HH:MM:SS.mmm LEVEL [thread id] message", picked out of output.

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace vesk_test {

// The messages of the whole lines of `output` in the default layout at
// `level` (TRACE, DEBUG, INFO, WARN, ERROR, FATAL), in their order.
inline std::vector<std::string> LogMessages(const std::string& output, const std::string& level) {
  // The level is padded to five characters.
  const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} )" + level +
                        std::string(5 - std::min<std::size_t>(level.size(), 5), ' ') + R"( \[\d+\] (.*))");
  std::vector<std::string> messages;
  std::istringstream lines(output);
  std::smatch match;
  for (std::string text; std::getline(lines, text);) {
    if (std::regex_match(text, match, line)) messages.push_back(match[1]);
  }
  return messages;
}

}  // namespace vesk_test
