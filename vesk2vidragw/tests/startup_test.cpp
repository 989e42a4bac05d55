// vesk2vidragw's start-up run as a real process: help, command-line errors,
// the log level and data type checks and the property file.

#include <gtest/gtest.h>

#include <vesk_test/RunProgram.hpp>

using namespace std::chrono_literals;
using vesk_test::InOrder;
using vesk_test::ProgramPath;
using vesk_test::RunProgram;

namespace {

const std::vector<std::string> kOptionLines = {
    "-h [ --help ]",
    "-r [ --receiver ip ] arg (=127.0.0.1)",
    "-a [ --interface ] arg (=127.0.0.1)",
    "-p [ --port ] arg",
    "-s [ --vidra-stream ] arg (=vesk_stream)",
    "-i [ --vidra-interval ] arg (=1)",
    "-k [ --broker-uri ] arg",
    "-f [ --log-prop-file ] arg",
    "-t [ --data-type ] arg (=Int16)",
    "-w [ --width ] arg",
    "-e [ --height ] arg",
    "-m [ --mtu-size ] arg (=1500)",
    "-x [ --ext_info_size ] arg (=8)",
    "-l [ --log-level ] arg (=ERROR)",
};

std::string Program() {
  return ProgramPath("vesk2vidragw");
}

// Required options with a broker address where nothing listens.
std::vector<std::string> Required(std::vector<std::string> extra) {
  std::vector<std::string> args = {"-p", std::to_string(vesk_test::FreeUdpPort()),
                                   "-w", "4",
                                   "-e", "3",
                                   "-k", "redis://127.0.0.1:" + std::to_string(vesk_test::FreeUdpPort())};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

vesk_test::RunLimits Limits() {
  vesk_test::RunLimits limits;
  limits.timeout = 15s;
  return limits;
}

}  // namespace

TEST(Vesk2vidragwStartup, HelpWorksAloneAndListsTheOptionsInOrder) {
  const auto help = RunProgram(Program(), {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Options:\n", 0), 0u) << help.out;
  EXPECT_TRUE(InOrder(help.out, kOptionLines)) << help.out;
  EXPECT_TRUE(InOrder(help.out, {"VESK UDP port", "VIDRA stream name", "VIDRA publishing interval in s", "Broker URI",
                                 "Int32,Uint32", "image width", "image weight", "extended info size in bytes"}));
  EXPECT_EQ(help.err, "");
}

TEST(Vesk2vidragwStartup, MissingRequiredOptionsAreCommandLineErrors) {
  const std::vector<std::string> all = Required({});
  for (const std::string dropped : {"-p", "-w", "-e", "-k"}) {
    std::vector<std::string> args;
    for (std::size_t i = 0; i < all.size(); i += 2) {
      if (all[i] != dropped) {
        args.insert(args.end(), {all[i], all[i + 1]});
      }
    }
    const auto run = RunProgram(Program(), args);
    EXPECT_EQ(run.status, 1) << dropped;
    EXPECT_EQ(run.err.rfind("ERROR: the option '--", 0), 0u) << run.err;
    EXPECT_NE(run.err.find("' is required but missing\n\nOptions:\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

TEST(Vesk2vidragwStartup, InvalidLogLevelIsFoundBeforeTheDataType) {
  const auto help = RunProgram(Program(), {"-h"});
  const auto run = RunProgram(Program(), Required({"-l", "LOUD", "-t", "Invalid"}), Limits());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, help.out);
  EXPECT_NE(run.err.find("ERROR: Invalid log level: LOUD"), std::string::npos) << run.err;
}

TEST(Vesk2vidragwStartup, UnknownDataTypeIsLoggedThroughTheConfiguredLogging) {
  for (const std::string name : {"Invalid", "Int17"}) {
    const auto run = RunProgram(Program(), Required({"--data-type", name}), Limits());
    EXPECT_EQ(run.status, 1);
    // Description first, then the error through the basic configuration.
    EXPECT_TRUE(InOrder(run.out, {"Options:\n", "-l [ --log-level ]", "ERROR - ERROR: Invalid data_type: " + name}))
        << run.out;
  }
}

TEST(Vesk2vidragwStartup, PropertyFileLevelIsOverriddenByTheCommandLine) {
  // File at ERROR, command line INFO: the INFO "CmdOpt" line is held back by
  // the file, the work message passes; the unreachable broker ends the work.
  const vesk_test::TempFile quiet("vesk2vidragw_log", vesk_test::LogProperties("ERROR"));
  const auto run = RunProgram(
      Program(), Required({"-f", quiet.Path(), "-l", "INFO", "--receiver ip=127.0.0.1", "-t", "uint16"}), Limits());
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(InOrder(run.out, {"INFO vesklib Starting application...\n",
                                "ERROR vesklib Application Exception: Error during VESK reception: "}))
      << run.out;
  EXPECT_EQ(run.out.find("CmdOpt"), std::string::npos) << run.out;

  // File at TRACE, no level on the command line (ERROR).
  const vesk_test::TempFile verbose("vesk2vidragw_log", vesk_test::LogProperties("TRACE"));
  const auto default_run = RunProgram(Program(), Required({"-f", verbose.Path()}), Limits());
  EXPECT_EQ(default_run.status, 1);
  EXPECT_TRUE(InOrder(default_run.out, {"INFO vesklib CmdOpt - Log property file: <" + verbose.Path() + ">\n",
                                        "ERROR vesklib Application Exception: Error during VESK reception: "}))
      << default_run.out;
  EXPECT_EQ(default_run.out.find("Starting application"), std::string::npos) << default_run.out;
}

TEST(Vesk2vidragwStartup, MissingPropertyFileIsAStartUpError) {
  const auto run = RunProgram(Program(), Required({"-f", "/nonexistent/log.properties"}), Limits());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("ERROR: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("/nonexistent/log.properties"), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("Starting application"), std::string::npos);
}
