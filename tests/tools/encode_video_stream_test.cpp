// encodeVideo: the log of a run, the raw H.264 file it writes, and what
// decoding that file gives back.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/android_log.h"
#include "tests/support/media.h"
#include "tools/test_pattern.h"
#include "tools/tools.h"

namespace qn::testing {
namespace {

constexpr int kWidth = 352;
constexpr int kHeight = 288;

/// Runs the tool and returns its log lines; fails the test unless it gives the answer.
std::vector<std::string> encodeLog(const std::string& output, int answer = 0) {
  takeAndroidLog();
  EXPECT_EQ(tools::encodeVideo(output.c_str()), answer);
  return takeAndroidLogTexts();
}

/// What a run's log says, line by line after the path.
struct EncodeLog {
  std::vector<long long> sentPictures;
  std::vector<int> packetSizes;
  int packetsAfterLastPicture = 0;
  std::vector<std::string> otherLines;
};

/// Reads the "Send frame" and "Write packet" lines; a line that does not
/// re-format to itself byte for byte counts as another line.
EncodeLog readEncodeLog(const std::vector<std::string>& lines) {
  EncodeLog log;
  for (const std::string& line : lines) {
    long long number = 0;
    int size = 0;
    char again[128];
    if (sscanf(line.c_str(), "Send frame %lld", &number) == 1) {
      snprintf(again, sizeof again, "Send frame %lli\n", number);
      if (line == again) {
        log.sentPictures.push_back(number);
        log.packetsAfterLastPicture = 0;
        continue;
      }
    } else if (sscanf(line.c_str(), "Write packet %lld (size=%d)", &number, &size) == 2) {
      snprintf(again, sizeof again, "Write packet %lli (size=%5d)\n", number, size);
      if (line == again) {
        log.packetSizes.push_back(size);
        log.packetsAfterLastPicture++;
        continue;
      }
    }
    log.otherLines.push_back(line);
  }
  return log;
}

/// Mean absolute difference between a decoded picture and test pattern picture `index`.
double patternError(const Picture& picture, int index) {
  std::vector<uint8_t> y(kWidth * kHeight), u(kWidth * kHeight / 4), v(kWidth * kHeight / 4);
  uint8_t* planes[3] = {y.data(), u.data(), v.data()};
  const int lineSizes[3] = {kWidth, kWidth / 2, kWidth / 2};
  tools::fillTestPattern(planes, lineSizes, kWidth, kHeight, index);
  long total = 0;
  for (size_t i = 0; i < y.size(); i++) total += std::abs(y[i] - picture.y[i]);
  for (size_t i = 0; i < u.size(); i++) total += std::abs(u[i] - picture.u[i]);
  for (size_t i = 0; i < v.size(); i++) total += std::abs(v[i] - picture.v[i]);
  return static_cast<double>(total) / static_cast<double>(y.size() + u.size() + v.size());
}

TEST(EncodeVideo, LogsThePathThenEachPictureSentAndEachPacketWritten) {
  const std::string path = makeTempDir("encode-video-log") + "/pattern.h264";
  const std::vector<std::string> lines = encodeLog(path);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], path);

  const EncodeLog log = readEncodeLog({lines.begin() + 1, lines.end()});
  EXPECT_TRUE(log.otherLines.empty()) << log.otherLines[0];
  ASSERT_EQ(log.sentPictures.size(), 25u);
  for (int i = 0; i < 25; i++) EXPECT_EQ(log.sentPictures[i], i);
  // The encoder still holds pictures when the last one is sent; the drain writes them.
  EXPECT_GE(log.packetsAfterLastPicture, 1);

  long long total = 0;
  for (int size : log.packetSizes) total += size;
  EXPECT_EQ(static_cast<long long>(readFile(path).size()), total);
}

TEST(EncodeVideo, WritesARawStreamThatDecodesToTheTwentyFivePatternPictures) {
  const std::string path = makeTempDir("encode-video-decode") + "/pattern.h264";
  encodeLog(path);
  const std::vector<Picture> pictures = referenceDecode(readFile(path), AV_CODEC_ID_H264);
  ASSERT_EQ(pictures.size(), 25u);
  for (const Picture& picture : pictures) {
    ASSERT_EQ(picture.width, kWidth);
    ASSERT_EQ(picture.height, kHeight);
  }
  // Lossy, so the top-left samples are near the pattern's 0 / 128 / 64 and 72 / 176 / 184.
  EXPECT_NEAR(pictures[0].y[0], 0, 8);
  EXPECT_NEAR(pictures[0].u[0], 128, 4);
  EXPECT_NEAR(pictures[0].v[0], 64, 4);
  EXPECT_NEAR(pictures[24].y[0], 72, 8);
  EXPECT_NEAR(pictures[24].u[0], 176, 4);
  EXPECT_NEAR(pictures[24].v[0], 184, 4);
  // Every picture is the pattern of its own index, in display order.
  for (int i = 0; i < 25; i++) {
    EXPECT_LT(patternError(pictures[i], i), 1.5) << "picture " << i;
    if (i > 0) {
      EXPECT_GT(patternError(pictures[i], i - 1), 2 * patternError(pictures[i], i)) << i;
    }
  }
}

TEST(EncodeVideo, WritesAStreamThatDecodeVideoReadsBack) {
  const std::string dir = makeTempDir("encode-video-roundtrip");
  encodeLog(dir + "/pattern.h264");
  takeAndroidLog();
  tools::decodeVideo((dir + "/pattern.h264").c_str(), (dir + "/out").c_str());
  EXPECT_EQ(takeAndroidLogTexts(), (std::vector<std::string>{dir + "/pattern.h264", dir + "/out",
                                                             "saving avFrame  20\n"}));
  EXPECT_EQ(readFile(dir + "/out-20.yuv").size(), 352u * 288 * 3 / 2);
}

TEST(EncodeVideo, UnwritablePathLogsTheOpenFailureAndCreatesNothing) {
  const std::string path = makeTempDir("encode-video-unwritable") + "/missing/pattern.h264";
  EXPECT_EQ(encodeLog(path, 1), (std::vector<std::string>{path, "Could not open " + path + "\n"}));
  EXPECT_FALSE(fileExists(path));
}

TEST(EncodeVideo, ReplacesAnExistingFile) {
  const std::string path = makeTempDir("encode-video-replace") + "/pattern.h264";
  ASSERT_TRUE(writeFile(path, std::vector<uint8_t>(2 * 1024 * 1024, 0xAB)));
  const EncodeLog log = readEncodeLog(encodeLog(path));
  long long total = 0;
  for (int size : log.packetSizes) total += size;
  EXPECT_EQ(static_cast<long long>(readFile(path).size()), total);
  EXPECT_EQ(referenceDecode(readFile(path), AV_CODEC_ID_H264).size(), 25u);
}

}  // namespace
}  // namespace qn::testing
