// resampleAudio through MainActivity: 0 on success, 1 on failure.
#include <gtest/gtest.h>

#include "tests/support/jvm.h"
#include "tests/support/media.h"
#include "tests/tools/audio_reference.h"

namespace qn::testing {
namespace {

TEST(ResampleAudioThroughJava, AnswersZeroOnSuccessAndOneForAnUnwritablePath) {
  const std::string dir = makeTempDir("resample_audio_jvm");
  takeAndroidLog();
  EXPECT_EQ(callTool("resampleAudio", "(Ljava/lang/String;)I", {dir + "/tone.pcm"}), 0);
  const std::vector<std::string> log = takeToolLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().rfind("Resampling succeeded.", 0), 0u);
  EXPECT_FALSE(readFile(dir + "/tone.pcm").empty());

  EXPECT_EQ(callTool("resampleAudio", "(Ljava/lang/String;)I", {dir + "/missing/tone.pcm"}), 1);
}

}  // namespace
}  // namespace qn::testing
