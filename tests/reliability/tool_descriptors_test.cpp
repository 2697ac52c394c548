// No tool leaves a file descriptor open, on its success path or on any
// failure path: the process's descriptors are counted around every call.
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <functional>

#include "tests/support/android_log.h"
#include "tests/support/media.h"
#include "tools/tools.h"

extern "C" {
#include <libavutil/log.h>
}

namespace qn::testing {
namespace {

/// While set, every av_parser_parse2 call of the tools fails as a broken parser would.
bool parserFails = false;

}  // namespace
}  // namespace qn::testing

// Takes the place of libavcodec's av_parser_parse2 in this executable: the tools' calls
// reach libavcodec's own unless the test asks for a parser error, which no stream causes.
extern "C" int av_parser_parse2(AVCodecParserContext* parser, AVCodecContext* context,
                                uint8_t** output, int* outputSize, const uint8_t* input,
                                int inputSize, int64_t pts, int64_t dts, int64_t pos) {
  if (qn::testing::parserFails) return AVERROR_INVALIDDATA;
  using Parse = int (*)(AVCodecParserContext*, AVCodecContext*, uint8_t**, int*, const uint8_t*,
                        int, int64_t, int64_t, int64_t);
  static const auto real = reinterpret_cast<Parse>(dlsym(RTLD_NEXT, "av_parser_parse2"));
  return real(parser, context, output, outputSize, input, inputSize, pts, dts, pos);
}

namespace qn::testing {
namespace {

/// Number of open descriptors of this process.
int openDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (readdir(dir) != nullptr) count++;
  closedir(dir);
  return count;
}

class ToolDescriptors : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    av_log_set_level(AV_LOG_QUIET);
    dir_ = new std::string(makeTempDir("tool-descriptors"));
    const std::string& d = *dir_;
    ASSERT_EQ(runCommand("ffmpeg -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=f=440:r=44100 "
                         "-t 1 -c:v libx264 -c:a aac -shortest " + d + "/av.mp4"), 0);
    ASSERT_EQ(runCommand("ffmpeg -v error -y -i " + d + "/av.mp4 -map 0:v -c copy -f h264 " + d + "/v.h264"), 0);
    ASSERT_EQ(runCommand("ffmpeg -v error -y -i " + d + "/av.mp4 -map 0:a -c copy -f adts " + d + "/a.aac"), 0);
    writeFile(d + "/empty", {});
  }
  static void TearDownTestSuite() { delete dir_; }

  /// Runs a call and expects the descriptor count to be unchanged after it; its log lines.
  std::vector<std::string> expectNoLeak(const char* what, const std::function<void()>& call) {
    const int before = openDescriptors();
    call();
    EXPECT_EQ(openDescriptors(), before) << what;
    return takeAndroidLogTexts();
  }

  static std::string* dir_;
};

std::string* ToolDescriptors::dir_ = nullptr;

TEST_F(ToolDescriptors, EveryToolClosesWhatItOpenedOnEveryPath) {
  const std::string& d = *dir_;
  const std::string missing = d + "/missing";
  const std::string unwritable = d + "/no-such-dir/out";
  expectNoLeak("printFileInfo", [&] { tools::printFileInfo((d + "/av.mp4").c_str()); });
  expectNoLeak("printFileInfo missing", [&] { tools::printFileInfo(missing.c_str()); });
  expectNoLeak("extractVideo", [&] { tools::extractStream((d + "/av.mp4").c_str(), (d + "/v.mp4").c_str(), AVMEDIA_TYPE_VIDEO); });
  expectNoLeak("extractAudio bad muxer", [&] { tools::extractStream((d + "/av.mp4").c_str(), (d + "/a.nomuxer").c_str(), AVMEDIA_TYPE_AUDIO); });
  expectNoLeak("extractAudio unwritable", [&] { tools::extractStream((d + "/av.mp4").c_str(), (unwritable + ".m4a").c_str(), AVMEDIA_TYPE_AUDIO); });
  expectNoLeak("extract missing", [&] { tools::extractStream(missing.c_str(), (d + "/x.mp4").c_str(), AVMEDIA_TYPE_VIDEO); });
  expectNoLeak("remux", [&] { tools::remux((d + "/av.mp4").c_str(), (d + "/av.mkv").c_str()); });
  expectNoLeak("remux unwritable", [&] { tools::remux((d + "/av.mp4").c_str(), (unwritable + ".mkv").c_str()); });
  expectNoLeak("remux missing", [&] { tools::remux(missing.c_str(), (d + "/y.mkv").c_str()); });
  expectNoLeak("decodeVideo", [&] { tools::decodeVideo((d + "/v.h264").c_str(), (d + "/pic").c_str()); });
  expectNoLeak("decodeVideo unwritable", [&] { tools::decodeVideo((d + "/v.h264").c_str(), unwritable.c_str()); });
  expectNoLeak("decodeVideo missing", [&] { tools::decodeVideo(missing.c_str(), (d + "/pic").c_str()); });
  expectNoLeak("decodeVideo empty", [&] { tools::decodeVideo((d + "/empty").c_str(), (d + "/pic").c_str()); });
  expectNoLeak("encodeVideo", [&] { tools::encodeVideo((d + "/enc.h264").c_str()); });
  expectNoLeak("encodeVideo unwritable", [&] { tools::encodeVideo(unwritable.c_str()); });
  expectNoLeak("decodeAudio", [&] { tools::decodeAudio((d + "/a.aac").c_str(), (d + "/a.pcm").c_str()); });
  expectNoLeak("decodeAudio unwritable", [&] { tools::decodeAudio((d + "/a.aac").c_str(), unwritable.c_str()); });
  expectNoLeak("decodeAudio missing", [&] { tools::decodeAudio(missing.c_str(), (d + "/a.pcm").c_str()); });
  expectNoLeak("decodeAudio empty", [&] { tools::decodeAudio((d + "/empty").c_str(), (d + "/a.pcm").c_str()); });
  expectNoLeak("encodeAudio", [&] { tools::encodeAudio((d + "/tone.mp2").c_str()); });
  expectNoLeak("encodeAudio unwritable", [&] { tools::encodeAudio(unwritable.c_str()); });
  expectNoLeak("resampleAudio", [&] { tools::resampleAudio((d + "/tone.pcm").c_str()); });
  expectNoLeak("resampleAudio unwritable", [&] { tools::resampleAudio(unwritable.c_str()); });
  expectNoLeak("scaleVideo", [&] { tools::scaleVideo((d + "/scaled.rgb").c_str()); });
  expectNoLeak("scaleVideo unwritable", [&] { tools::scaleVideo(unwritable.c_str()); });
}

