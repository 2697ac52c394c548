// decodeAudio through MainActivity, as the demo activity calls it.
#include <gtest/gtest.h>

#include "tests/support/jvm.h"
#include "tests/support/media.h"
#include "tests/tools/audio_reference.h"

namespace qn::testing {
namespace {

constexpr const char* kSignature = "(Ljava/lang/String;Ljava/lang/String;)I";

TEST(DecodeAudioThroughJava, DecodesTheStreamAnsweringZeroAndOneForAMissingInput) {
  const std::string dir = makeTempDir("decode_audio_jvm");
  const std::string input = dir + "/tone.aac";
  const std::string output = dir + "/tone.pcm";
  ASSERT_EQ(runCommand("ffmpeg -v error -y -f lavfi -i sine=f=440:d=1 -ac 2 -c:a aac -f adts " +
                       input), 0);
  takeAndroidLog();
  EXPECT_EQ(callTool("decodeAudio", kSignature, {input, output}), 0);
  const std::vector<std::string> log = takeToolLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2], "Play the output audio file with the command:\n"
                    "ffplay -f f32le -ac 2 -ar 44100 " + output + "\n");
  EXPECT_TRUE(readFile(output) == referenceAudioDecode(input).interleaved);

  EXPECT_EQ(callTool("decodeAudio", kSignature, {dir + "/missing.aac", output}), 1);
  const std::vector<std::string> failure = takeToolLog();
  ASSERT_EQ(failure.size(), 4u);
  EXPECT_EQ(failure[2], "Could not open in file\n");
}

}  // namespace
}  // namespace qn::testing
