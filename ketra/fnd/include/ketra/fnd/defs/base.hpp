#pragma once
// Foundation helpers: the foundation logger, thread names and ISO-8601 time.

#include <log4cplus/logger.h>
#include <cstdint>
#include <string>

namespace ketra::fnd {

// The foundation's own logger ("ketra.fnd"); the time helpers trace on it.
log4cplus::Logger& Logger();

// Name of the calling thread as pthread_getname_np reports it (empty on failure).
std::string ThreadName();

// Wall-clock time in seconds since the Unix epoch.
double TimeSecs();

// UTC text "YYYY-MM-DDTHH:MM:SS[.fff]" of `secs` with up to `precision`
// significant fractional digits, trailing zeros removed. Fractions are always
// printed as plain decimals, never in exponent form.
std::string IsoTime(double secs, std::uint8_t precision);

// IsoTime(TimeSecs(), precision).
std::string IsoTimeNow(std::int8_t precision);

}  // namespace ketra::fnd
