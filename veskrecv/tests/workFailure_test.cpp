// veskrecv run as a real process whose work fails after start-up: the
// failure is logged and the exit status is 1, so that scripts see it.

#include <gtest/gtest.h>

#include <vesk_test/RunProgram.hpp>

using vesk_test::ProgramPath;
using vesk_test::RunProgram;

namespace {

// The library logger at ERROR, one appender on standard error.
const char* const kLogToStandardError =
    "log4cplus.rootLogger=TRACE, STDERR\n"
    "log4cplus.logger.vesklib=ERROR\n"
    "log4cplus.appender.STDERR=log4cplus::ConsoleAppender\n"
    "log4cplus.appender.STDERR.logToStdErr=true\n"
    "log4cplus.appender.STDERR.ImmediateFlush=true\n"
    "log4cplus.appender.STDERR.layout=log4cplus::PatternLayout\n"
    "log4cplus.appender.STDERR.layout.ConversionPattern=%p %c %m%n\n";

}  // namespace

// Standard output redirected to a full disk (/dev/full): the report cannot
// be written, the run did not do its job, and the status says so.
TEST(VeskrecvWorkFailure, ReportThatCannotBeWrittenEndsWithStatusOne) {
  const vesk_test::TempFile properties("veskrecv_log", kLogToStandardError);
  const std::string port = std::to_string(vesk_test::FreeUdpPort());
  const auto run = RunProgram("/bin/sh", {"-c", "exec \"$0\" \"$@\" > /dev/full", ProgramPath("veskrecv"), "-p", port,
                                          "-w", "1024", "-e", "1024", "-s", "0", "-f", properties.Path()});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("ERROR vesklib Application Exception: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Cannot write the report to standard output: No space left on device"), std::string::npos)
      << run.err;

  // The same run with a writable standard output succeeds.
  const auto written =
      RunProgram(ProgramPath("veskrecv"), {"-p", port, "-w", "1024", "-e", "1024", "-s", "0", "-f", properties.Path()});
  EXPECT_EQ(written.status, 0) << written.err;
  EXPECT_NE(written.out.find("Received 0 sample(s), lost 0 sample(s)"), std::string::npos) << written.out;
  EXPECT_EQ(written.err, "");
}
