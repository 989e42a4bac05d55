#pragma once
// The stream library's diagnostics: its logger, the message prefix, trace
// scopes and the VESKTOOLS_DEBUG debug print.

#include <fmt/format.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <log4cplus/tracelogger.h>
#include <cstdint>
#include <string>

namespace ketra::vesktools::vesklib_korvel {

// The library logger "vesklib", created once on first use (thread-safe).
log4cplus::Logger& Logger();

// Debug switch: -1 undecided, 0 off, 1 on. Decided from VESKTOOLS_DEBUG at
// the first debug site reached; a program may store 0 or 1 before that.
extern std::int8_t __vesktools_debug__;

// "time:file:line:function:thread".
std::string LogPrefix(const char* file, int line, const char* function);

// Decides the debug flag if still undecided; true when debug printing is on.
bool DebugEnabled() noexcept;

// Prints "VESKTOOLS-DEBUG:<secs>:<prefix>: <text>\n" to standard output
// when debug printing is on.
void DebugPrint(const char* file, int line, const char* function, const std::string& text);

}  // namespace ketra::vesktools::vesklib_korvel

// ENTER/EXIT trace of a public library operation, with its full signature.
#define VESK_TRACE_SCOPE()                                                                          \
  log4cplus::TraceLogger vesk_trace_scope_(::ketra::vesktools::vesklib_korvel::Logger(),            \
                                           LOG4CPLUS_TEXT(__PRETTY_FUNCTION__), __FILE__, __LINE__, \
                                           LOG4CPLUS_MACRO_FUNCTION())

// Logs a message whose format starts with "{}: " at `level`, the first
// argument being the log prefix. Nothing is formatted unless the level is on.
#define VESK_LOG_PREFIXED(level, format_text, ...)                                                                   \
  do {                                                                                                               \
    auto& vesk_logger_ = ::ketra::vesktools::vesklib_korvel::Logger();                                               \
    if (vesk_logger_.isEnabledFor(level)) {                                                                          \
      vesk_logger_.forcedLog(level,                                                                                  \
                             fmt::format(format_text, ::ketra::vesktools::vesklib_korvel::LogPrefix(                 \
                                                          __FILE__, __LINE__, __func__) __VA_OPT__(, ) __VA_ARGS__), \
                             __FILE__, __LINE__, LOG4CPLUS_MACRO_FUNCTION());                                        \
    }                                                                                                                \
  } while (0)

#define VESK_LOG_INFO_P(format_text, ...) \
  VESK_LOG_PREFIXED(log4cplus::INFO_LOG_LEVEL, format_text __VA_OPT__(, ) __VA_ARGS__)
#define VESK_LOG_DEBUG_P(format_text, ...) \
  VESK_LOG_PREFIXED(log4cplus::DEBUG_LOG_LEVEL, format_text __VA_OPT__(, ) __VA_ARGS__)

// Debug print; the text is formatted only when debug printing is on.
#define VESK_DEBUG_PRINT(...)                                                                                 \
  do {                                                                                                        \
    if (::ketra::vesktools::vesklib_korvel::DebugEnabled()) {                                                 \
      ::ketra::vesktools::vesklib_korvel::DebugPrint(__FILE__, __LINE__, __func__, fmt::format(__VA_ARGS__)); \
    }                                                                                                         \
  } while (0)
