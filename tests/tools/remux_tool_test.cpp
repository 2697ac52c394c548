// remux: a media file rewritten into another container, every packet's times on stdout.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <map>

#include "tests/support/android_log.h"
#include "tests/tools/container_media.h"
#include "bridge/error_text.h"
#include "tools/ffmpeg_handles.h"
#include "tools/tools.h"

namespace qn::testing {
namespace {

using Lines = std::vector<std::string>;

/// What one remux call did: its result, Android log lines and standard output lines.
struct RemuxRun {
  int result = -1;
  Lines log;
  Lines out;
};

/// A timestamp field as the packet lines print it.
std::string ticks(int64_t value) {
  return value == AV_NOPTS_VALUE ? "NOPTS" : std::to_string(value);
}

/// A time field as the packet lines print it.
std::string seconds(int64_t value, AVRational timeBase) {
  if (value == AV_NOPTS_VALUE) return "NOPTS";
  char text[32];
  snprintf(text, sizeof text, "%.6g", static_cast<double>(timeBase.num) / timeBase.den * value);
  return text;
}

/// The exact line expected for a packet whose times are in timeBase.
std::string packetLine(const char* tag, const PacketInfo& p, AVRational timeBase, int index) {
  return std::string(tag) + ": pts:" + ticks(p.pts) + " pts_time:" + seconds(p.pts, timeBase) +
         " dts:" + ticks(p.dts) + " dts_time:" + seconds(p.dts, timeBase) +
         " duration:" + ticks(p.duration) + " duration_time:" + seconds(p.duration, timeBase) +
         " stream_index:" + std::to_string(index) + "\n";
}

/// Converts a packet's times as the copy must, missing ones staying missing.
PacketInfo rescaled(const PacketInfo& p, AVRational from, AVRational to, int index) {
  const auto convert = [&](int64_t v) {
    return v == AV_NOPTS_VALUE ? v : av_rescale_q(v, from, to);
  };
  return {index, convert(p.pts), convert(p.dts), convert(p.duration)};
}

/// Whether remux keeps a stream of this type.
bool kept(AVMediaType type) {
  return type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_SUBTITLE;
}

class Remux : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { inputs_ = new ContainerInputs(makeContainerInputs("remux")); }
  static void TearDownTestSuite() { delete inputs_; }
  void SetUp() override { takeAndroidLog(); }

  static const ContainerInputs& in() { return *inputs_; }
  static std::string out(const std::string& name) { return in().dir + "/" + name; }

  /// Runs remux with standard output captured; checks each log line's priority and tag.
  static RemuxRun run(const std::string& input, const std::string& output) {
    RemuxRun run;
    StdoutCapture capture(out("stdout.txt"));
    run.result = qn::tools::remux(input.c_str(), output.c_str());
    run.out = capture.lines();
    run.log = takeToolLog();
    return run;
  }

  /// The in/out line pairs a correct copy of input into output prints, in read order.
  static Lines expectedLines(const MediaInfo& input, const MediaInfo& output) {
    std::map<int, int> outputIndex;
    int next = 0;
    for (size_t i = 0; i < input.streams.size(); i++) {
      if (kept(input.streams[i].type)) outputIndex[static_cast<int>(i)] = next++;
    }
    Lines lines;
    for (const PacketInfo& p : input.packets) {
      if (outputIndex.count(p.streamIndex) == 0) continue;
      const int index = outputIndex[p.streamIndex];
      const AVRational from = input.streams[p.streamIndex].timeBase;
      const AVRational to = output.streams.at(index).timeBase;
      lines.push_back(packetLine("in", p, from, index));
      lines.push_back(packetLine("out", rescaled(p, from, to, index), to, index));
    }
    return lines;
  }

