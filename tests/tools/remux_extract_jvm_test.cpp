// The container tools as the demo activity calls them: through MainActivity's natives.
#include <gtest/gtest.h>

#include "tests/support/android_log.h"
#include "tests/support/jvm.h"
#include "tests/tools/container_media.h"

namespace qn::testing {
namespace {

using Lines = std::vector<std::string>;
constexpr const char* kTwoPathsVoid = "(Ljava/lang/String;Ljava/lang/String;)V";
constexpr const char* kTwoPathsInt = "(Ljava/lang/String;Ljava/lang/String;)I";

TEST(ContainerToolsThroughJava, ExtractBothStreamsThenRemuxAndReportFailures) {
  const std::string dir = makeTempDir("container-jvm");
  const std::string input = dir + "/av.mp4";
  ffmpeg("-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=frequency=440 -t 1 "
         "-c:v libx264 -pix_fmt yuv420p -c:a aac " + input);
  const MediaInfo source = readMedia(input);
  ASSERT_EQ(source.streams.size(), 2u);
  takeAndroidLog();

  const std::string video = dir + "/video.h264";
  EXPECT_EQ(callTool("extractVideo", kTwoPathsVoid, {input, video}), 0);
  EXPECT_EQ(takeAndroidLogTexts(), (Lines{input, video}));
  EXPECT_EQ(commandOutput("ffprobe -v error -count_packets -show_entries stream=nb_read_packets "
                          "-of csv=p=0 " + video),
            std::to_string(source.streams[0].packets.size()) + "\n");

  const std::string audio = dir + "/audio.mka";
  EXPECT_EQ(callTool("extractAudio", kTwoPathsVoid, {input, audio}), 0);
  EXPECT_EQ(takeAndroidLogTexts(), (Lines{input, audio}));
  const MediaInfo audioCopy = readMedia(audio);
  ASSERT_EQ(audioCopy.streams.size(), 1u);
  EXPECT_EQ(audioCopy.streams[0].packets.size(), source.streams[1].packets.size());

  const std::string remuxed = dir + "/av.mkv";
  {
    StdoutCapture capture(dir + "/stdout.txt");
    EXPECT_EQ(callTool("remux", kTwoPathsInt, {input, remuxed}), 0);
    EXPECT_EQ(capture.lines().size(), 2 * source.packets.size());
  }
  EXPECT_EQ(takeAndroidLogTexts(), (Lines{input, remuxed}));
  EXPECT_EQ(readMedia(remuxed).packets.size(), source.packets.size());

  const std::string missing = dir + "/missing.mp4";
  EXPECT_EQ(callTool("remux", kTwoPathsInt, {missing, remuxed}), 1);
  EXPECT_EQ(takeAndroidLogTexts(),
            (Lines{missing, remuxed, "Could not open input file '" + missing + "'",
                   "Error occurred: No such file or directory\n"}));
}

}  // namespace
}  // namespace qn::testing
