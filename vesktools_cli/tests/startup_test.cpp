// The common start-up of veskfeed, veskrecv and vesk2vidragw, each run as a
// real process: help, command-line errors, the log level, the property file
// and the level the command line puts over it. One table row per program
// holds what differs between them.

#include <vesk_test/LogLines.hpp>
#include <vesk_test/RunProgram.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using vesk_test::InOrder;
using vesk_test::ProgramPath;
using vesk_test::RunProgram;

struct RequiredOption {
  std::string flag;       // short form, e.g. "-p"
  std::string long_name;  // as the error names it, e.g. "dest-port"
};

struct Program {
  std::string name;
  std::vector<std::string> option_lines;  // the help's option column, in order
  std::vector<std::string> help_texts;    // some of the help's descriptions, in order
  // Arguments that pass start-up (free ports filled in); the work phase then
  // fails or waits, as it does with nothing to read or to reach.
  std::function<std::vector<std::string>()> valid_args;
  std::vector<RequiredOption> required;
  std::vector<std::string> invalid_argument;  // {flag, value, long name}: not a number
  // Program-specific command-line errors and the start of their message.
  std::vector<std::pair<std::vector<std::string>, std::string>> more_errors;
  bool names_bad_log_level;     // "ERROR: Invalid log level: ..." on standard error
  std::string cmdopt_level;     // level of the "CmdOpt - Log property file" line
  std::string work_started;     // output showing the work phase runs, at level ERROR
  std::string first_work_line;  // the first line the work phase logs at cmdopt_level
  // Options in other accepted spellings (a long name with a space given as
  // one argument, a data type in lower case).
  std::vector<std::string> other_spellings;
  std::string data_type_option;  // "" when the program has none
  // What an unknown data type logs; "" when it logs nothing.
  std::string bad_data_type_log;
};

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& extra) {
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// `args` without the option `flag` and its value.
std::vector<std::string> Without(const std::vector<std::string>& args, const std::string& flag) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
    if (args[i] != flag) out.insert(out.end(), {args[i], args[i + 1]});
  }
  return out;
}

Program Veskfeed() {
  Program p;
  p.name = "veskfeed";
  p.option_lines = {"-h [ --help ]",
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
                    "-l [ --log-level ] arg (=ERROR)"};
  p.help_texts = {"Print help messages",
                  "simulation FITS file to use",
                  "UDP port",
                  "MTU size (1500 or 9000 bytes)",
                  "extended info size, 0 or 8",
                  "VESK Topic ID",
                  "VESK Component ID",
                  "Log property filename",
                  "Log level: ERROR, INFO, DEBUG, TRACE"};
  // The cube does not exist: the work phase fails at once.
  p.valid_args = [] {
    return std::vector<std::string>{
        "-i", "/nonexistent/cube.fits", "-p", std::to_string(vesk_test::FreeUdpPort()), "-n", "1"};
  };
  p.required = {{"-i", "sim-im"}, {"-p", "dest-port"}};
  p.invalid_argument = {"-p", "five", "dest-port"};
  p.more_errors = {{{"-i", "cube.fits", "-p", "5", "-m", "70000"}, "ERROR: "}};
  p.names_bad_log_level = true;
  p.cmdopt_level = "DEBUG";
  p.work_started = "ERROR vesklib Application Exception: ";
  p.first_work_line = "ERROR vesklib Application Exception: ";
  return p;
}

Program Veskrecv() {
  Program p;
  p.name = "veskrecv";
  p.option_lines = {"-h [ --help ]",
                    "-a [ --address ] arg (=127.0.0.1)",
                    "-p [ --port ] arg",
                    "-n [ --netif ] arg",
                    "-w [ --width ] arg",
                    "-e [ --height ] arg",
                    "-s [ --samples ] arg",
                    "-f [ --log-prop-file ] arg",
                    "-t [ --data_type ] arg (=Int16)",
                    "-l [ --log-level ] arg (=ERROR)"};
  p.help_texts = {"VESK source IP address",       "VESK UDP port",         "image width",          "image height",
                  "number of samples to receive", "Log property filename", "Image data type: Byte"};
  // Nothing is sent: the work phase waits.
  p.valid_args = [] {
    return std::vector<std::string>{"-p", std::to_string(vesk_test::FreeUdpPort()), "-w", "4", "-e", "3", "-s", "1"};
  };
  p.required = {{"-p", "port"}, {"-w", "width"}, {"-e", "height"}, {"-s", "samples"}};
  p.invalid_argument = {"-w", "four", "width"};
  p.names_bad_log_level = false;
  p.cmdopt_level = "DEBUG";
  p.work_started = "VESK Receiver running...\n";
  p.first_work_line = "INFO vesklib Starting application\n";
  p.other_spellings = {"-t", "int16"};
  p.data_type_option = "-t";
  return p;
}

