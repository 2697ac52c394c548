// Every tool that writes a file, given the full device or storage that takes no more: the
// device is refused, a write that fails is named, the result is 1, no success line or
// playback hint is logged, and nothing is left in the output's place.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/android_log.h"
#include "tests/support/media.h"
#include "tools/tools.h"

namespace qn::testing {
namespace {

using Lines = std::vector<std::string>;
const std::string kFull = "/dev/full";
const std::string kRefusedDevice = "Refused to write /dev/full: it is not a regular file\n";

/// Number of lines that start with the text.
size_t linesStartingWith(const Lines& lines, const std::string& text) {
  size_t count = 0;
  for (const std::string& line : lines) count += line.rfind(text, 0) == 0;
  return count;
}

/// A tool that writes one file it makes itself, and how it names a file not written whole.
struct GeneratingTool {
  const char* name;
  int (*run)(const char* output);
  const char* writeFailure;  // the line before the path
  const char* successStart;  // the start of its success line ("" when it has none)
};

const GeneratingTool kGeneratingTools[] = {
    {"encodeVideo", tools::encodeVideo, "Could not write ", ""},
    {"encodeAudio", tools::encodeAudio, "Could not write ", ""},
    {"resampleAudio", tools::resampleAudio, "Could not write destination file ",
     "Resampling succeeded"},
    {"scaleVideo", tools::scaleVideo, "Could not write destination file ", "Scaling succeeded"},
};

TEST(FullDevice, DecodeAudioRefusesToWriteADeviceAndGivesNoPlaybackHint) {
  const std::string input = makeTempDir("full-device") + "/tone.aac";
  ASSERT_EQ(runCommand("ffmpeg -v error -y -f lavfi -i sine=f=440:d=2 -ac 2 -c:a aac -f adts " +
                       input),
            0);
  takeAndroidLog();
  EXPECT_EQ(tools::decodeAudio(input.c_str(), kFull.c_str()), 1);
  // Its output is made beside the name and renamed over it: never over a device.
  EXPECT_EQ(takeToolLog(), (Lines{input, kFull, kRefusedDevice}));
}

TEST(FullDevice, GeneratingToolsRefuseToWriteADevice) {
  for (const GeneratingTool& tool : kGeneratingTools) {
    takeAndroidLog();
    EXPECT_EQ(tool.run(kFull.c_str()), 1) << tool.name;
    EXPECT_EQ(takeToolLog(), (Lines{kFull, kRefusedDevice})) << tool.name;
  }
}

TEST(FullDevice, AFileTheStorageCannotHoldIsNamedAnsweredOneAndLeavesTheOldFile) {
  const std::string dir = makeTempDir("full-storage");
  for (const GeneratingTool& tool : kGeneratingTools) {
    SCOPED_TRACE(tool.name);
    // A file of the name is there: a failed call leaves it as it was, and nothing beside it.
    const std::string output = dir + "/" + tool.name + ".out";
    const std::vector<uint8_t> old{'o', 'l', 'd'};
    ASSERT_TRUE(writeFile(output, old));
    takeAndroidLog();
    int answer = -1;
    withFilesOfAtMost(4096, [&] { answer = tool.run(output.c_str()); });  // storage that is full
    EXPECT_EQ(answer, 1);
    const Lines lines = takeToolLog();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front(), output);
    EXPECT_EQ(lines.back(), tool.writeFailure + output + "\n");
    EXPECT_EQ(linesStartingWith(lines, "Could not"), 1u);
    if (*tool.successStart) {
      EXPECT_EQ(linesStartingWith(lines, tool.successStart), 0u);
    }
    if (tool.run == tools::encodeVideo) {
      EXPECT_EQ(linesStartingWith(lines, "Send frame "), 25u);
    }
    EXPECT_EQ(readFile(output), old);
    std::filesystem::remove(output);
    EXPECT_TRUE(std::filesystem::is_empty(dir));
  }
}

}  // namespace
}  // namespace qn::testing