TEST_F(ToolDescriptors, FailuresAfterTheOutputWasOpenedCloseItToo) {
  const std::string& d = *dir_;
  const std::string av = d + "/av.mp4";
  // GIF takes one GIF picture stream only, so its header refuses H.264 (and audio).
  expectNoLeak("extractVideo refused header", [&] { tools::extractStream(av.c_str(), (d + "/v.gif").c_str(), AVMEDIA_TYPE_VIDEO); });
  expectNoLeak("remux refused header", [&] { tools::remux(av.c_str(), (d + "/av.gif").c_str()); });
  // Storage that takes no more than 4 KiB: every write past it fails once the file is open.
  const std::string full = d + "/full";
  const auto lastLine = [](const std::vector<std::string>& log) { return log.empty() ? "" : log.back(); };
  const auto extractedLog = expectNoLeak("extractVideo full storage", [&] { withFilesOfAtMost(4096, [&] { tools::extractStream(av.c_str(), (full + ".mkv").c_str(), AVMEDIA_TYPE_VIDEO); }); });
  const auto remuxedLog = expectNoLeak("remux full storage", [&] { withFilesOfAtMost(4096, [&] { tools::remux(av.c_str(), (full + ".mkv").c_str()); }); });
  const auto decodedLog = expectNoLeak("decodeAudio full storage", [&] { withFilesOfAtMost(4096, [&] { tools::decodeAudio((d + "/a.aac").c_str(), (full + ".pcm").c_str()); }); });
  const auto encodedLog = expectNoLeak("encodeVideo full storage", [&] { withFilesOfAtMost(4096, [&] { tools::encodeVideo((full + ".h264").c_str()); }); });
  const auto toneLog = expectNoLeak("encodeAudio full storage", [&] { withFilesOfAtMost(4096, [&] { tools::encodeAudio((full + ".mp2").c_str()); }); });
  const auto resampledLog = expectNoLeak("resampleAudio full storage", [&] { withFilesOfAtMost(4096, [&] { tools::resampleAudio((full + ".pcm").c_str()); }); });
  const auto scaledLog = expectNoLeak("scaleVideo full storage", [&] { withFilesOfAtMost(4096, [&] { tools::scaleVideo((full + ".rgb").c_str()); }); });
  EXPECT_NE(lastLine(extractedLog).find("File too large"), std::string::npos) << lastLine(extractedLog);
  EXPECT_NE(lastLine(remuxedLog).find("File too large"), std::string::npos) << lastLine(remuxedLog);
  EXPECT_EQ(lastLine(decodedLog), "Could not write " + full + ".pcm\n");
  EXPECT_EQ(lastLine(encodedLog), "Could not write " + full + ".h264\n");
  EXPECT_EQ(lastLine(toneLog), "Could not write " + full + ".mp2\n");
  EXPECT_EQ(lastLine(resampledLog), "Could not write destination file " + full + ".pcm\n");
  EXPECT_EQ(lastLine(scaledLog), "Could not write destination file " + full + ".rgb\n");

  parserFails = true;
  const auto videoLog = expectNoLeak("decodeVideo parser error", [&] { tools::decodeVideo((d + "/v.h264").c_str(), (d + "/pic").c_str()); });
  const auto audioLog = expectNoLeak("decodeAudio parser error", [&] { tools::decodeAudio((d + "/a.aac").c_str(), (d + "/a.pcm").c_str()); });
  parserFails = false;
  EXPECT_EQ(videoLog.back(), "Error while parsing\n");
  EXPECT_EQ(audioLog.back(), "Error while parsing\n");
}

}  // namespace
}  // namespace qn::testing
