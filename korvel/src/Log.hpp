#pragma once
// The library's logger: log4cplus logger "korvel".

#include <log4cplus/logger.h>

namespace korvel::detail {

log4cplus::Logger& KorvelLogger();

}  // namespace korvel::detail
