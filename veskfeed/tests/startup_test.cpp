// veskfeed's start-up run as a real process: help, command-line errors, log
// level, property file and the frequency check.

#include <gtest/gtest.h>

#include <vesk_test/RunProgram.hpp>

using vesk_test::InOrder;
using vesk_test::ProgramPath;
using vesk_test::RunProgram;

namespace {

const std::vector<std::string> kOptionLines = {
    "-h [ --help ]",
    "-i [ --sim-im ] arg",
    "-q [ --frequency ] arg (=-1)",
    "-n [ --iterations ] arg (=-1)",
    "-s [ --src-ip ] arg (=127.0.0.1)",
    "-d [ --dest-ip ] arg",
    "-p [ --dest-port ] arg",
    "-m [ --mtu-size ] arg (=1500)",
    "-x [ --ext_info_size ] arg (=8)",
    "-t [ --topic-id ] arg (=10)",
    "-c [ --component-id ] arg (=12345)",
    "-f [ --log-prop-file ] arg",
    "-l [ --log-level ] arg (=ERROR)",
};

std::string Program() {
  return ProgramPath("veskfeed");
}

// Options that pass start-up; the cube does not exist, so the work phase
// fails at once.
std::vector<std::string> WithMissingCube(std::vector<std::string> extra) {
  std::vector<std::string> args = {"-i", "/nonexistent/cube.fits", "-p", std::to_string(vesk_test::FreeUdpPort()), "-n",
                                   "1"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

}  // namespace

TEST(VeskfeedStartup, HelpWorksAloneAndListsTheOptionsInOrder) {
  const auto help = RunProgram(Program(), {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Options:\n", 0), 0u) << help.out;
  EXPECT_TRUE(InOrder(help.out, kOptionLines)) << help.out;
  EXPECT_TRUE(
      InOrder(help.out, {"Print help messages", "simulation FITS file to use", "UDP port",
                         "MTU size (1500 or 9000 bytes)", "extended info size, 0 or 8", "VESK Topic ID",
                         "VESK Component ID", "Log property filename", "Log level: ERROR, INFO, DEBUG, TRACE"}));
  EXPECT_EQ(help.err, "");
  // The short form, with other options and a bad level, still only helps.
  const auto short_help = RunProgram(Program(), {"-p", "1", "-l", "LOUD", "-h"});
  EXPECT_EQ(short_help.status, 0);
  EXPECT_EQ(short_help.out, help.out);
}

TEST(VeskfeedStartup, CommandLineErrorsGoToStandardErrorWithTheDescription) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--bogus"}, "ERROR: unrecognised option '--bogus'\n\nOptions:\n"},
      {{"-i", "cube.fits"}, "ERROR: the option '--dest-port' is required but missing\n\nOptions:\n"},
      {{"-p", "5"}, "ERROR: the option '--sim-im' is required but missing\n\nOptions:\n"},
      {{"-i", "cube.fits", "-p", "five"}, "ERROR: the argument ('five') for option '--dest-port' is invalid\n\n"},
      {{"-i", "cube.fits", "-p", "5", "-m", "70000"}, "ERROR: "},
  };
  for (const auto& [args, expected_start] : cases) {
    const auto run = RunProgram(Program(), args);
    SCOPED_TRACE(args.front() + " " + args.back());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind(expected_start, 0), 0u) << run.err;
    EXPECT_TRUE(InOrder(run.err, kOptionLines)) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

TEST(VeskfeedStartup, InvalidLogLevelPrintsTheDescriptionOnStandardOutput) {
  const auto help = RunProgram(Program(), {"-h"});
  const auto run = RunProgram(Program(), WithMissingCube({"-l", "LOUD"}));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, help.out);
  EXPECT_NE(run.err.find("ERROR: Invalid log level: LOUD"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("Options:"), std::string::npos);
}

TEST(VeskfeedStartup, FrequencyMustBePositiveOrMinusOne) {
  for (const std::string frequency : {"0", "-2", "-0.5", "nan"}) {
    const auto run = RunProgram(Program(), WithMissingCube({"-q", frequency}));
    EXPECT_EQ(run.status, 1) << frequency;
    EXPECT_EQ(run.err.rfind("ERROR: Invalid frequency: ", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out, "");
  }
  // Accepted rates reach the work phase, which fails on the missing cube with status 1.
  for (const std::string frequency : {"-1", "2.5", "1e-12"}) {
    const auto run = RunProgram(Program(), WithMissingCube({"-q", frequency}));
    EXPECT_EQ(run.status, 1) << frequency;
    EXPECT_NE(run.out.find("Application Exception: "), std::string::npos) << run.out;
  }
}

TEST(VeskfeedStartup, PropertyFileIsAppliedAndItsLevelOverriddenByTheCommandLine) {
  const vesk_test::TempFile properties("veskfeed_log", vesk_test::LogProperties("TRACE"));
  // The file's TRACE lets the DEBUG "CmdOpt" line through; then the default
  // level ERROR takes over for the work.
  const auto run = RunProgram(Program(), WithMissingCube({"-f", properties.Path()}));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(InOrder(run.out, {"DEBUG vesklib CmdOpt - Log property file: <" + properties.Path() + ">\n",
                                "ERROR vesklib Application Exception: "}))
      << run.out;
  EXPECT_EQ(run.out.find("INFO "), std::string::npos) << run.out;

  const vesk_test::TempFile quiet("veskfeed_log", vesk_test::LogProperties("ERROR"));
  const auto quiet_run = RunProgram(Program(), WithMissingCube({"-f", quiet.Path(), "-l", "DEBUG"}));
  EXPECT_EQ(quiet_run.status, 1);
  EXPECT_EQ(quiet_run.out.find("CmdOpt"), std::string::npos) << quiet_run.out;
  EXPECT_NE(quiet_run.out.find("ERROR vesklib Application Exception: "), std::string::npos);
}

TEST(VeskfeedStartup, MissingPropertyFileIsAStartUpError) {
  const auto run = RunProgram(Program(), WithMissingCube({"-f", "/nonexistent/log.properties", "-l", "INFO"}));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("ERROR: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("/nonexistent/log.properties"), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("Starting application"), std::string::npos);
}
