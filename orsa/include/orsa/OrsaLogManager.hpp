#pragma once
// Log manager: configures log4cplus from a property file.

#include <string>

namespace orsa {

class OrsaLogManager {
 public:
  // Configures log4cplus's default hierarchy (appenders, layouts, levels)
  // from the log4cplus property file `file`. Throws std::runtime_error naming
  // the file when it cannot be read; nothing is configured then.
  static void Configure(const std::string& file);
};

}  // namespace orsa
