// extractVideo / extractAudio / remux across containers and codecs: every packet of
// every copied stream arrives (as many as ffprobe counts in the input) with the same
// payload bytes as the ffmpeg tool's own stream copy ("-c copy") of the same input.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/android_log.h"
#include "tests/tools/container_media.h"
#include "tools/tools.h"

namespace qn::testing {
namespace {

using Lines = std::vector<std::string>;

/// Inputs by name: B-frame video (x264 -bf 2, x265) and VP9, with AAC, MP3 and Opus audio.
std::map<std::string, std::string>* inputs = nullptr;
std::string* dir = nullptr;

/// The ffmpeg arguments that make each input from a 1 s pattern and tone.
const std::map<std::string, std::string>& recipes() {
  static const std::map<std::string, std::string> recipes = {
      {"h264-aac.mkv", "-c:v libx264 -bf 2 -c:a aac"},
      {"h264-mp3.ts", "-c:v libx264 -bf 2 -c:a libmp3lame"},
      {"h264-aac.flv", "-c:v libx264 -bf 2 -c:a aac"},
      {"h264-aac.mp4", "-c:v libx264 -bf 2 -c:a aac"},
      {"h265-aac.mp4", "-c:v libx265 -preset ultrafast -x265-params log-level=error:bframes=3 -c:a aac"},
      {"h265-opus.mkv", "-c:v libx265 -preset ultrafast -x265-params log-level=error:bframes=3 -c:a libopus"},
      {"vp9-opus.webm", "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -c:a libopus"},
      {"aac.aac", "-vn -c:a aac -f adts"},
  };
  return recipes;
}

class ContainerMatrixEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir = new std::string(makeTempDir("container-matrix"));
    inputs = new std::map<std::string, std::string>();
    const std::string sources =
        "-f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
        "-t 1 -pix_fmt yuv420p -g 12 ";
    for (const auto& [name, codecs] : recipes()) {
      const std::string path = *dir + "/" + name;
      ffmpeg(sources + codecs + " " + path);
      (*inputs)[name] = path;
    }
  }
  void TearDown() override {
    delete inputs;
    delete dir;
  }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new ContainerMatrixEnvironment);

/// ffprobe's packet count of each stream of a file, in stream order (an MPEG-TS file
/// lists its streams once more under its program; those repeats are skipped).
std::vector<int> probedPacketCounts(const std::string& path) {
  const std::string text = commandOutput("ffprobe -v error -count_packets -show_entries "
                                         "stream=index,nb_read_packets -of csv=p=0 " + path);
  std::map<int, int> counts;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    int index = -1, count = -1;
    if (sscanf(text.c_str() + start, "%d,%d", &index, &count) == 2) counts.emplace(index, count);
  }
  std::vector<int> ordered;
  for (const auto& [index, count] : counts) ordered.push_back(count);
  return ordered;
}

/// The payload of every packet of each stream of a file, read with libavformat.
std::vector<std::vector<std::string>> payloads(const std::string& path) {
  std::vector<std::vector<std::string>> streams;
  AVFormatContext* context = nullptr;
  if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0) return streams;
  if (avformat_find_stream_info(context, nullptr) >= 0) {
    streams.resize(context->nb_streams);
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(context, packet) >= 0) {
      streams.at(packet->stream_index)
          .emplace_back(reinterpret_cast<const char*>(packet->data), packet->size);
      av_packet_unref(packet);
    }
    av_packet_free(&packet);
  }
  avformat_close_input(&context);
  return streams;
}

/// ffprobe's packet count of the first stream of a type ("v" or "a") of a file.
int probedStreamCount(const std::string& path, const char* type) {
  return std::atoi(commandOutput("ffprobe -v error -count_packets -select_streams " +
                                 std::string(type) + ":0 -show_entries stream=nb_read_packets " +
                                 "-of csv=p=0 " + path)
                       .c_str());
}

struct Extraction {
  const char* input;
  AVMediaType type;
  const char* output;  // the extension says the container
};
void PrintTo(const Extraction& e, std::ostream* os) {
  *os << e.input << (e.type == AVMEDIA_TYPE_VIDEO ? " video to " : " audio to ") << e.output;
}

class ExtractionMatrix : public ::testing::TestWithParam<Extraction> {};

TEST_P(ExtractionMatrix, KeepsEveryPacketWithTheBytesOfAnFfmpegStreamCopy) {
  const Extraction& e = GetParam();
  const std::string& input = inputs->at(e.input);
  const std::string stem = *dir + "/" + e.input + (e.type == AVMEDIA_TYPE_VIDEO ? "-v" : "-a");
  const std::string output = stem + "." + e.output;
  const std::string reference = stem + "-ffmpeg." + e.output;
  const char* type = e.type == AVMEDIA_TYPE_VIDEO ? "v" : "a";

  takeAndroidLog();
  tools::extractStream(input.c_str(), output.c_str(), e.type);
  EXPECT_EQ(takeToolLog(), (Lines{input, output})) << "no refusal, no failure";

  const int expected = probedStreamCount(input, type);
  ASSERT_GT(expected, 10);
  EXPECT_EQ(probedPacketCounts(output), std::vector<int>{expected});
  ffmpeg("-i " + input + " -map 0:" + type + ":0 -c copy " + reference);
  const auto copied = payloads(output);
  const auto referenceCopy = payloads(reference);
  ASSERT_EQ(copied.size(), 1u);
  ASSERT_EQ(referenceCopy.size(), 1u);
  EXPECT_TRUE(copied[0] == referenceCopy[0]) << "payloads differ from ffmpeg -c copy's";
}

