// The three video tools through MainActivity, as the demo activity calls them.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/android_log.h"
#include "tests/support/jvm.h"
#include "tests/support/media.h"

namespace qn::testing {
namespace {

TEST(VideoToolsThroughJava, EncodeThenDecodeTheStreamAndScaleThePattern) {
  const std::string dir = makeTempDir("video-tools-jvm");
  const std::string stream = dir + "/pattern.h264";
  takeAndroidLog();
  EXPECT_EQ(callTool("encodeVideo", "(Ljava/lang/String;)I", {stream}), 0);
  EXPECT_EQ(takeAndroidLogTexts().front(), stream);
  EXPECT_EQ(referenceDecode(readFile(stream), AV_CODEC_ID_H264).size(), 25u);

  EXPECT_EQ(callTool("decodeVideo", "(Ljava/lang/String;Ljava/lang/String;)I", {stream, dir + "/out"}),
            0);
  EXPECT_EQ(takeAndroidLogTexts(),
            (std::vector<std::string>{stream, dir + "/out", "saving avFrame  20\n"}));
  EXPECT_EQ(readFile(dir + "/out-20.yuv").size(), 352u * 288 * 3 / 2);

  EXPECT_EQ(callTool("scaleVideo", "(Ljava/lang/String;)I", {dir + "/pattern.rgb"}), 0);
  EXPECT_EQ(readFile(dir + "/pattern.rgb").size(), 100u * 640 * 480 * 3);
  EXPECT_EQ(callTool("scaleVideo", "(Ljava/lang/String;)I", {dir + "/missing/pattern.rgb"}), 1);
  EXPECT_FALSE(fileExists(dir + "/missing/pattern.rgb"));
}

}  // namespace
}  // namespace qn::testing