Program Vesk2vidragw() {
  Program p;
  p.name = "vesk2vidragw";
  p.option_lines = {"-h [ --help ]",
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
                    "-l [ --log-level ] arg (=ERROR)"};
  p.help_texts = {"VESK UDP port", "VIDRA stream name", "VIDRA publishing interval in s", "Broker URI", "Int32,Uint32",
                  "image width",   "image weight",      "extended info size in bytes"};
  // Nothing listens at the broker address: the work phase fails.
  p.valid_args = [] {
    return std::vector<std::string>{"-p", std::to_string(vesk_test::FreeUdpPort()),
                                    "-w", "4",
                                    "-e", "3",
                                    "-k", "redis://127.0.0.1:" + std::to_string(vesk_test::FreeTcpPort())};
  };
  p.required = {{"-p", "port"}, {"-w", "width"}, {"-e", "height"}, {"-k", "broker-uri"}};
  p.invalid_argument = {"-w", "four", "width"};
  p.names_bad_log_level = true;
  p.cmdopt_level = "INFO";
  p.work_started = "ERROR vesklib Application Exception: Error during VESK reception: ";
  p.first_work_line = "INFO vesklib Starting application...\n";
  p.other_spellings = {"--receiver ip=127.0.0.1", "-t", "uint16"};
  p.data_type_option = "--data-type";
  p.bad_data_type_log = "ERROR: Invalid data_type: ";
  return p;
}

void PrintTo(const Program& program, std::ostream* out) {
  *out << program.name;
}

std::string Name(const testing::TestParamInfo<Program>& info) {
  return info.param.name;
}

