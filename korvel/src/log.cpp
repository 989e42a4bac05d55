#include "Log.hpp"

namespace korvel::detail {

log4cplus::Logger& KorvelLogger() {
  static log4cplus::Logger logger = log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("korvel"));
  return logger;
}

}  // namespace korvel::detail
