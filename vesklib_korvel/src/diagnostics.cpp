// The stream library's logger, message prefix and VESKTOOLS_DEBUG print.

#include <fmt/format.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ketra/fnd/defs/base.hpp>
#include <vesklib_korvel/Diagnostics.hpp>

namespace ketra::vesktools::vesklib_korvel {

std::int8_t __vesktools_debug__ = -1;

log4cplus::Logger& Logger() {
  // Function-local static: created on the first call under the language's
  // thread-safe one-time initialisation, alive until exit.
  static log4cplus::Logger logger = log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("vesklib"));
  return logger;
}

std::string LogPrefix(const char* file, int line, const char* function) {
  return fmt::format("{}:{}:{}:{}:{}", ketra::fnd::IsoTimeNow(6), file, line, function, ketra::fnd::ThreadName());
}

bool DebugEnabled() noexcept {
  // The flag stays a plain exported byte; relaxed atomic access only keeps two
  // threads that decide it at once (both storing the same value) well defined.
  std::atomic_ref<std::int8_t> flag(__vesktools_debug__);
  std::int8_t value = flag.load(std::memory_order_relaxed);
  if (value == -1) {
    // Read once per process: any value, including an empty one, switches on.
    value = std::getenv("VESKTOOLS_DEBUG") != nullptr ? 1 : 0;
    flag.store(value, std::memory_order_relaxed);
  }
  return value == 1;
}

void DebugPrint(const char* file, int line, const char* function, const std::string& text) {
  if (!DebugEnabled()) {
    return;
  }
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch());
  fmt::print("VESKTOOLS-DEBUG:{}:{}: {}\n", static_cast<double>(ns.count()) / 1e9, LogPrefix(file, line, function),
             text);
}

}  // namespace ketra::vesktools::vesklib_korvel