vesk_test::RunLimits Limits() {
  vesk_test::RunLimits limits;
  limits.timeout = 15s;
  return limits;
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class Startup : public testing::TestWithParam<Program> {
 protected:
  std::string Path() const { return ProgramPath(GetParam().name); }
  vesk_test::ProgramResult Run(const std::vector<std::string>& args,
                               const vesk_test::RunLimits& limits = Limits()) const {
    return RunProgram(Path(), args, limits);
  }
  std::string Help() const { return Run({"-h"}).out; }
};

class DataTypeStartup : public Startup {};

TEST_P(Startup, HelpListsTheOptionsInOrderAndWinsOverEveryOtherOption) {
  const Program& p = GetParam();
  const auto help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Options:\n", 0), 0u) << help.out;
  EXPECT_TRUE(InOrder(help.out, p.option_lines)) << help.out;
  EXPECT_TRUE(InOrder(help.out, p.help_texts)) << help.out;
  EXPECT_EQ(help.err, "");
  // The short form, with a required option missing and a bad level, still
  // only helps.
  const auto short_help = Run(With(Without(p.valid_args(), p.required.front().flag), {"-l", "LOUD", "-h"}));
  EXPECT_EQ(short_help.status, 0);
  EXPECT_EQ(short_help.out, help.out);
}

TEST_P(Startup, CommandLineErrorsGoToStandardErrorWithTheDescription) {
  const Program& p = GetParam();
  std::vector<std::pair<std::vector<std::string>, std::string>> cases = p.more_errors;
  for (const RequiredOption& option : p.required) {
    cases.push_back({Without(p.valid_args(), option.flag),
                     "ERROR: the option '--" + option.long_name + "' is required but missing\n\nOptions:\n"});
  }
  cases.push_back({With(p.valid_args(), {"--bogus"}), "ERROR: unrecognised option '--bogus'\n\nOptions:\n"});
  const auto& bad = p.invalid_argument;
  cases.push_back({With(Without(p.valid_args(), bad[0]), {bad[0], bad[1]}),
                   "ERROR: the argument ('" + bad[1] + "') for option '--" + bad[2] + "' is invalid\n\n"});
  for (const auto& [args, expected_start] : cases) {
    const auto run = Run(args);
    SCOPED_TRACE(expected_start);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind(expected_start, 0), 0u) << run.err;
    EXPECT_TRUE(InOrder(run.err, p.option_lines)) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

TEST_P(Startup, InvalidLogLevelPrintsTheDescriptionOnStandardOutput) {
  const auto run = Run(With(GetParam().valid_args(), {"-l", "LOUD"}));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, Help());
  EXPECT_EQ(run.err.find("ERROR: Invalid log level: LOUD") != std::string::npos, GetParam().names_bad_log_level)
      << run.err;
  EXPECT_EQ(run.err.find("Options:"), std::string::npos);
}

// The property file sets the library logger's level until the command line's
// level (default ERROR) takes over for the work phase.
TEST_P(Startup, PropertyFileIsAppliedAndItsLevelOverriddenByTheCommandLine) {
  const Program& p = GetParam();
  const vesk_test::TempFile verbose("log.properties", vesk_test::LogProperties("TRACE"));
  vesk_test::RunLimits limits = Limits();
  limits.stop_when_stdout_has = p.work_started;
  const auto run = Run(With(p.valid_args(), {"-f", verbose.Path()}), limits);
  EXPECT_FALSE(run.timed_out);
  EXPECT_TRUE(InOrder(
      run.out, {p.cmdopt_level + " vesklib CmdOpt - Log property file: <" + verbose.Path() + ">\n", p.work_started}))
      << run.out;
  EXPECT_EQ(run.out.find("Starting application"), std::string::npos) << run.out;
  EXPECT_EQ(Count(run.out, "INFO "), p.cmdopt_level == "INFO" ? 1u : 0u) << run.out;

  // The file holds the CmdOpt line back; the command line's level lets the
  // work phase's lines at that level through.
  const vesk_test::TempFile quiet("log.properties", vesk_test::LogProperties("ERROR"));
  limits.stop_when_stdout_has = p.first_work_line;
  const auto quiet_run =
      Run(With(With(p.valid_args(), p.other_spellings), {"-f", quiet.Path(), "-l", p.cmdopt_level}), limits);
  EXPECT_FALSE(quiet_run.timed_out);
  EXPECT_NE(quiet_run.out.find(p.first_work_line), std::string::npos) << quiet_run.out;
  EXPECT_EQ(quiet_run.out.find("CmdOpt"), std::string::npos) << quiet_run.out;
}

TEST_P(Startup, MissingPropertyFileIsAStartUpError) {
  const auto run = Run(With(GetParam().valid_args(), {"-f", "/nonexistent/log.properties"}));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("ERROR: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("/nonexistent/log.properties"), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("Starting application"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Programs, Startup, testing::Values(Veskfeed(), Veskrecv(), Vesk2vidragw()), Name);

// veskrecv refuses an unknown data type with the description only; the
// gateway logs it through the basic logging configuration as well. Both
// check the log level first.
TEST_P(DataTypeStartup, UnknownDataTypeIsRefusedAfterTheLogLevel) {
  const Program& p = GetParam();
  const std::string help = Help();
  for (const std::string name : {"Invalid", "Int17"}) {
    const auto run = Run(With(p.valid_args(), {p.data_type_option, name}));
    EXPECT_EQ(run.status, 1) << name;
    if (p.bad_data_type_log.empty()) {
      EXPECT_EQ(run.out, help) << name;
    } else {
      // After the description, a log line at ERROR in the basic layout.
      const std::size_t after_help = run.out.find(help);
      ASSERT_NE(after_help, std::string::npos) << run.out;
      EXPECT_THAT(vesk_test::LogMessages(run.out.substr(after_help + help.size()), "ERROR"),
                  testing::Contains(p.bad_data_type_log + name))
          << run.out;
    }
    EXPECT_EQ(run.err.find("Options:"), std::string::npos) << run.err;
  }
  const auto both = Run(With(p.valid_args(), {"-l", "LOUD", p.data_type_option, "Invalid"}));
  EXPECT_EQ(both.status, 1);
  EXPECT_EQ(both.out, help);
}

INSTANTIATE_TEST_SUITE_P(ReceivingPrograms, DataTypeStartup, testing::Values(Veskrecv(), Vesk2vidragw()), Name);

TEST(VeskfeedStartup, FrequencyMustBePositiveOrMinusOne) {
  const Program feed = Veskfeed();
  for (const std::string frequency : {"0", "-2", "-0.5", "nan"}) {
    const auto run = RunProgram(ProgramPath("veskfeed"), With(feed.valid_args(), {"-q", frequency}));
    EXPECT_EQ(run.status, 1) << frequency;
    EXPECT_EQ(run.err.rfind("ERROR: Invalid frequency: ", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out, "");
  }
  // Accepted rates reach the work phase, which fails on the missing cube with status 1.
  for (const std::string frequency : {"-1", "2.5", "1e-12"}) {
    const auto run = RunProgram(ProgramPath("veskfeed"), With(feed.valid_args(), {"-q", frequency}));
    EXPECT_EQ(run.status, 1) << frequency;
    EXPECT_NE(run.out.find("Application Exception: "), std::string::npos) << run.out;
  }
}

}  // namespace