  /// Checks a finished copy: kept streams in input order with all their packets,
  /// the exact packet lines, and an output that decodes.
  static void expectFaithfulCopy(const std::string& input, const std::string& output,
                                 const RemuxRun& run) {
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.log, (Lines{input, output}));
    const MediaInfo source = readMedia(input);
    const MediaInfo copy = readMedia(output);
    ASSERT_TRUE(copy.opened) << output;
    std::vector<const StreamInfo*> keptStreams;
    for (const StreamInfo& s : source.streams) {
      if (kept(s.type)) keptStreams.push_back(&s);
    }
    ASSERT_EQ(copy.streams.size(), keptStreams.size());
    for (size_t i = 0; i < keptStreams.size(); i++) {
      EXPECT_EQ(copy.streams[i].type, keptStreams[i]->type) << "stream " << i;
      EXPECT_EQ(copy.streams[i].codec, keptStreams[i]->codec) << "stream " << i;
      EXPECT_EQ(copy.streams[i].packets.size(), keptStreams[i]->packets.size()) << "stream " << i;
    }
    EXPECT_EQ(run.out, expectedLines(source, copy));
    expectDecodesEveryStream(output, keptStreams.size());
  }

  /// Why this FFmpeg cannot open the MOV whose timecode track precedes the video, or "".
  /// FFmpeg 9.0.2's MOV demuxer refuses that file with "File exists" (so does its ffprobe;
  /// 7.1 reads it): the tests that need it are skipped there, saying why. Any other failure
  /// to open it is left to the test to report.
  static std::string dataFirstMovUnreadable() {
    AVFormatContext* context = nullptr;
    const int ret = avformat_open_input(&context, in().dataFirstMov.c_str(), nullptr, nullptr);
    avformat_close_input(&context);
    if (ret != AVERROR(EEXIST)) return "";
    return std::string("FFmpeg ") + av_version_info() +
           " cannot open a MOV whose timecode track precedes the video (" + ErrorText(ret).text +
           "), nor can its own ffprobe";
  }

 private:
  static ContainerInputs* inputs_;
};
ContainerInputs* Remux::inputs_ = nullptr;

// ---- Whole copies ----

TEST_F(Remux, Mp4BecomesMatroskaWithOneInAndOneOutLinePerPacket) {
  const std::string output = out("av.mkv");
  const RemuxRun result = run(in().mp4, output);
  expectFaithfulCopy(in().mp4, output, result);
  // 25 video and 45 audio packets, each an in line then its out line.
  EXPECT_EQ(result.out.size(), 2u * 70);
}

TEST_F(Remux, BFramesGoIntoMatroskaAndBackIntoMp4) {
  const std::string there = out("bframes.mkv");
  const std::string back = out("bframes-back.mp4");
  expectFaithfulCopy(in().bFramesMp4, there, run(in().bFramesMp4, there));
  expectFaithfulCopy(there, back, run(there, back));
  EXPECT_EQ(readMedia(back).streams.at(0).packets.size(),
            readMedia(in().bFramesMp4).streams.at(0).packets.size());
}

TEST_F(Remux, SubtitlesAreKeptAndTheAttachmentIsDropped) {
  const MediaInfo source = readMedia(in().mkv);
  ASSERT_EQ(source.streams.size(), 4u);
  ASSERT_EQ(source.streams[3].type, AVMEDIA_TYPE_ATTACHMENT);
  const std::string output = out("vast-copy.mkv");
  expectFaithfulCopy(in().mkv, output, run(in().mkv, output));
  const MediaInfo copy = readMedia(output);
  ASSERT_EQ(copy.streams.size(), 3u);
  EXPECT_EQ(copy.streams[2].type, AVMEDIA_TYPE_SUBTITLE);
  EXPECT_EQ(copy.streams[2].packets.size(), 2u);
}

