// The foundation's logger.

#include <ketra/fnd/defs/base.hpp>

namespace ketra::fnd {

log4cplus::Logger& Logger() {
  // Function-local static: created once, thread-safe, alive until exit.
  static log4cplus::Logger logger = log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("ketra.fnd"));
  return logger;
}

}  // namespace ketra::fnd
