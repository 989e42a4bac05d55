// The library logger, prefixed messages, trace scopes and the debug print.

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <vesk_test/CaptureAppender.hpp>

#include <log4cplus/appender.h>
#include <log4cplus/spi/loggingevent.h>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>
#include <vesklib_korvel/Diagnostics.hpp>

namespace vk = ketra::vesktools::vesklib_korvel;

namespace {

int g_formatted = 0;
int CountFormatting() {
  return ++g_formatted;
}

void TracedOperation(bool fail) {
  VESK_TRACE_SCOPE();
  if (fail) {
    throw std::runtime_error("operation failed");
  }
}

// "YYYY-MM-DDTHH:MM:SS[.f]:<this file>:<line>:<function>:<thread>"
const std::string kPrefixPattern =
    R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?:\.\./vesklib_korvel/tests/diagnostics_test\.cpp:\d+:)";

}  // namespace

TEST(LibraryLogger, IsOneLoggerNamedVesklibSharedByAllThreadsAndCopies) {
  log4cplus::Logger* other_thread = nullptr;
  std::thread([&] { other_thread = &vk::Logger(); }).join();
  EXPECT_EQ(other_thread, &vk::Logger());
  EXPECT_EQ(vk::Logger().getName(), "vesklib");
  // A copy obtained by name shares the level: programs configure the library
  // logger through their copy.
  const auto old_level = vk::Logger().getLogLevel();
  log4cplus::Logger::getInstance("vesklib").setLogLevel(log4cplus::DEBUG_LOG_LEVEL);
  EXPECT_EQ(vk::Logger().getLogLevel(), log4cplus::DEBUG_LOG_LEVEL);
  vk::Logger().setLogLevel(old_level);
}

TEST(LogPrefix, HoldsTimeRelativeSourcePathLineFunctionAndThread) {
  std::string prefix;
  std::thread([&] {
    pthread_setname_np(pthread_self(), "prefix-thread");
    prefix = vk::LogPrefix(__FILE__, 42, "SendSample");
  }).join();
  EXPECT_TRUE(std::regex_match(prefix, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.0*[1-9]\d{0,5})?:)"
                                                  R"(\.\./vesklib_korvel/tests/diagnostics_test\.cpp:)"
                                                  R"(42:SendSample:prefix-thread)")))
      << prefix;
  // The build machine's absolute path never reaches the text.
  EXPECT_EQ(prefix.find(std::filesystem::current_path().root_path().string() + "work"), std::string::npos);
}

TEST(PrefixedLog, IsFormattedOnlyWhenTheLevelIsEnabled) {
  g_formatted = 0;
  {
    const vesk_test::LogCapture capture(vk::Logger(), log4cplus::INFO_LOG_LEVEL);
    VESK_LOG_DEBUG_P("{}: counted {}", CountFormatting());
    EXPECT_EQ(g_formatted, 0);
    VESK_LOG_INFO_P("{}: counted {}", CountFormatting());
    EXPECT_EQ(g_formatted, 1);
    const auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(std::regex_match(messages[0], std::regex(kPrefixPattern + "TestBody:[^:]*: counted 1"))) << messages[0];
  }
  {
    const vesk_test::LogCapture capture(vk::Logger(), log4cplus::DEBUG_LOG_LEVEL);
    VESK_LOG_DEBUG_P("{}: counted {}", CountFormatting());
    ASSERT_EQ(capture.Messages().size(), 1u);
    EXPECT_NE(capture.Messages()[0].find(": counted 2"), std::string::npos);
  }
}

TEST(TraceScope, LogsEnterAndExitWithTheSignatureAlsoWhenThrowing) {
  const vesk_test::LogCapture capture(vk::Logger(), log4cplus::TRACE_LOG_LEVEL);
  TracedOperation(false);
  EXPECT_THROW(TracedOperation(true), std::runtime_error);
  const auto messages = capture.Messages();
  const std::string signature = "void {anonymous}::TracedOperation(bool)";
  ASSERT_EQ(messages.size(), 4u);
  for (std::size_t i = 0; i < messages.size(); i += 2) {
    EXPECT_EQ(messages[i], "ENTER: " + signature);
    EXPECT_EQ(messages[i + 1], "EXIT:  " + signature);
  }
}

TEST(TraceScope, IsSilentBelowTrace) {
  const vesk_test::LogCapture capture(vk::Logger(), log4cplus::DEBUG_LOG_LEVEL);
  TracedOperation(false);
  EXPECT_TRUE(capture.Messages().empty());
}

// Runs in a child process only (the parent test below starts it): the debug
// flag is decided once per process, so each scenario needs a fresh process.
// It reaches a first debug site, flips VESKTOOLS_DEBUG and reaches a second.
TEST(DebugPrintChild, TwoSitesAroundAnEnvironmentChange) {
  const char* mode = std::getenv("VESK_DEBUG_CHILD");
  if (mode == nullptr) {
    GTEST_SKIP() << "runs only as a child of DebugPrint.*";
  }
  if (std::string(mode) == "force-off") {
    vk::__vesktools_debug__ = 0;
  }
  VESK_DEBUG_PRINT("first site {}", 1);
  if (std::getenv("VESKTOOLS_DEBUG") != nullptr) {
    unsetenv("VESKTOOLS_DEBUG");
  } else {
    setenv("VESKTOOLS_DEBUG", "1", 1);
  }
  vk::DebugPrint(__FILE__, __LINE__, "SecondSite", "second site");
  std::fflush(stdout);
}

namespace {

struct ChildRun {
  int status = -1;
  std::vector<std::string> debug_lines;
};

// Runs this test program's child test with the given environment prefix
// (for `env`) and keeps the debug lines of its standard output.
ChildRun RunChild(const std::string& env_args) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string command =
      "env " + env_args + " '" + self + "' --gtest_filter=DebugPrintChild.TwoSitesAroundAnEnvironmentChange";
  ChildRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return run;
  }
  std::array<char, 4096> line{};
  while (std::fgets(line.data(), line.size(), pipe) != nullptr) {
    const std::string text(line.data());
    if (text.find("VESKTOOLS-DEBUG:") != std::string::npos) {
      run.debug_lines.push_back(text);
    }
  }
  const int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

}  // namespace

TEST(DebugPrint, UnsetVariableAtTheFirstSiteKeepsItOffForTheProcess) {
  const ChildRun run = RunChild("-u VESKTOOLS_DEBUG VESK_DEBUG_CHILD=read");
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.debug_lines.empty()) << run.debug_lines.front();
}

TEST(DebugPrint, EmptyVariableSwitchesOnAndLaterUnsetChangesNothing) {
  const ChildRun run = RunChild("VESKTOOLS_DEBUG= VESK_DEBUG_CHILD=read");
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.debug_lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(run.debug_lines[0], std::regex("VESKTOOLS-DEBUG:\\d+(\\.\\d+)?:" + kPrefixPattern +
                                                              "TestBody:[^:]*: first site 1\n")))
      << run.debug_lines[0];
  EXPECT_TRUE(std::regex_match(run.debug_lines[1], std::regex("VESKTOOLS-DEBUG:\\d+(\\.\\d+)?:" + kPrefixPattern +
                                                              "SecondSite:[^:]*: second site\n")))
      << run.debug_lines[1];
}

TEST(DebugPrint, AProgramMayForceTheFlagOffBeforeTheFirstSite) {
  const ChildRun run = RunChild("VESKTOOLS_DEBUG=1 VESK_DEBUG_CHILD=force-off");
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.debug_lines.empty());
}
