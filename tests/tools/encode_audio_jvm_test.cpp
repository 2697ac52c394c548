// encodeAudio through MainActivity, as the demo activity calls it.
#include <gtest/gtest.h>

#include "tests/support/jvm.h"
#include "tests/support/media.h"
#include "tests/tools/audio_reference.h"

namespace qn::testing {
namespace {

TEST(EncodeAudioThroughJava, WritesAPlayableMp2FileAndAnswersZero) {
  const std::string output = makeTempDir("encode_audio_jvm") + "/tone.mp2";
  takeAndroidLog();
  EXPECT_EQ(callTool("encodeAudio", "(Ljava/lang/String;)I", {output}), 0);
  EXPECT_EQ(takeToolLog(), std::vector<std::string>{output});
  EXPECT_EQ(commandOutput("ffprobe -v error -show_entries stream=codec_name,channels,sample_rate "
                          "-of csv=p=0 " + output),
            "mp2,44100,2\n");
}

}  // namespace
}  // namespace qn::testing