TEST_F(Remux, ADroppedDataStreamBeforeTheVideoShiftsIndicesButNotTimes) {
  const std::string unreadable = dataFirstMovUnreadable();
  if (!unreadable.empty()) GTEST_SKIP() << unreadable;
  const MediaInfo source = readMedia(in().dataFirstMov);
  ASSERT_EQ(source.streams.size(), 2u);
  ASSERT_EQ(source.streams[0].type, AVMEDIA_TYPE_DATA);
  ASSERT_EQ(source.streams[1].type, AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(av_cmp_q(source.streams[0].timeBase, source.streams[1].timeBase), 0);

  const std::string output = out("datafirst.mkv");
  const RemuxRun result = run(in().dataFirstMov, output);
  expectFaithfulCopy(in().dataFirstMov, output, result);
  // The second video packet is 40 ms in: its in line reads the video's own 1/1000.
  ASSERT_GE(result.out.size(), 4u);
  EXPECT_EQ(result.out[2], "in: pts:40 pts_time:0.04 dts:40 dts_time:0.04 duration:40 "
                           "duration_time:0.04 stream_index:0\n");
}

TEST_F(Remux, PacketsWithoutTimestampsKeepThemMissing) {
  const std::string output = out("raw.mkv");
  const RemuxRun result = run(in().rawH264, output);
  expectFaithfulCopy(in().rawH264, output, result);
  ASSERT_GE(result.out.size(), 2u);
  EXPECT_EQ(result.out[0].rfind("in: pts:NOPTS pts_time:NOPTS ", 0), 0u) << result.out[0];
  EXPECT_EQ(result.out[1].rfind("out: pts:NOPTS pts_time:NOPTS ", 0), 0u) << result.out[1];
}

TEST_F(Remux, AMuxerThatOpensItsOwnFilesGetsNoFileFromTheTool) {
  // The image sequence muxer (AVFMT_NOFILE) writes one file per packet itself; it holds
  // JPEG pictures only, so the input's video is Motion JPEG.
  const std::string input = out("mjpeg.mkv");
  ffmpeg("-f lavfi -i testsrc=size=64x48:rate=25 -t 1 -c:v mjpeg " + input);
  const std::string pattern = out("frame-%03d.jpg");
  const RemuxRun result = run(input, pattern);
  EXPECT_EQ(result.result, 0);
  EXPECT_EQ(result.log, (Lines{input, pattern}));
  EXPECT_EQ(result.out.size(), 2u * 25);
  expectImageSequence(in().dir, 25);
}

// ---- Failures: the specific line, then "Error occurred: %s\n", result 1 ----

TEST_F(Remux, AMissingInputIsNamedAndNothingIsWritten) {
  const std::string missing = out("missing.mp4");
  const std::string output = out("never.mkv");
  const RemuxRun result = run(missing, output);
  EXPECT_EQ(result.result, 1);
  EXPECT_EQ(result.log, (Lines{missing, output, "Could not open input file '" + missing + "'",
                               "Error occurred: No such file or directory\n"}));
  EXPECT_TRUE(result.out.empty());
  EXPECT_FALSE(fileExists(output));
}

TEST_F(Remux, AnUnwritableOutputIsNamed) {
  const std::string output = out("no-such-dir/av.mkv");
  const RemuxRun result = run(in().mp4, output);
  EXPECT_EQ(result.result, 1);
  EXPECT_EQ(result.log, (Lines{in().mp4, output, "Could not open output file '" + output + "'",
                               "Error occurred: No such file or directory\n"}));
  EXPECT_TRUE(result.out.empty());
}

TEST_F(Remux, AnOutputNameWithoutMuxerGetsNoContext) {
  const std::string output = out("av.nosuchcontainer");
  const RemuxRun result = run(in().mp4, output);
  EXPECT_EQ(result.result, 1);
  EXPECT_EQ(result.log, (Lines{in().mp4, output, "Could not create output context\n",
                               "Error occurred: Unknown error occurred\n"}));
  EXPECT_FALSE(fileExists(output));
}

TEST_F(Remux, AHeaderTheMuxerRefusesEndsBeforeAnyPacket) {
  // GIF takes exactly one GIF picture stream; the input has H.264 video and audio, which
  // FFmpeg 5.1's GIF muxer does not rule out before its header. Newer FFmpeg rules the
  // H.264 stream out up front, before the output is opened.
  const std::string output = out("av.gif");
  const RemuxRun result = run(in().mp4, output);
  EXPECT_EQ(result.result, 1);
  ASSERT_EQ(result.log.size(), 4u);
  EXPECT_EQ(result.log[2], muxerRefusesUpFront("gif", AV_CODEC_ID_H264)
                               ? "The gif output cannot carry a h264 stream\n"
                               : "Error occurred when opening output file\n");
  EXPECT_EQ(result.log[3].rfind("Error occurred: ", 0), 0u);
  EXPECT_NE(result.log[3], "Error occurred: \n");
  EXPECT_TRUE(result.out.empty());
}

// ---- Early failures and files that do not reach the disk: result 1 ----

TEST_F(Remux, AHeadCutShortAnswersOneWhateverTheCodeOfItsFailure) {
  ffmpeg("-i " + in().mp4 + " -c copy " + out("av.ts"));
  // The TS head ends inside the stream analysis with "End of file", which once read as
  // "copied to the end".
  const struct {
    std::string source;
    size_t bytes;
    const char* name;
  } heads[] = {{out("av.ts"), 376, "head.ts"}, {in().mp4, 2000, "head.mp4"}, {in().mkv, 200, "head.mkv"}};
  for (const auto& head : heads) {
    const std::vector<uint8_t> whole = readFile(head.source);
    ASSERT_GT(whole.size(), head.bytes);
    const std::string input = out(head.name);
    ASSERT_TRUE(writeFile(input, std::vector<uint8_t>(whole.begin(), whole.begin() + head.bytes)));
    const std::string output = input + ".mkv";
    const RemuxRun result = run(input, output);
    EXPECT_EQ(result.result, 1) << input;
    ASSERT_EQ(result.log.size(), 4u) << input;
    EXPECT_TRUE(result.log[2] == "Could not open input file '" + input + "'" ||
                result.log[2] == "Failed to retrieve input stream information")
        << result.log[2];
    EXPECT_EQ(result.log[3].rfind("Error occurred: ", 0), 0u) << result.log[3];
    EXPECT_TRUE(result.out.empty());
    EXPECT_FALSE(fileExists(output));
  }
}

TEST_F(Remux, AnOutputNameThatLinksToADeviceIsReplacedByTheWholeFile) {
  // The link is replaced: /dev/full is never written through it, and the copy is whole.
  for (const char* name : {"linked.mkv", "linked.mp4"}) {
    const std::string output = out(name);
    std::filesystem::create_symlink("/dev/full", output);
    const RemuxRun result = run(in().mp4, output);
    EXPECT_EQ(result.result, 0) << name;
    EXPECT_FALSE(std::filesystem::is_symlink(output)) << name;
    EXPECT_GT(readFile(output).size(), 0u) << name;
  }
}

/// Runs remux in a child process whose files may not grow beyond `limit` bytes (SIGXFSZ
/// ignored, so the write that would pass it fails); its result and its last log line.
std::pair<int, std::string> remuxUnderFileSizeLimit(const std::string& input,
                                                    const std::string& output, rlim_t limit) {
  const std::string report = runInChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit bound{limit, limit};
    setrlimit(RLIMIT_FSIZE, &bound);
    takeAndroidLog();
    const int result = qn::tools::remux(input.c_str(), output.c_str());
    const std::vector<std::string> log = takeAndroidLogTexts();
    return std::to_string(result) + "\n" + (log.empty() ? "" : log.back());
  }).text;
  const size_t end = report.find('\n');
  if (end == std::string::npos) return {-1, report};
  return {std::atoi(report.c_str()), report.substr(end + 1)};
}

TEST_F(Remux, AFileSizeLimitAnswersOneWithItsError) {
  ASSERT_GT(readFile(in().large).size(), 100000u);
  for (const char* name : {"limited.mkv", "limited.mp4"}) {
    const auto [result, lastLine] = remuxUnderFileSizeLimit(in().large, out(name), 65536);
    EXPECT_EQ(result, 1) << name;
    EXPECT_EQ(lastLine, "Error occurred: File too large\n") << name;
    EXPECT_FALSE(fileExists(out(name))) << name;
  }
}

}  // namespace
}  // namespace qn::testing
