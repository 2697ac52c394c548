// The command-line runner of the demo activity, run as a user runs it: a
// separate java process whose terminal output and exit code are checked.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "tests/support/media.h"
#include "tests/tools/container_media.h"

namespace qn::testing {
namespace {

/// What one run of the runner printed and how it ended.
struct RunnerRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

/// Runs ToolRunner with the arguments (already shell-quoted) in the given directory.
RunnerRun runRunner(const std::string& dir, const std::string& arguments) {
  const std::string out = dir + "/runner.out";
  const std::string err = dir + "/runner.err";
  const std::string command = "cd '" + dir + "' && \"${JAVA_HOME:+$JAVA_HOME/bin/}java\""
                              " --enable-native-access=ALL-UNNAMED -cp " QN_BUILD_DIR
                              "/java/qn_host.jar -Djava.library.path=" QN_BUILD_DIR
                              "/lib com.quarn.iot.programs.ToolRunner " + arguments + " >" + out +
                              " 2>" + err;
  RunnerRun run;
  const int status = runCommand(command);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const std::vector<uint8_t> outBytes = readFile(out), errBytes = readFile(err);
  run.out.assign(outBytes.begin(), outBytes.end());
  run.err.assign(errBytes.begin(), errBytes.end());
  return run;
}

class ToolRunner : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = makeTempDir("tool_runner"); }
  std::string dir_;
};

TEST_F(ToolRunner, RunsPrintFileInfoOnARelativePathShowingItsLogLinesAsLogcatWould) {
  ffmpeg("-f lavfi -i testsrc=size=64x48:rate=5 -frames:v 2 -c:v mpeg4 -map_metadata -1 "
         "-fflags +bitexact -metadata title=Porch " + dir_ + "/porch.mkv");
  const RunnerRun run = runRunner(dir_, "printFileInfo porch.mkv");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "");  // printFileInfo has no result
  // liblog's host form, which changed with liblog 34 (Debian 13): before, tag, priority
  // letter, date and time, process and thread ids, text; since, date and time with
  // milliseconds, process and thread ids, priority letter, padded tag, colon, text.
  EXPECT_THAT(run.err, ::testing::ContainsRegex(
                           "(TAG E [0-9-]+ [0-9:]+ +[0-9]+ +[0-9]+ |"
                           "[0-9-]+ [0-9:.]+ +[0-9]+ +[0-9]+ E TAG +: )porch.mkv\n"));
  EXPECT_THAT(run.err, ::testing::HasSubstr(" title=Porch\n"));
}

TEST_F(ToolRunner, PrintsTheResultOfToolsThatHaveOne) {
  const RunnerRun run = runRunner(dir_, "stringFromJNI");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "result: Hello from C++!\n");
  EXPECT_EQ(run.err, "");
}

TEST_F(ToolRunner, ExitsOneWhenTheToolAnswersOne) {
  const RunnerRun run = runRunner(dir_, "decodeAudio missing.aac out.pcm");
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_EQ(run.out, "result: 1\n");
  EXPECT_THAT(run.err, ::testing::HasSubstr("Could not open in file\n"));
}

TEST_F(ToolRunner, UnknownToolsAndWrongPathCountsExitTwoWithAUsageLine) {
  const RunnerRun unknown = runRunner(dir_, "printFileInfos a.mkv");
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_THAT(unknown.err, ::testing::HasSubstr("unknown tool: printFileInfos\n"));
  EXPECT_THAT(unknown.err, ::testing::HasSubstr("usage: make tool ARGS=\"<tool> <path>...\"\n"));

  const RunnerRun missing = runRunner(dir_, "remux in.mp4");
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_THAT(missing.err, ::testing::HasSubstr("usage: make tool ARGS=\"remux <input> <output>\"\n"));

  const RunnerRun extra = runRunner(dir_, "avbench extra");
  EXPECT_EQ(extra.exitCode, 2);
  EXPECT_THAT(extra.err, ::testing::HasSubstr("usage: make tool ARGS=\"avbench\"\n"));
  EXPECT_EQ(missing.out + extra.out + unknown.out, "");  // no tool ran
}

TEST_F(ToolRunner, WithoutArgumentsListsEveryToolWithItsParameters) {
  const RunnerRun run = runRunner(dir_, "");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  for (const char* tool :
       {"avbench", "decodeAudio <input> <output>", "decodeVideo <input> <outputPrefix>",
        "encodeAudio <output>", "encodeVideo <output>", "extractAudio <input> <output>",
        "extractVideo <input> <output>", "printFileInfo <path>", "remux <input> <output>",
        "resampleAudio <output>", "scaleVideo <output>", "stringFromJNI"}) {
    EXPECT_THAT(run.out, ::testing::HasSubstr(std::string("  ") + tool)) << tool;
  }
}

}  // namespace
}  // namespace qn::testing
