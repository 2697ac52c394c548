// extractAudio / extractVideo: one stream of a media file copied into a file of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "tests/support/android_log.h"
#include "tests/tools/container_media.h"
#include "bridge/error_text.h"
#include "tools/tools.h"

namespace qn::testing {
namespace {

using qn::tools::extractStream;
using Lines = std::vector<std::string>;

class Extraction : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { inputs_ = new ContainerInputs(makeContainerInputs("extract")); }
  static void TearDownTestSuite() { delete inputs_; }
  void SetUp() override { takeAndroidLog(); }

  static const ContainerInputs& in() { return *inputs_; }
  static std::string out(const std::string& name) { return in().dir + "/" + name; }

  /// Extracts and returns the Android log lines, each checked for priority 6 and tag "TAG".
  static Lines extract(const std::string& input, const std::string& output, AVMediaType type) {
    extractStream(input.c_str(), output.c_str(), type);
    return takeToolLog();
  }

  /// ffprobe's packet count of a one-stream file.
  static int probedPackets(const std::string& path) {
    return std::atoi(commandOutput("ffprobe -v error -count_packets -show_entries "
                                   "stream=nb_read_packets -of csv=p=0 " + path).c_str());
  }

  /// Checks that output holds exactly the input's stream of type with all its packets.
  static void expectOneStreamCopy(const std::string& input, const std::string& output,
                                  AVMediaType type) {
    const MediaInfo source = readMedia(input);
    const MediaInfo copy = readMedia(output);
    ASSERT_TRUE(copy.opened) << output;
    ASSERT_EQ(copy.streams.size(), 1u);
    const StreamInfo* original = nullptr;
    for (const StreamInfo& s : source.streams) {
      if (s.type == type) original = &s;
    }
    ASSERT_NE(original, nullptr);
    const StreamInfo& written = copy.streams[0];
    EXPECT_EQ(written.type, type);
    EXPECT_EQ(written.codec, original->codec);
    EXPECT_EQ(written.width, original->width);
    EXPECT_EQ(written.height, original->height);
    EXPECT_EQ(written.sampleRate, original->sampleRate);
    EXPECT_EQ(written.channels, original->channels);
    EXPECT_EQ(written.packets.size(), original->packets.size());
    EXPECT_EQ(copy.packets.size(), written.packets.size()) << "every packet is on stream 0";
    expectDecodesEveryStream(output, 1);
  }

