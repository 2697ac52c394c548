// scaleVideo: the raw RGB24 file of 100 scaled pattern pictures, its closing
// line, and the answer to an unopenable output (a full device or storage: full_device_test).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/android_log.h"
#include "tests/support/media.h"
#include "tools/test_pattern.h"
#include "tools/tools.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace qn::testing {
namespace {

constexpr size_t kPictureBytes = 640 * 480 * 3;

/// Pattern picture `index` at 320x240, bilinearly scaled to 640x480 RGB24, made independently.
std::vector<uint8_t> scaledPattern(int index) {
  std::vector<uint8_t> y(320 * 240), u(160 * 120), v(160 * 120);
  uint8_t* planes[3] = {y.data(), u.data(), v.data()};
  const int lineSizes[3] = {320, 160, 160};
  tools::fillTestPattern(planes, lineSizes, 320, 240, index);
  std::vector<uint8_t> rgb(kPictureBytes);
  SwsContext* scaler = sws_getContext(320, 240, AV_PIX_FMT_YUV420P, 640, 480, AV_PIX_FMT_RGB24,
                                      SWS_BILINEAR, nullptr, nullptr, nullptr);
  uint8_t* destination[1] = {rgb.data()};
  const int destinationLineSize[1] = {640 * 3};
  sws_scale(scaler, planes, lineSizes, 0, 240, destination, destinationLineSize);
  sws_freeContext(scaler);
  return rgb;
}

/// Runs the tool, keeping its log lines.
int scale(const std::string& path, std::vector<std::string>* lines) {
  takeAndroidLog();
  const int result = tools::scaleVideo(path.c_str());
  *lines = takeAndroidLogTexts();
  return result;
}

TEST(ScaleVideo, WritesOneHundredBilinearRgbPicturesAndNamesTheFormatInTheLastLine) {
  const std::string path = makeTempDir("scale-video") + "/pattern.rgb";
  std::vector<std::string> lines;
  ASSERT_EQ(scale(path, &lines), 0);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       path, "Scaling succeeded. Play the output file with the command:\n"
                             "ffplay -f rawvideo -pix_fmt rgb24 -video_size 640x480 " +
                                 path + "\n"}));

  const std::vector<uint8_t> file = readFile(path);
  ASSERT_EQ(file.size(), 100 * kPictureBytes);
  for (int index : {0, 1, 50, 99}) {
    const std::vector<uint8_t> picture(file.begin() + index * kPictureBytes,
                                       file.begin() + (index + 1) * kPictureBytes);
    EXPECT_TRUE(picture == scaledPattern(index)) << "picture " << index;
  }
}

TEST(ScaleVideo, PathInAMissingDirectoryAnswersOneAndCreatesNothing) {
  const std::string path = makeTempDir("scale-video-missing") + "/missing/pattern.rgb";
  std::vector<std::string> lines;
  EXPECT_EQ(scale(path, &lines), 1);
  EXPECT_EQ(lines, (std::vector<std::string>{path, "Could not open destination file " + path + "\n"}));
  EXPECT_FALSE(fileExists(path));
}

}  // namespace
}  // namespace qn::testing
