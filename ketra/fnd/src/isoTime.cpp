// Wall-clock seconds and their ISO-8601 UTC text.

#include <fmt/format.h>
#include <log4cplus/loggingmacros.h>
#include <log4cplus/tracelogger.h>
#include <chrono>
#include <cmath>
#include <ctime>
#include <iomanip>
#include <ketra/fnd/defs/base.hpp>
#include <limits>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#define KETRA_FND_TRACE_SCOPE()                                                                                        \
  log4cplus::TraceLogger ketra_fnd_trace_scope_(::ketra::fnd::Logger(), LOG4CPLUS_TEXT(__PRETTY_FUNCTION__), __FILE__, \
                                                __LINE__, LOG4CPLUS_MACRO_FUNCTION())

namespace ketra::fnd {
namespace {

struct FractionText {
  std::string text;    // ".ddd" or empty
  bool carry = false;  // the fraction rounded up to a whole second
};

// Formats `fraction` (0 <= fraction < 1) with `precision` significant digits,
// trailing zeros removed, as a plain decimal without its leading "0". Like
// the general format for fractions of 0.0001 and more; smaller ones stay
// plain decimals (".000012") instead of exponent form. A fraction that
// rounds to 1 is reported as a carry into the seconds, never as ".1" or "1".
FractionText FormatFraction(double fraction, int precision) {
  if (!(fraction > 0.0)) {
    return {};
  }
  precision = std::max(precision, 1);  // a precision of 0 counts as 1, as in the general format
  // The exponent form rounds to exactly `precision` significant digits and
  // tells the position of the first one: "d.ddddde-XX".
  const std::string sci = fmt::format("{:.{}e}", fraction, precision - 1);
  const auto e_pos = sci.find('e');
  const int exponent = std::stoi(sci.substr(e_pos + 1));
  if (exponent >= 0) {
    return {"", true};
  }
  std::string digits = sci.substr(0, 1);
  if (e_pos > 2) {
    digits += sci.substr(2, e_pos - 2);
  }
  while (digits.size() > 1 && digits.back() == '0') {
    digits.pop_back();
  }
  // Built by appending: GCC 12 at -O3 misreads a chain of operator+ on
  // temporaries here as overlapping copies (-Wrestrict).
  std::string text(1, '.');
  text.append(static_cast<std::size_t>(-exponent - 1), '0');
  text += digits;
  return {std::move(text), false};
}

}  // namespace

double TimeSecs() {
  KETRA_FND_TRACE_SCOPE();
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch());
  return static_cast<double>(ns.count()) / 1e9;
}

std::string IsoTime(double secs, std::uint8_t precision) {
  KETRA_FND_TRACE_SCOPE();
  // Whole seconds are taken by floor so that the fraction is never negative;
  // for the times in use (after 1970) this is the truncation toward zero.
  const double whole_secs = std::floor(secs);
  if (!std::isfinite(secs) || whole_secs < static_cast<double>(std::numeric_limits<std::time_t>::min()) ||
      whole_secs >= static_cast<double>(std::numeric_limits<std::time_t>::max())) {
    throw std::invalid_argument(fmt::format("IsoTime: time out of range: {}", secs));
  }
  auto whole = static_cast<std::time_t>(whole_secs);
  const FractionText fraction = FormatFraction(secs - whole_secs, precision);
  if (fraction.carry) {
    ++whole;
  }
  std::tm broken_down{};
  if (gmtime_r(&whole, &broken_down) == nullptr) {
    throw std::invalid_argument(fmt::format("IsoTime: time out of range: {}", secs));
  }
  std::ostringstream text;
  text.imbue(std::locale::classic());
  text << std::put_time(&broken_down, "%Y-%m-%dT%H:%M:") << std::setw(2) << std::setfill('0') << broken_down.tm_sec
       << fraction.text;
  return text.str();
}

std::string IsoTimeNow(std::int8_t precision) {
  KETRA_FND_TRACE_SCOPE();
  // A negative precision counts as 0.
  return IsoTime(TimeSecs(), static_cast<std::uint8_t>(std::max<std::int8_t>(precision, 0)));
}

}  // namespace ketra::fnd
