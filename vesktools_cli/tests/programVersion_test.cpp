// Every installed program run as a process with --version and --help: the
// version line names the program, the package and the project's version,
// comes before any required option is asked for, and ends with status 0.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include <vesk_test/RunProgram.hpp>

using vesk_test::RunProgram;

namespace {

struct ProgramCase {
  std::string name;
  std::string folder;  // its folder in the build tree
  // Options that make the program do its work, given together with
  // --version: the version still ends the run at once.
  std::vector<std::string> work_args;
};

// Names the case in gtest's messages instead of dumping its bytes.
void PrintTo(const ProgramCase& program, std::ostream* out) {
  *out << program.name;
}

std::string PathOf(const ProgramCase& program) {
  const char* binary_dir = std::getenv("VESK_BINARY_DIR");
  return std::string(binary_dir != nullptr ? binary_dir : VESK_BINARY_DIR_DEFAULT) + "/" + program.folder + "/" +
         program.name;
}

class ProgramVersion : public testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramVersion, VersionAlonePrintsOneLineAndEndsWithZero) {
  const auto run = RunProgram(PathOf(GetParam()), {"--version"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, GetParam().name + " (vesktools) " VESK_EXPECTED_VERSION "\n");
  EXPECT_EQ(run.err, "");
}

TEST_P(ProgramVersion, VersionWithTheOptionsOfARunStillOnlyPrintsTheVersion) {
  std::vector<std::string> args = GetParam().work_args;
  args.emplace_back("--version");
  vesk_test::RunLimits limits;
  limits.timeout = std::chrono::seconds(10);
  const auto run = RunProgram(PathOf(GetParam()), args, limits);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, GetParam().name + " (vesktools) " VESK_EXPECTED_VERSION "\n");
}

TEST_P(ProgramVersion, HelpListsTheVersionOptionOnStandardOutput) {
  const auto run = RunProgram(PathOf(GetParam()), {"--help"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("--version"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("--help"), std::string::npos) << run.out;
}

// Each program's own work options: a receiver on a free port, a sender of a
// cube that does not exist (it would fail only once it started work).
std::vector<ProgramCase> Programs() {
  const std::string port = std::to_string(vesk_test::FreeUdpPort());
  return {
      {"veskfeed", "veskfeed", {"-i", "/nonexistent/cube.fits", "-p", port, "-n", "1"}},
      {"veskrecv", "veskrecv", {"-p", port, "-w", "4", "-e", "3", "-s", "1"}},
      {"vesk2vidragw", "vesk2vidragw", {"-p", port, "-w", "4", "-e", "3", "-k", "redis://127.0.0.1:1"}},
      {"vidra2fits", "vidra2fits", {"-k", "redis://127.0.0.1:1", "-o", "/nonexistent/out.fits"}},
      {"vesk-impair", "vesk_impair", {"--dest-port", port, "--duration", "5"}},
      {"vesk-make-cube", "veskrecv", {"/nonexistent/cube.fits", "4", "3", "2"}},
  };
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramVersion, testing::ValuesIn(Programs()),
                         [](const testing::TestParamInfo<ProgramCase>& param_info) {
                           std::string name;
                           for (const char c : param_info.param.name) name += (c == '-') ? '_' : c;
                           return name;
                         });

}  // namespace
