// The work of veskrecv.

#include "run.hpp"

#include <log4cplus/loggingmacros.h>
#include <vesklib_korvel/Diagnostics.hpp>

namespace ketra::vesktools::veskrecv {

int Run(const Options& /*options*/) {
  LOG4CPLUS_INFO(vesklib_korvel::Logger(), "Starting application");
  return 0;
}

}  // namespace ketra::vesktools::veskrecv
