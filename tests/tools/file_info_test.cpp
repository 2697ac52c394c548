// printFileInfo: the path line, then each container metadata entry as
// "key=value\n" in the dictionary's order, or the FFmpeg error text.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "tests/support/android_log.h"
#include "tests/support/media.h"
#include "tests/tools/container_media.h"
#include "tools/tools.h"

namespace qn::testing {
namespace {

class PrintFileInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeTempDir("file_info");
    takeAndroidLog();
  }

  /// Runs the tool and checks that it wrote exactly these texts, each at priority 6 under "TAG".
  void expectLines(const std::string& path, const std::vector<std::string>& texts) {
    tools::printFileInfo(path.c_str());
    EXPECT_EQ(takeToolLog(), texts);
  }

  std::string dir_;
};

/// ffprobe's reading of the container tags, as the tool's "key=value\n" lines.
std::vector<std::string> ffprobeTagLines(const std::string& path) {
  const std::string listing = commandOutput(
      "ffprobe -v error -show_entries format_tags -of default=noprint_wrappers=1 '" + path + "'");
  std::vector<std::string> lines;
  std::istringstream in(listing);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("TAG:", 0) == 0) lines.push_back(line.substr(4) + "\n");
  }
  return lines;
}

/// Tags whose values would go wrong if a value were ever used as a format or cut at a byte.
const char kTags[] =
    "-metadata title='Garden camera 标题' -metadata artist=QN -metadata 'comment=100% %s %n' "
    "-metadata date=2026 ";

class PrintFileInfoContainers : public PrintFileInfo,
                                public ::testing::WithParamInterface<const char*> {};

TEST_P(PrintFileInfoContainers, PathLineThenEveryContainerEntryInDictionaryOrder) {
  const std::string path = dir_ + "/tagged." + GetParam();
  ffmpeg("-f lavfi -i testsrc=size=64x48:rate=5 -frames:v 2 -c:v mpeg4 -map_metadata -1 "
         "-fflags +bitexact " + std::string(kTags) + path);
  const std::vector<std::string> tags = ffprobeTagLines(path);
  ASSERT_GE(tags.size(), 4u);  // the muxer may add its own entries too
  EXPECT_NE(std::find(tags.begin(), tags.end(), "title=Garden camera 标题\n"), tags.end());

  std::vector<std::string> expected{path};
  expected.insert(expected.end(), tags.begin(), tags.end());
  expectLines(path, expected);
}

INSTANTIATE_TEST_SUITE_P(MatroskaAndMp4, PrintFileInfoContainers, ::testing::Values("mkv", "mp4"));

TEST_F(PrintFileInfo, FileWithoutContainerMetadataGivesThePathLineAlone) {
  StreamSpec threePictures;
  threePictures.frames = 3;
  const std::string path = dir_ + "/plain.h264";  // a raw stream: no container, no tags
  ASSERT_TRUE(writeFile(path, encodeStream(threePictures).bytes));
  ASSERT_TRUE(ffprobeTagLines(path).empty());
  expectLines(path, {path});
}

TEST_F(PrintFileInfo, MissingFileGivesThePathLineAndTheOpenError) {
  const std::string path = dir_ + "/no such file.mkv";
  expectLines(path, {path, "No such file or directory"});
}

TEST_F(PrintFileInfo, FileThatOpensButFailsStreamAnalysisGivesTheAnalysisError) {
  // The first two transport packets (tables only) open, but no stream ever carries data.
  const std::string whole = dir_ + "/whole.ts";
  ffmpeg("-f lavfi -i testsrc=size=64x48:rate=5 -frames:v 2 -c:v mpeg4 " + whole);
  std::vector<uint8_t> bytes = readFile(whole);
  ASSERT_GT(bytes.size(), 376u);
  bytes.resize(376);
  const std::string path = dir_ + "/tables-only.ts";
  ASSERT_TRUE(writeFile(path, bytes));
  expectLines(path, {path, "End of file"});
}

TEST_F(PrintFileInfo, TextsThatAreNotMediaGiveTheProbeErrorAndThePathVerbatim) {
  const std::string path = dir_ + "/100% %s notes.txt";
  ASSERT_TRUE(writeFile(path, std::vector<uint8_t>(200, 'x')));
  expectLines(path, {path, "Invalid data found when processing input"});
}

TEST_F(PrintFileInfo, LinesGoUnderTheTagThatTagPointsToAtTheTimeOfTheCall) {
  const char* const original = TAG;
  TAG = "OTHER";
  tools::printFileInfo((dir_ + "/missing").c_str());
  TAG = original;
  const std::vector<LogEntry> log = takeAndroidLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].tag, "OTHER");
  EXPECT_EQ(log[1].tag, "OTHER");
}

}  // namespace
}  // namespace qn::testing
