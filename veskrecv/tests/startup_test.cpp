// veskrecv's start-up run as a real process: help, command-line errors, the
// data type and log level checks and the property file.

#include <gtest/gtest.h>

#include <vesk_test/RunProgram.hpp>

using namespace std::chrono_literals;
using vesk_test::InOrder;
using vesk_test::ProgramPath;
using vesk_test::RunProgram;

namespace {

const std::vector<std::string> kOptionLines = {
    "-h [ --help ]",
    "-a [ --address ] arg (=127.0.0.1)",
    "-p [ --port ] arg",
    "-n [ --netif ] arg",
    "-w [ --width ] arg",
    "-e [ --height ] arg",
    "-s [ --samples ] arg",
    "-f [ --log-prop-file ] arg",
    "-t [ --data_type ] arg (=Int16)",
    "-l [ --log-level ] arg (=ERROR)",
};

std::string Program() {
  return ProgramPath("veskrecv");
}

std::vector<std::string> Required(std::vector<std::string> extra) {
  std::vector<std::string> args = {"-p", std::to_string(vesk_test::FreeUdpPort()), "-w", "4", "-e", "3", "-s", "1"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

}  // namespace

TEST(VeskrecvStartup, HelpWorksAloneAndListsTheOptionsInOrder) {
  const auto help = RunProgram(Program(), {"-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Options:\n", 0), 0u) << help.out;
  EXPECT_TRUE(InOrder(help.out, kOptionLines)) << help.out;
  EXPECT_TRUE(InOrder(help.out, {"VESK source IP address", "VESK UDP port", "image width", "image height",
                                 "number of samples to receive", "Log property filename", "Image data type: Byte"}));
  EXPECT_EQ(help.err, "");
}

TEST(VeskrecvStartup, CommandLineErrorsGoToStandardErrorWithTheDescription) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-p", "5", "-w", "4", "-e", "3"}, "ERROR: the option '--samples' is required but missing\n\nOptions:\n"},
      {{"-p", "5", "-w", "4", "-e", "3", "-s", "1", "--colour"}, "ERROR: unrecognised option '--colour'\n\n"},
      {{"-p", "5", "-w", "four", "-e", "3", "-s", "1"}, "ERROR: the argument ('four') for option '--width' is invalid"},
  };
  for (const auto& [args, expected_start] : cases) {
    const auto run = RunProgram(Program(), args);
    EXPECT_EQ(run.status, 1) << expected_start;
    EXPECT_EQ(run.err.rfind(expected_start, 0), 0u) << run.err;
    EXPECT_TRUE(InOrder(run.err, kOptionLines)) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

TEST(VeskrecvStartup, UnknownDataTypeOrLogLevelLeaveOnlyTheDescription) {
  const auto help = RunProgram(Program(), {"-h"});
  // The root logger is OFF and the library logger has no level yet, so
  // nothing is logged: standard output holds the description once.
  for (const auto& extra : std::vector<std::vector<std::string>>{
           {"-t", "Invalid"}, {"-t", "Int17"}, {"-l", "LOUD"}, {"-t", "Invalid", "-l", "LOUD"}}) {
    const auto run = RunProgram(Program(), Required(extra));
    EXPECT_EQ(run.status, 1) << extra.back();
    EXPECT_EQ(run.out, help.out) << extra.back();
    EXPECT_EQ(run.err.find("Options:"), std::string::npos);
  }
}

TEST(VeskrecvStartup, PropertyFileLevelIsOverriddenByTheCommandLine) {
  // The file puts the library logger at ERROR, the command line at INFO: the
  // DEBUG "CmdOpt" line is held back, the first work message passes.
  const vesk_test::TempFile quiet("veskrecv_log", vesk_test::LogProperties("ERROR"));
  vesk_test::RunLimits limits;
  limits.timeout = 10s;
  limits.stop_when_stdout_has = "INFO vesklib Starting application\n";
  const auto run = RunProgram(Program(), Required({"-f", quiet.Path(), "-l", "INFO", "-t", "int16"}), limits);
  EXPECT_FALSE(run.timed_out);
  EXPECT_NE(run.out.find("INFO vesklib Starting application\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("CmdOpt"), std::string::npos) << run.out;
  EXPECT_EQ(run.err, "");

  // The file puts it at TRACE, the command line says nothing (ERROR): the
  // "CmdOpt" line passes, the work message does not.
  const vesk_test::TempFile verbose("veskrecv_log", vesk_test::LogProperties("TRACE"));
  limits.timeout = 3s;
  limits.stop_when_stdout_has.clear();
  const auto quiet_run = RunProgram(Program(), Required({"-f", verbose.Path()}), limits);
  EXPECT_NE(quiet_run.out.find("DEBUG vesklib CmdOpt - Log property file: <" + verbose.Path() + ">\n"),
            std::string::npos)
      << quiet_run.out;
  EXPECT_EQ(quiet_run.out.find("Starting application"), std::string::npos) << quiet_run.out;
}

TEST(VeskrecvStartup, MissingPropertyFileIsAStartUpError) {
  const auto run = RunProgram(Program(), Required({"-f", "/nonexistent/log.properties"}));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("ERROR: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("/nonexistent/log.properties"), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("Starting application"), std::string::npos);
}