INSTANTIATE_TEST_SUITE_P(
    Containers, ExtractionMatrix,
    ::testing::Values(Extraction{"h264-aac.mkv", AVMEDIA_TYPE_VIDEO, "mp4"},
                      Extraction{"h264-aac.mkv", AVMEDIA_TYPE_VIDEO, "mkv"},
                      Extraction{"h264-aac.mkv", AVMEDIA_TYPE_AUDIO, "aac"},
                      Extraction{"h264-mp3.ts", AVMEDIA_TYPE_VIDEO, "mp4"},
                      Extraction{"h264-mp3.ts", AVMEDIA_TYPE_VIDEO, "mkv"},
                      Extraction{"h264-mp3.ts", AVMEDIA_TYPE_VIDEO, "h264"},
                      Extraction{"h264-mp3.ts", AVMEDIA_TYPE_AUDIO, "mp3"},
                      Extraction{"h264-mp3.ts", AVMEDIA_TYPE_AUDIO, "mka"},
                      Extraction{"h264-aac.flv", AVMEDIA_TYPE_VIDEO, "mp4"},
                      Extraction{"h264-aac.flv", AVMEDIA_TYPE_VIDEO, "mkv"},
                      Extraction{"h264-aac.flv", AVMEDIA_TYPE_AUDIO, "m4a"},
                      Extraction{"h264-aac.mp4", AVMEDIA_TYPE_VIDEO, "mkv"},
                      Extraction{"h264-aac.mp4", AVMEDIA_TYPE_VIDEO, "ts"},
                      Extraction{"h265-aac.mp4", AVMEDIA_TYPE_VIDEO, "mkv"},
                      Extraction{"h265-aac.mp4", AVMEDIA_TYPE_VIDEO, "hevc"},
                      Extraction{"h265-opus.mkv", AVMEDIA_TYPE_VIDEO, "mp4"},
                      Extraction{"h265-opus.mkv", AVMEDIA_TYPE_AUDIO, "opus"},
                      Extraction{"vp9-opus.webm", AVMEDIA_TYPE_VIDEO, "webm"},
                      Extraction{"vp9-opus.webm", AVMEDIA_TYPE_VIDEO, "mkv"},
                      Extraction{"vp9-opus.webm", AVMEDIA_TYPE_AUDIO, "mka"},
                      Extraction{"aac.aac", AVMEDIA_TYPE_AUDIO, "m4a"},
                      Extraction{"aac.aac", AVMEDIA_TYPE_AUDIO, "mka"}));

struct Remuxing {
  const char* input;
  const char* output;
};
void PrintTo(const Remuxing& r, std::ostream* os) { *os << r.input << " to " << r.output; }

class RemuxMatrix : public ::testing::TestWithParam<Remuxing> {};

TEST_P(RemuxMatrix, KeepsEveryPacketOfEveryStreamWithTheBytesOfAnFfmpegStreamCopy) {
  const Remuxing& r = GetParam();
  const std::string& input = inputs->at(r.input);
  const std::string output = *dir + "/" + r.input + "-remuxed." + r.output;
  const std::string reference = *dir + "/" + r.input + "-ffmpeg." + r.output;

  takeAndroidLog();
  StdoutCapture capture(*dir + "/stdout.txt");
  EXPECT_EQ(tools::remux(input.c_str(), output.c_str()), 0);
  capture.lines();
  EXPECT_EQ(takeToolLog(), (Lines{input, output}));

  const std::vector<int> expected = probedPacketCounts(input);
  EXPECT_EQ(probedPacketCounts(output), expected);
  ffmpeg("-i " + input + " -map 0 -c copy " + reference);
  EXPECT_TRUE(payloads(output) == payloads(reference)) << "payloads differ from ffmpeg -c copy's";
}

INSTANTIATE_TEST_SUITE_P(Containers, RemuxMatrix,
                         ::testing::Values(Remuxing{"h264-aac.mkv", "mp4"},
                                           Remuxing{"h264-mp3.ts", "mkv"},
                                           Remuxing{"h264-mp3.ts", "mp4"},
                                           Remuxing{"h264-aac.flv", "mkv"},
                                           Remuxing{"h264-aac.mp4", "ts"},
                                           Remuxing{"h265-aac.mp4", "mkv"},
                                           Remuxing{"h265-opus.mkv", "mp4"},
                                           Remuxing{"vp9-opus.webm", "mkv"},
                                           Remuxing{"aac.aac", "m4a"}));

}  // namespace
}  // namespace qn::testing
