// Every tool that writes a file, given the full device: the line that names the file,
// no success line or playback hint, and the result each tool promises.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/android_log.h"
#include "tests/support/media.h"
#include "tools/tool_common.h"

namespace qn::testing {
namespace {

using Lines = std::vector<std::string>;
const std::string kFull = "/dev/full";

/// True if any line starts with the text.
bool anyLineStartsWith(const Lines& lines, const std::string& text) {
  for (const std::string& line : lines) {
    if (line.rfind(text, 0) == 0) return true;
  }
  return false;
}

TEST(FullDevice, DecodeAudioNamesTheFileAndGivesNoPlaybackHint) {
  const std::string input = makeTempDir("full-device") + "/tone.aac";
  ASSERT_EQ(runCommand("ffmpeg -v error -y -f lavfi -i sine=f=440:d=2 -ac 2 -c:a aac -f adts " +
                       input),
            0);
  takeAndroidLog();
  EXPECT_EQ(tools::decodeAudio(input.c_str(), kFull.c_str()), 0);
  EXPECT_EQ(takeToolLog(), (Lines{input, kFull, "Could not write /dev/full\n"}));
}

TEST(FullDevice, EncodeAudioNamesTheFileOnce) {
  takeAndroidLog();
  EXPECT_EQ(tools::encodeAudio(kFull.c_str()), 0);
  EXPECT_EQ(takeToolLog(), (Lines{kFull, "Could not write /dev/full\n"}));
}

TEST(FullDevice, EncodeVideoEncodesEveryPictureThenNamesTheFileOnce) {
  takeAndroidLog();
  EXPECT_EQ(tools::encodeVideo(kFull.c_str()), 0);
  const Lines lines = takeToolLog();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.front(), kFull);
  EXPECT_EQ(lines.back(), "Could not write /dev/full\n");
  size_t failures = 0, sent = 0;
  for (const std::string& line : lines) {
    failures += line.rfind("Could not", 0) == 0;
    sent += line.rfind("Send frame ", 0) == 0;
  }
  EXPECT_EQ(failures, 1u);
  EXPECT_EQ(sent, 25u);
}

TEST(FullDevice, ResampleAudioAnswersOneWithoutTheSuccessLine) {
  takeAndroidLog();
  EXPECT_EQ(tools::resampleAudio(kFull.c_str()), 1);
  const Lines lines = takeToolLog();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.front(), kFull);
  EXPECT_EQ(lines.back(), "Could not write destination file /dev/full\n");
  EXPECT_FALSE(anyLineStartsWith(lines, "Resampling succeeded"));
}

}  // namespace
}  // namespace qn::testing