 private:
  static ContainerInputs* inputs_;
};
ContainerInputs* Extraction::inputs_ = nullptr;

// ---- Copies ----

TEST_F(Extraction, VideoOfAnMp4GoesIntoMatroskaWithEveryPacketAndItsTimes) {
  const std::string output = out("video.mkv");
  EXPECT_EQ(extract(in().mp4, output, AVMEDIA_TYPE_VIDEO), (Lines{in().mp4, output}));
  expectOneStreamCopy(in().mp4, output, AVMEDIA_TYPE_VIDEO);
  const MediaInfo source = readMedia(in().mp4);
  const MediaInfo copy = readMedia(output);
  ASSERT_EQ(copy.streams.size(), 1u);
  EXPECT_EQ(copy.streams[0].extradata, source.streams[0].extradata);
  // Presentation times survive the change of time base (MP4's 1/12800, Matroska's 1/1000).
  const AVRational from = source.streams[0].timeBase, to = copy.streams[0].timeBase;
  for (size_t i = 0; i < copy.packets.size() && i < source.streams[0].packets.size(); i++) {
    EXPECT_EQ(copy.packets[i].pts, av_rescale_q(source.streams[0].packets[i].pts, from, to)) << i;
  }
}

TEST_F(Extraction, AudioOfAnMp4GoesIntoAdtsAndMatroska) {
  for (const char* name : {"audio.aac", "audio.mka"}) {
    const std::string output = out(name);
    EXPECT_EQ(extract(in().mp4, output, AVMEDIA_TYPE_AUDIO), (Lines{in().mp4, output}));
    expectOneStreamCopy(in().mp4, output, AVMEDIA_TYPE_AUDIO);
  }
}

TEST_F(Extraction, VideoOfAnMp4BecomesARawH264StreamThatFfprobeCountsWhole) {
  const std::string output = out("video.h264");
  EXPECT_EQ(extract(in().mp4, output, AVMEDIA_TYPE_VIDEO), (Lines{in().mp4, output}));
  const std::string counted = commandOutput(
      "ffprobe -v error -count_packets -show_entries stream=codec_name,nb_read_packets -of csv=p=0 " +
      output);
  EXPECT_EQ(counted, "h264,25\n");
  expectDecodesEveryStream(output, 1);
}

TEST_F(Extraction, BFramesKeepTheirOwnDecodingTimesSoNoPacketIsLost) {
  const MediaInfo source = readMedia(in().bFramesMp4);
  ASSERT_EQ(source.streams.size(), 2u);
  const std::vector<PacketInfo>& original = source.streams[0].packets;
  bool reordered = false;
  for (const PacketInfo& p : original) reordered |= p.pts != p.dts;
  ASSERT_TRUE(reordered) << "the input must have B-frames";

  for (const char* name : {"bframes.mkv", "bframes-copy.mp4"}) {
    const std::string output = out(name);
    extract(in().bFramesMp4, output, AVMEDIA_TYPE_VIDEO);
    expectOneStreamCopy(in().bFramesMp4, output, AVMEDIA_TYPE_VIDEO);
  }
  // MP4 keeps decoding times as written: each packet's reorder delay survives the copy.
  const MediaInfo copy = readMedia(out("bframes-copy.mp4"));
  ASSERT_EQ(copy.packets.size(), original.size());
  const AVRational from = source.streams[0].timeBase, to = copy.streams[0].timeBase;
  for (size_t i = 0; i < original.size(); i++) {
    EXPECT_EQ(copy.packets[i].pts - copy.packets[i].dts,
              av_rescale_q(original[i].pts - original[i].dts, from, to))
        << "packet " << i;
  }
}

TEST_F(Extraction, ARawStreamIsAnalysedSoItsPictureSizeIsKnownAndEveryPacketCopied) {
  const std::string output = out("copy.h264");
  EXPECT_EQ(extract(in().rawH264, output, AVMEDIA_TYPE_VIDEO), (Lines{in().rawH264, output}));
  EXPECT_EQ(commandOutput("ffprobe -v error -count_packets -show_entries stream=nb_read_packets "
                          "-of csv=p=0 " + output),
            "25\n");
}

TEST_F(Extraction, StreamsOfOtherTypesAreReadButNotWritten) {
  const std::string video = out("mkv-video.mkv");
  const std::string audio = out("mkv-audio.mka");
  extract(in().mkv, video, AVMEDIA_TYPE_VIDEO);
  extract(in().mkv, audio, AVMEDIA_TYPE_AUDIO);
  expectOneStreamCopy(in().mkv, video, AVMEDIA_TYPE_VIDEO);
  expectOneStreamCopy(in().mkv, audio, AVMEDIA_TYPE_AUDIO);
}

TEST_F(Extraction, AnExistingOutputFileIsReplaced) {
  const std::string fresh = out("fresh.aac");
  const std::string existing = out("existing.aac");
  ASSERT_TRUE(writeFile(existing, std::vector<uint8_t>(1 << 20, 0x5a)));
  extract(in().mp4, fresh, AVMEDIA_TYPE_AUDIO);
  extract(in().mp4, existing, AVMEDIA_TYPE_AUDIO);
  ASSERT_FALSE(readFile(fresh).empty());
  EXPECT_TRUE(readFile(existing) == readFile(fresh));
}

// ---- Muxers that open their own files ----

TEST_F(Extraction, CoverArtBecomesAJpegFileHoldingExactlyThePicture) {
  const std::string input = out("cover.mp3");
  ffmpeg("-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 -f lavfi "
         "-i testsrc=size=64x64:rate=1:duration=1 -map 0:a -map 1:v -frames:v 1 -c:a libmp3lame -c:v mjpeg "
         "-disposition:v attached_pic " + input);
  const std::string output = out("cover.jpg");
  EXPECT_EQ(extract(input, output, AVMEDIA_TYPE_VIDEO), (Lines{input, output}));
  ffmpeg("-i " + input + " -map 0:v -c copy " + out("cover-ffmpeg.jpg"));
  const std::vector<uint8_t> picture = readFile(output);
  EXPECT_GT(picture.size(), 100u);
  EXPECT_TRUE(picture == readFile(out("cover-ffmpeg.jpg")));
}

TEST_F(Extraction, AnImageSequenceNameGetsOneFilePerPacket) {
  const std::string input = out("mjpeg.mkv");  // JPEG pictures: what the image muxer holds
  ffmpeg("-f lavfi -i testsrc=size=64x48:rate=25 -t 1 -c:v mjpeg " + input);
  const std::string pattern = out("frame-%03d.jpg");
  EXPECT_EQ(extract(input, pattern, AVMEDIA_TYPE_VIDEO), (Lines{input, pattern}));
  expectImageSequence(in().dir, 25);
}

// ---- Refused packets and a file that does not reach the disk ----

TEST_F(Extraction, TwoFilesGluedTogetherAreNoWholeCopy) {
  // Two copies of a TS file back to back: the second one's times start again from zero,
  // which MP4 refuses, and its packets break the first one's continuity, which the
  // demuxer marks as damage. Either ends the copy unwhole.
  const std::string ts = out("once.ts");
  ffmpeg("-i " + in().mp4 + " -map 0:v -c copy " + ts);
  const std::vector<uint8_t> once = readFile(ts);
  std::vector<uint8_t> twice(once);
  twice.insert(twice.end(), once.begin(), once.end());
  const std::string input = out("twice.ts");
  ASSERT_TRUE(writeFile(input, twice));
  const std::string output = out("twice.mp4");
  const Lines lines = extract(input, output, AVMEDIA_TYPE_VIDEO);
  ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
  EXPECT_TRUE(std::regex_match(
      lines[2], std::regex("[1-9][0-9]* packets were refused by the muxer: Invalid argument\n|"
                           "The input is damaged: a packet of stream 0 is corrupt\n")))
      << lines[2];
  // A copy without every packet is no copy: the file is not left.
  EXPECT_FALSE(fileExists(output));
}

TEST_F(Extraction, AFileThatNeverReachesTheDiskIsNamedAndNotLeft) {
  for (const char* name : {"limited.h264", "limited.mkv"}) {
    const std::string output = out(name);
    takeAndroidLog();
    int answer = -1;
    withFilesOfAtMost(4096, [&] {
      answer = extractStream(in().large.c_str(), output.c_str(), AVMEDIA_TYPE_VIDEO);
    });
    const Lines log = takeToolLog();
    const std::string result = std::to_string(answer) + " " + (log.empty() ? "" : log.back());
    // The writes that fail are the muxer's refusals of packets, or the trailer's.
    EXPECT_TRUE(std::regex_match(result, std::regex("1 ([0-9]+ packets were refused by the "
                                                    "muxer: |av_write_trailer：)File too large\n?")))
        << result;
    EXPECT_FALSE(fileExists(output)) << name;
  }
}

TEST_F(Extraction, AnOutputNameThatLinksToADeviceIsReplacedByTheFile) {
  // The link is replaced: the device is never written through it.
  const std::string output = out("linked.mkv");
  std::filesystem::create_symlink("/dev/full", output);
  EXPECT_EQ(extract(in().large, output, AVMEDIA_TYPE_VIDEO), (Lines{in().large, output}));
  EXPECT_FALSE(std::filesystem::is_symlink(output));
  expectOneStreamCopy(in().large, output, AVMEDIA_TYPE_VIDEO);
}

// ---- Failures: one line after the two paths, nothing written ----

TEST_F(Extraction, AnInputWithoutTheWantedStreamNamesTheMissingType) {
  const std::string noVideo = out("novideo.mkv");
  EXPECT_EQ(extract(in().audioOnly, noVideo, AVMEDIA_TYPE_VIDEO),
            (Lines{in().audioOnly, noVideo, "查找视频流失败：Stream not found"}));
  EXPECT_FALSE(fileExists(noVideo));

  const std::string noAudio = out("noaudio.aac");
  EXPECT_EQ(extract(in().rawH264, noAudio, AVMEDIA_TYPE_AUDIO),
            (Lines{in().rawH264, noAudio, "查找音频流失败：Stream not found"}));
  EXPECT_FALSE(fileExists(noAudio));
}

TEST_F(Extraction, AMissingInputIsReportedWithFfmpegsText) {
  const std::string missing = out("does-not-exist.mp4");
  const std::string output = out("never.h264");
  EXPECT_EQ(extract(missing, output, AVMEDIA_TYPE_VIDEO),
            (Lines{missing, output, "avformat_open_input失败：No such file or directory"}));
  EXPECT_FALSE(fileExists(output));
}

TEST_F(Extraction, AnOutputNameWithoutMuxerCreatesNoFile) {
  const std::string output = out("video.nosuchcontainer");
  EXPECT_EQ(extract(in().mp4, output, AVMEDIA_TYPE_VIDEO),
            (Lines{in().mp4, output, "Cloud not guess file format"}));
  EXPECT_FALSE(fileExists(output));
}

TEST_F(Extraction, AnUnwritableOutputIsReportedByAvioOpen) {
  const std::string output = out("no-such-dir/video.h264");
  EXPECT_EQ(extract(in().mp4, output, AVMEDIA_TYPE_VIDEO),
            (Lines{in().mp4, output, "avio_open：No such file or directory"}));
}

TEST_F(Extraction, AMuxerRefusingTheStreamLeavesNoFile) {
  // GIF holds GIF pictures only; FFmpeg 5.1's muxer says so only when the header is
  // written, after the file was opened. Newer FFmpeg says it up front: no file then.
  const std::string output = out("video.gif");
  const Lines lines = extract(in().mp4, output, AVMEDIA_TYPE_VIDEO);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], in().mp4);
  EXPECT_EQ(lines[1], output);
  if (muxerRefusesUpFront("gif", AV_CODEC_ID_H264)) {
    EXPECT_EQ(lines[2], "The gif output cannot carry a h264 stream\n");
    EXPECT_FALSE(fileExists(output));
    return;
  }
  EXPECT_EQ(lines[2], std::string("avformat_write_header：") +
                          ErrorText(AVERROR(EINVAL)).text);  // "Invalid argument"
  EXPECT_FALSE(fileExists(output));
}

}  // namespace
}  // namespace qn::testing
