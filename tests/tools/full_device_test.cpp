// Every tool that writes a file, given the full device: the line that names the file,
// no success line or playback hint, and the result each tool promises.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/android_log.h"
#include "tests/support/media.h"
#include "tools/tools.h"

namespace qn::testing {
namespace {

using Lines = std::vector<std::string>;
const std::string kFull = "/dev/full";

/// Number of lines that start with the text.
size_t linesStartingWith(const Lines& lines, const std::string& text) {
  size_t count = 0;
  for (const std::string& line : lines) count += line.rfind(text, 0) == 0;
  return count;
}

/// Runs a one-path tool on the full device; checks its result, that the log starts with
/// the path and ends with `lastLine`, and returns the log.
Lines runOnFullDevice(int (*tool)(const char*), int result, const std::string& lastLine) {
  takeAndroidLog();
  EXPECT_EQ(tool(kFull.c_str()), result);
  const Lines lines = takeToolLog();
  EXPECT_GE(lines.size(), 2u);
  if (lines.size() < 2) return lines;
  EXPECT_EQ(lines.front(), kFull);
  EXPECT_EQ(lines.back(), lastLine);
  return lines;
}

TEST(FullDevice, DecodeAudioRefusesToWriteADeviceAndGivesNoPlaybackHint) {
  const std::string input = makeTempDir("full-device") + "/tone.aac";
  ASSERT_EQ(runCommand("ffmpeg -v error -y -f lavfi -i sine=f=440:d=2 -ac 2 -c:a aac -f adts " +
                       input),
            0);
  takeAndroidLog();
  EXPECT_EQ(tools::decodeAudio(input.c_str(), kFull.c_str()), 1);
  // Its output is made beside the name and renamed over it: never over a device.
  EXPECT_EQ(takeToolLog(), (Lines{input, kFull, "Refused to write /dev/full: it is not a regular file\n"}));
}

TEST(FullDevice, EncodeAudioNamesTheFileOnce) {
  EXPECT_EQ(runOnFullDevice(tools::encodeAudio, 1, "Could not write /dev/full\n").size(), 2u);
}

TEST(FullDevice, EncodeVideoEncodesEveryPictureThenNamesTheFileOnce) {
  const Lines lines = runOnFullDevice(tools::encodeVideo, 1, "Could not write /dev/full\n");
  EXPECT_EQ(linesStartingWith(lines, "Could not"), 1u);
  EXPECT_EQ(linesStartingWith(lines, "Send frame "), 25u);
}

TEST(FullDevice, ResampleAudioAnswersOneWithoutTheSuccessLine) {
  const Lines lines =
      runOnFullDevice(tools::resampleAudio, 1, "Could not write destination file /dev/full\n");
  EXPECT_EQ(linesStartingWith(lines, "Resampling succeeded"), 0u);
}

}  // namespace
}  // namespace qn::testing
