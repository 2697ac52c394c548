// A file the user picked is read as itself alone, never destroyed, and costs bounded
// memory: crafted playlists, manifests and scripts beside a "secret" file, runs whose
// output is their input, outputs that are no local file or cannot hold the stream,
// containers and streams that declare huge sizes, and inputs the int tools cannot use.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <filesystem>
#include <functional>

#include "tests/support/android_log.h"
#include "tests/support/stream_edits.h"
#include "tests/tools/container_media.h"
#include "bridge/bridge.h"
#include "bridge/error_text.h"
#include "tools/tool_output.h"
#include "tools/tool_test_hooks.h"
#include "tools/tools.h"

namespace qn::testing {
namespace {

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QN_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(QN_UNDER_ASAN)
// AddressSanitizer's redzones and quarantine keep the same work resident at up to
// 1.7 times its size (a 64-track file: 76 MiB, 132 MiB under ASan).
constexpr long kAllocatorPercent = 175;
#else
constexpr long kAllocatorPercent = 100;
#endif

/// The file whose opens are counted in a child that runs a tool, and the count.
struct WatchedFile {
  bool armed = false;
  dev_t device = 0;
  ino_t inode = 0;
  int opens = 0;
};
WatchedFile watched;

/// Counts a successful open when it reached the watched file, whatever its spelling.
int noteOpen(int fd) {
  struct stat info {};
  if (fd >= 0 && watched.armed && fstat(fd, &info) == 0 && info.st_dev == watched.device &&
      info.st_ino == watched.inode) {
    watched.opens++;
  }
  return fd;
}

/// The mode argument of an open call, present only when it creates a file.
mode_t modeOf(int flags, va_list args) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

using Open = int (*)(const char*, int, ...);
using OpenAt = int (*)(int, const char*, int, ...);

}  // namespace
}  // namespace qn::testing

// Take the place of libc's open calls in this executable, so FFmpeg's file opens are seen.
#define QN_COUNTED_OPEN(name)                                                       \
  extern "C" __attribute__((visibility("default"))) int name(const char* path, int flags, ...) { \
    va_list args;                                                                   \
    va_start(args, flags);                                                          \
    const mode_t mode = qn::testing::modeOf(flags, args);                           \
    va_end(args);                                                                   \
    static const auto real = reinterpret_cast<qn::testing::Open>(dlsym(RTLD_NEXT, #name)); \
    return qn::testing::noteOpen(real(path, flags, mode));                          \
  }
#define QN_COUNTED_OPENAT(name)                                                     \
  extern "C" __attribute__((visibility("default"))) int name(int dir, const char* path, int flags, \
                                                            ...) {     \
    va_list args;                                                                   \
    va_start(args, flags);                                                          \
    const mode_t mode = qn::testing::modeOf(flags, args);                           \
    va_end(args);                                                                   \
    static const auto real = reinterpret_cast<qn::testing::OpenAt>(dlsym(RTLD_NEXT, #name)); \
    return qn::testing::noteOpen(real(dir, path, flags, mode));                     \
  }
QN_COUNTED_OPEN(open)
QN_COUNTED_OPEN(open64)
QN_COUNTED_OPENAT(openat)
QN_COUNTED_OPENAT(openat64)

namespace qn::testing {
namespace {

using Lines = std::vector<std::string>;

/// Bound of one isolated run: far beyond any case here, so only a hang reaches it.
constexpr unsigned kHangSeconds = 120;

/// What a tool did in a child process.
struct Isolated {
  bool exited = false;  // returned normally: no crash, no hang
  int answer = -1;
  int secretOpens = 0;
  long peakGrowthKiB = 0;
  Lines log;
};

/// Peak resident memory of this process so far.
long peakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

/// Runs a tool call in a child set up as the library's load hook sets up the process,
/// counting the opens of `secret` (if given) and the growth of its peak memory.
Isolated runIsolated(const std::function<int()>& call, const std::string& secret = "") {
  const ChildReport child = runInChild([&] {
    qn::limitFfmpegAllocations();
    takeAndroidLog();
    struct stat info {};
    if (!secret.empty() && stat(secret.c_str(), &info) == 0) {
      watched = {true, info.st_dev, info.st_ino, 0};
    }
    const long before = peakKiB();
    const int answer = call();
    const long growth = peakKiB() - before;
    std::string report = std::to_string(answer) + "\n" + std::to_string(watched.opens) + "\n" +
                         std::to_string(growth) + "\n";
    for (const std::string& line : takeAndroidLogTexts()) report += line + '\0';
    return report;
  }, kHangSeconds);
  Isolated run;
  run.exited = child.exited;
  if (!run.exited) return run;
  const std::string& report = child.text;
  size_t at = 0;
  const auto field = [&](char end) {
    const size_t stop = report.find(end, at);
    std::string text = report.substr(at, stop - at);
    at = stop == std::string::npos ? report.size() : stop + 1;
    return text;
  };
  run.answer = std::stoi(field('\n'));
  run.secretOpens = std::stoi(field('\n'));
  run.peakGrowthKiB = std::stol(field('\n'));
  while (at < report.size()) run.log.push_back(field('\0'));
  return run;
}

/// A tool that opens its input with libavformat, by the name its test cases show.
struct OpeningTool {
  const char* name;
  int (*run)(const std::string& input, const std::string& output);
  const char* outputName;  // "" for printFileInfo, which writes nothing
  /// The tool's open-failure lines after the path lines, for FFmpeg's text of the error.
  Lines (*openFailure)(const std::string& input, const char* error);
};

/// The extraction tool of one media type, as an OpeningTool runs it.
template <AVMediaType type>
int extractInto(const std::string& input, const std::string& output) {
  return tools::extractStream(input.c_str(), output.c_str(), type);
}

/// The extraction tools' open-failure line.
Lines extractOpenFailure(const std::string&, const char* error) {
  return {std::string("avformat_open_input失败：") + error};
}

const OpeningTool kOpeningTools[] = {
    {"printFileInfo",
     [](const std::string& in, const std::string&) {
       tools::printFileInfo(in.c_str());
       return 0;
     },
     "", [](const std::string&, const char* error) { return Lines{error}; }},
    {"extractVideo", extractInto<AVMEDIA_TYPE_VIDEO>, "video.mkv", extractOpenFailure},
    {"extractAudio", extractInto<AVMEDIA_TYPE_AUDIO>, "audio.mka", extractOpenFailure},
    {"remux",
     [](const std::string& in, const std::string& out) {
       return tools::remux(in.c_str(), out.c_str());
     },
     "remuxed.mkv",
     [](const std::string& in, const char* error) {
       return Lines{"Could not open input file '" + in + "'",
                    std::string("Error occurred: ") + error + "\n"};
     }},
};

class PickedFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    av_log_set_level(AV_LOG_QUIET);
    dir_ = new std::string(makeTempDir("picked-file"));
    const std::string& d = *dir_;
    const std::string video = "-f lavfi -i testsrc=size=64x48:rate=25 ";
    const std::string tone = "-f lavfi -i sine=f=440:sample_rate=44100 ";
    ffmpeg(video + tone + "-t 1 -c:v libx264 -pix_fmt yuv420p -c:a aac " + d + "/secret.ts");
    ffmpeg("-i " + d + "/secret.ts -c copy " + d + "/secret.mp4");
    ffmpeg("-i " + d + "/secret.mp4 -map 0:v -c copy " + d + "/video-only.mp4");
    ffmpeg(video + "-frames:v 1 " + d + "/single.jpg");
    std::filesystem::create_directory(d + "/sub");
  }
  static void TearDownTestSuite() { delete dir_; }

  static std::string path(const std::string& name) { return *dir_ + "/" + name; }
  static void write(const std::string& name, const std::string& text) {
    ASSERT_TRUE(writeFile(path(name), std::vector<uint8_t>(text.begin(), text.end())));
  }

  static std::string* dir_;
};
std::string* PickedFile::dir_ = nullptr;

// ---- Files that read other files ----

/// A crafted input: its name, its text (empty: made otherwise), the file it must never
/// reach, and whether it is refused or read as itself.
struct Crafted {
  const char* name;
  std::string text;
  const char* secret;
  bool refused;
};

/// The error text of a crafted file's refusal: the tools' own refusal to reach another
/// file, "Invalid argument", when FFmpeg's probe is sure of the file's format. FFmpeg 7
/// and later no longer take a playlist named .mp4 for HLS; only the name hints at MP4
/// then (score 1), and the MP4 demuxer finds no MP4 in it.
std::string refusalText(const std::string& file) {
  std::vector<uint8_t> bytes = readFile(file);
  const int size = static_cast<int>(bytes.size());
  bytes.resize(bytes.size() + AVPROBE_PADDING_SIZE, 0);
  AVProbeData probe{};
  probe.filename = file.c_str();
  probe.buf = bytes.data();
  probe.buf_size = size;
  int score = AVPROBE_SCORE_RETRY;
  return av_probe_input_format2(&probe, 1, &score) != nullptr ? "Invalid argument"
                                                             : ErrorText(AVERROR_INVALIDDATA).text;
}

TEST_F(PickedFile, InputsThatNameOtherFilesAreRefusedWithoutReachingThem) {
  const std::string secretTs = path("secret.ts");
  const std::string hls = "#EXTM3U\n#EXT-X-TARGETDURATION:10\n";
  const std::string end = "#EXT-X-ENDLIST\n";
  const Crafted cases[] = {
      {"hls-absolute.mp4", hls + "#EXTINF:1,\n" + secretTs + "\n" + end, "secret.ts", true},
      {"sub/hls-relative.mp4", hls + "#EXTINF:1,\n../secret.ts\n" + end, "secret.ts", true},
      {"hls-file-url.mp4", hls + "#EXTINF:1,\nfile:" + secretTs + "\n" + end, "secret.ts", true},
      {"hls-byte-range.mp4", hls + "#EXTINF:1,\n#EXT-X-BYTERANGE:2000@0\n" + secretTs + "\n" + end,
       "secret.ts", true},
      {"dash.mp4",
       "<?xml version=\"1.0\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" type=\"static\" "
       "mediaPresentationDuration=\"PT1S\" minBufferTime=\"PT1S\" "
       "profiles=\"urn:mpeg:dash:profile:isoff-on-demand:2011\"><Period><AdaptationSet "
       "mimeType=\"video/mp4\"><Representation id=\"1\" bandwidth=\"1000\"><BaseURL>" +
           path("secret.mp4") + "</BaseURL><SegmentBase/></Representation></AdaptationSet>"
           "</Period></MPD>\n",
       "secret.mp4", true},
      {"concat-neighbour.mp4", "ffconcat version 1.0\nfile secret.mp4\n", "secret.mp4", true},
      {"concat-itself.mp4", "ffconcat version 1.0\nfile concat-itself.mp4\n", "secret.mp4", true},
      {"variant-itself.mp4", "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1000\nvariant-itself.mp4\n",
       "secret.mp4", true},
      {"live.mp4", "#EXTM3U\n#EXT-X-TARGETDURATION:100000\n#EXTINF:1,\nsecret.ts\n", "secret.ts",
       true},
      // An image name with a pattern is that one image, not img1.jpg beside it.
      {"img%d.jpg", "", "img1.jpg", false},
      {"single.jpg", "", "secret.mp4", false},
  };
  std::filesystem::copy_file(path("single.jpg"), path("img%d.jpg"));
  std::filesystem::copy_file(path("secret.mp4"), path("img1.jpg"));
  for (const Crafted& c : cases) {
    if (!c.text.empty()) write(c.name, c.text);
    const std::string input = path(c.name);
    for (const OpeningTool& tool : kOpeningTools) {
      SCOPED_TRACE(std::string(c.name) + " " + tool.name);
      const std::string output = *tool.outputName ? path(tool.outputName) : "";
      const Isolated run = runIsolated([&] { return tool.run(input, output); }, path(c.secret));
      ASSERT_TRUE(run.exited);
      EXPECT_EQ(run.secretOpens, 0);
      Lines paths{input};
      if (!output.empty()) paths.push_back(output);
      if (c.refused) {
        Lines expected = paths;
        for (const std::string& line : tool.openFailure(input, refusalText(input).c_str())) {
          expected.push_back(line);
        }
        EXPECT_EQ(run.log, expected);
        EXPECT_EQ(run.answer, std::string(tool.name) == "printFileInfo" ? 0 : 1);
        EXPECT_FALSE(!output.empty() && fileExists(output));
      } else if (std::string(tool.name) != "extractAudio") {  // a picture has no audio
        // Read as itself: no line but the paths, and the one picture of the picked file.
        EXPECT_EQ(run.answer, 0);
        EXPECT_EQ(run.log, paths);
        if (!output.empty()) {
          EXPECT_EQ(readMedia(output).packets.size(), 1u);
        }
      }
      if (!output.empty()) std::filesystem::remove(output);
    }
  }
}

// ---- Bounded cost ----

/// Writes a big-endian 32-bit value at `at`.
void putWord(std::vector<uint8_t>* bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; i++) (*bytes)[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

/// Writes big-endian 32-bit values one after another from `at`.
void putWords(std::vector<uint8_t>* bytes, size_t at, std::initializer_list<uint32_t> values) {
  for (uint32_t value : values) putWord(bytes, at, value), at += 4;
}

/// The big-endian 32-bit value at `at`.
uint32_t wordAt(const std::vector<uint8_t>& bytes, size_t at) {
  return (uint32_t{bytes[at]} << 24) | (bytes[at + 1] << 16) | (bytes[at + 2] << 8) | bytes[at + 3];
}

/// Offset of the first box of `type` at or after `from` (just at its size field).
size_t boxAt(const std::vector<uint8_t>& bytes, const char* type, size_t from = 0) {
  const auto at = std::search(bytes.begin() + from, bytes.end(), type, type + 4);
  EXPECT_NE(at, bytes.end()) << type;
  return static_cast<size_t>(at - bytes.begin()) - 4;
}

/// An MP4 whose sample tables declare `samples` samples of one byte in one chunk: a few
/// kilobytes that ask a demuxer for an index of samples x 24 bytes.
std::vector<uint8_t> declaringSamples(std::vector<uint8_t> mp4, uint32_t samples) {
  // Behind each size and type: version/flags, then the entries.
  putWords(&mp4, boxAt(mp4, "stts") + 12, {1, samples, 512});  // (count, delta)
  putWords(&mp4, boxAt(mp4, "stsz") + 12, {1, samples});       // constant size, count
  putWords(&mp4, boxAt(mp4, "stsc") + 12, {1, 1, samples, 1});  // (chunk, samples, description)
  return mp4;
}

TEST_F(PickedFile, AContainerDeclaringFiftyMillionSamplesStaysWithinTheAllocationLimit) {
  const std::string input = path("huge-tables.mp4");
  ASSERT_TRUE(writeFile(input, declaringSamples(readFile(path("video-only.mp4")), 50000000)));
  ASSERT_LT(readFile(input).size(), 16384u);
  for (const OpeningTool& tool : {kOpeningTools[0], kOpeningTools[1]}) {
    const Isolated run = runIsolated([&] { return tool.run(input, path("huge.mkv")); });
    ASSERT_TRUE(run.exited) << tool.name;
    EXPECT_LT(run.peakGrowthKiB, 256 * 1024) << tool.name;  // 2.8 GB without the limit
  }
}

TEST_F(PickedFile, StreamsMadeToCostWorkCostNoMoreThanTheLiveDecoderOnTheSameBytes) {
  struct Input {
    std::string name;
    std::vector<uint8_t> bytes;
    const char* refusal;  // what a line of the log holds
    long maxGrowthMiB = 96;
  };
  std::vector<Input> inputs;
  // 4096 x 4096 4:4:4 10-bit pictures that all stay references (96 MiB each): the
  // analysis would hold 8 of them; a trial decode under the picture budget refuses it.
  StreamSpec recipe;
  recipe.width = recipe.height = 4096;
  recipe.frames = 5;
  recipe.solidY = 90;
  recipe.pixelFormat = AV_PIX_FMT_YUV444P10LE;
  recipe.encoderParams = "ref=16";
  const EncodedStream references = encodeStream(recipe);
  inputs.push_back({"references.h264", references.bytes, "", 320});
  // The same streams in MP4 and Matroska (NAL units behind their lengths) and MPEG-TS
  // (start codes, an access unit a PES packet), as FFmpeg's muxers store them: the
  // analysis decodes the packets their demuxers give.
  const auto muxed = [&](const std::string& name, const char* muxer, AVCodecID codec, int width,
                         int height, const std::vector<std::vector<uint8_t>>& units,
                         const char* refusal, long maxGrowthMiB = 96, int tracks = 1) {
    ASSERT_TRUE(writeMuxed(path(name), muxer, codec, width, height, units, tracks)) << name;
    inputs.push_back({name, readFile(path(name)), refusal, maxGrowthMiB});
  };
  const auto inContainers = [&](const std::string& stem, AVCodecID codec, int width, int height,
                                const std::vector<std::vector<uint8_t>>& units,
                                const char* refusal, long maxGrowthMiB) {
    for (const auto& [muxer, extension] :
         {std::pair{"mp4", ".mp4"}, {"matroska", ".mkv"}, {"mpegts", ".ts"}}) {
      muxed(stem + extension, muxer, codec, width, height, units, refusal, maxGrowthMiB);
    }
  };
  inContainers("references", AV_CODEC_ID_H264, 4096, 4096, references.accessUnits,
               "Cannot allocate memory", 320);
  // Many streams in one file, each within every bound alone: 60 tracks of one flat
  // 4096 x 4096 picture (24 MiB each once decoded, 3 MB of file) share one picture budget;
  // 64 tracks of a small stream open (every opened H.264 decoder and parser take about
  // 1.3 MB before any picture), 65 are refused at open.
  recipe.pixelFormat = AV_PIX_FMT_YUV420P;
  recipe.frames = 1;
  recipe.encoderParams = "";
  muxed("big-tracks.mp4", "mp4", AV_CODEC_ID_H264, 4096, 4096, encodeStream(recipe).accessUnits,
        "Cannot allocate memory", 400, 60);
  const EncodedStream small = cameraStream(AV_CODEC_ID_H264, 0, 320, 180, 2);
  muxed("64-tracks.mkv", "matroska", AV_CODEC_ID_H264, 320, 180, small.accessUnits, "", 96, 64);
  muxed("65-tracks.mp4", "mp4", AV_CODEC_ID_H264, 320, 180, small.accessUnits,
        "Cannot allocate memory", 96, 65);
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    const bool h264 = codec == AV_CODEC_ID_H264;
    const EncodedStream stream = cameraStream(codec, 0, 640, 360, 8);
    // One picture, 800,000 filler NAL units (H.264 type 12, H.265 type 38), the stream.
    std::vector<uint8_t> flood = stream.accessUnits[0];
    const std::vector<uint8_t> filler = fillerNalUnits(codec, 800000);
    flood.insert(flood.end(), filler.begin(), filler.end());
    std::vector<std::vector<uint8_t>> floodedUnits = stream.accessUnits;
    floodedUnits[0] = flood;
    flood.insert(flood.end(), stream.bytes.begin(), stream.bytes.end());
    inputs.push_back({h264 ? "flood.h264" : "flood.h265", flood,
                      "Invalid data found when processing input"});
    inContainers(h264 ? "flood-h264" : "flood-h265", codec, 640, 360, floodedUnits,
                 "Invalid data found when processing input", 96);
    // The flood at the 31st picture, after 5.8 MB of pictures with big filler NAL units:
    // beyond what the analysis reads, but in MPEG-TS FFmpeg's H.265 parser splits every
    // access unit while a copy reads it.
    std::vector<std::vector<uint8_t>> late = cameraStream(codec, 0, 640, 360, 40).accessUnits;
    for (size_t i = 1; i < 30; i++) {
      const std::vector<uint8_t> big = bigFillerNalUnit(codec, 200000);
      late[i].insert(late[i].end(), big.begin(), big.end());
    }
    late[30].insert(late[30].end(), filler.begin(), filler.end());
    muxed(h264 ? "late-flood-h264.ts" : "late-flood-h265.ts", "mpegts", codec, 640, 360, late, "");
    if (h264) {
      // The flooded video behind an audio stream whose packets come first in the file.
      ffmpeg("-f lavfi -i sine=f=440:sample_rate=44100 -i " + path("flood-h264.mkv") +
             " -map 0:a -map 1:v -c:a aac -c:v copy -t 0.3 " + path("audio-first.mp4"));
      inputs.push_back({"audio-first.mp4", readFile(path("audio-first.mp4")),
                        "Invalid data found when processing input"});
      // The fillers in 100 PES packets of 8,000, each within the bound: FFmpeg's parser
      // joins them into one access unit of 800,000 NAL units.
      std::vector<std::vector<uint8_t>> cut = {stream.accessUnits[0]};
      const std::vector<std::vector<uint8_t>> pieces = cutInto(filler, 8000 * 5);
      cut.insert(cut.end(), pieces.begin(), pieces.end());
      cut.insert(cut.end(), stream.accessUnits.begin() + 1, stream.accessUnits.end());
      muxed("flood-cut.ts", "mpegts", codec, 640, 360, cut, "Invalid data found when processing input");
    }
    // Parameter sets declaring 8192 x 8192 pictures: the stream analysis decodes none.
    inputs.push_back({h264 ? "declared-8k.h264" : "declared-8k.h265",
                      withDeclaredSize(stream.bytes, codec, 8192, 8192), ""});
  }
  for (const Input& input : inputs) {
    ASSERT_TRUE(writeFile(path(input.name), input.bytes));
    std::vector<std::pair<std::string, std::function<int()>>> runs;
    for (const OpeningTool& tool : kOpeningTools) {
      runs.emplace_back(tool.name, [&] { return tool.run(path(input.name), path("work.mkv")); });
    }
    if (input.name.find(".h264") != std::string::npos) {
      runs.emplace_back("decodeVideo", [&] {
        return tools::decodeVideo(path(input.name).c_str(), path("work").c_str());
      });
    }
    for (const auto& [tool, call] : runs) {
      SCOPED_TRACE(input.name + " " + tool);
      const Isolated run = runIsolated(call);
      ASSERT_TRUE(run.exited);
      // 6.6 GB, 10 GB, 170-312 MB and 830 MB for these without the bounds; in containers
      // 6.8 GB and 10 GB (MPEG-TS), 148 MB (H.264 in MP4 and Matroska), 106-529 MB, and
      // 3.4 GB for the late H.265 flood in MPEG-TS; 2.5 GB for the big tracks, 0.9 GB for
      // 600 small ones.
      EXPECT_LT(run.peakGrowthKiB, input.maxGrowthMiB * 1024 * kAllocatorPercent / 100);
      EXPECT_TRUE(std::any_of(run.log.begin(), run.log.end(), [&](const std::string& line) {
        return line.find(input.refusal) != std::string::npos;
      })) << ::testing::PrintToString(run.log);
    }
  }
}

TEST_F(PickedFile, DecodeVideoSavesPicturesUpToTheLiveDecodersLimitAndNoneBeyond) {
  struct Size {
    const char* size;
    int answer;
    size_t pictureBytes;  // of prefix-20.yuv, 0 for none
  };
  // 4096 x 4096 is the limit itself; 4096 x 4112 one row of macroblocks beyond it.
  const Size sizes[] = {{"4096x4096", 0, 4096u * 4096 * 3 / 2}, {"4096x4112", 1, 0}};
  for (const Size& s : sizes) {
    const std::string input = path(std::string("flat-") + s.size + ".h264");
    ffmpeg(std::string("-f lavfi -i color=c=gray:s=") + s.size + ":r=25 -frames:v 21 " +
           "-c:v libx264 -preset ultrafast -f h264 " + input);
    const std::string prefix = path(std::string("pictures-") + s.size);
    const Isolated run = runIsolated([&] { return tools::decodeVideo(input.c_str(), prefix.c_str()); });
    ASSERT_TRUE(run.exited) << s.size;
    EXPECT_EQ(run.answer, s.answer) << s.size;
    EXPECT_EQ(readFile(prefix + "-20.yuv").size(), s.pictureBytes) << s.size;
    std::filesystem::remove(prefix + "-20.yuv");
  }
}

// ---- Hostile files and outputs that are the input: refused or answered 1, the input as it
// was, no output left ----

/// A remux call of `in` into `out`, to run later.
std::function<int()> remux(const std::string& in, const std::string& out) {
  return [in, out] { return tools::remux(in.c_str(), out.c_str()); };
}

/// A video extraction call of `in` into `out`, to run later.
std::function<int()> extract(const std::string& in, const std::string& out) {
  return [in, out] { return tools::extractStream(in.c_str(), out.c_str(), AVMEDIA_TYPE_VIDEO); };
}

/// A one-track MP4 (index at the end) whose index hands out its whole media data
/// `copies` times: as many one-sample chunks, every one at the same offset.
std::vector<uint8_t> repeatingItsData(std::vector<uint8_t> mp4, uint32_t copies) {
  const size_t mdat = boxAt(mp4, "mdat");
  const size_t moov = boxAt(mp4, "moov");
  EXPECT_GT(moov, mdat) << "the index must come after the media data";
  const uint32_t dataSize = static_cast<uint32_t>(moov - mdat - 8);
  putWords(&mp4, boxAt(mp4, "stts", moov) + 12, {1, copies, 512});  // entries: (copies, 512)
  putWords(&mp4, boxAt(mp4, "stsc", moov) + 12, {1, 1, 1, 1});  // (chunk 1, 1 sample, description 1)
  putWords(&mp4, boxAt(mp4, "stsz", moov) + 12, {dataSize, copies});  // each the whole media data
  // A new chunk table of `copies` entries, all at the media data; its parents grow.
  const size_t stco = boxAt(mp4, "stco", moov);
  const uint32_t oldSize = wordAt(mp4, stco);
  std::vector<uint8_t> table(16 + 4 * size_t{copies});
  putWord(&table, 0, static_cast<uint32_t>(table.size()));
  std::copy_n("stco", 4, table.begin() + 4);
  putWord(&table, 12, copies);
  for (uint32_t i = 0; i < copies; i++) putWord(&table, 16 + 4 * i, static_cast<uint32_t>(mdat + 8));
  mp4.erase(mp4.begin() + stco, mp4.begin() + stco + oldSize);
  mp4.insert(mp4.begin() + stco, table.begin(), table.end());
  const uint32_t growth = static_cast<uint32_t>(table.size()) - oldSize;
  size_t from = moov;
  for (const char* parent : {"moov", "trak", "mdia", "minf", "stbl"}) {
    const size_t box = boxAt(mp4, parent, from);
    putWord(&mp4, box, wordAt(mp4, box) + growth);
    from = box + 8;
  }
  return mp4;
}

/// The checksum-like fingerprint of a file: its bytes, or its type when it is none.
std::string fingerprint(const std::string& name) {
  struct stat info {};
  if (lstat(name.c_str(), &info) != 0) return "missing";
  if (!S_ISREG(info.st_mode)) return "type " + std::to_string(info.st_mode & S_IFMT);
  const std::vector<uint8_t> bytes = readFile(name);
  return std::string(bytes.begin(), bytes.end());
}

TEST_F(PickedFile, HostileFilesAreRefusedOrAnsweredOneLeavingTheInputAndNoOutput) {
  const std::string d = *dir_ + "/";
  // Inputs: a cut MP4, one that hands out its data 64 times, AAC in MPEG-TS, an ADTS
  // stream with noise in the middle, raw H.264, split planes. (Pictures that are not 8-bit
  // 4:2:0 are decode_video_files_test's.)
  ffmpeg("-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=f=440 -t 4 -c:v libx264 "
         "-pix_fmt yuv420p -c:a aac -movflags +faststart " + d + "movie.mp4");
  // Inputs their outputs would overwrite: a Motion JPEG film named like the first picture
  // its numbered output would write, and hard links.
  ffmpeg("-i " + d + "secret.ts -map 0:a -c copy -f adts " + d + "tone.aac");
  ffmpeg("-i " + d + "secret.ts -map 0:v -c copy -f h264 " + d + "p-20.yuv");
  ffmpeg("-f lavfi -i testsrc=size=64x48:rate=25 -t 0.2 -c:v mjpeg -f matroska " + d + "shot-001.jpg");
  ASSERT_EQ(link((d + "secret.mp4").c_str(), (d + "secret-link.mp4").c_str()), 0);
  ASSERT_EQ(link((d + "p-20.yuv").c_str(), (d + "stream.h264").c_str()), 0);
  std::vector<uint8_t> movie = readFile(d + "movie.mp4");
  movie.resize(movie.size() * 2 / 3);
  ASSERT_TRUE(writeFile(d + "cut.mp4", movie));
  ASSERT_TRUE(writeFile(d + "repeating.mp4", repeatingItsData(readFile(d + "video-only.mp4"), 64)));
  ffmpeg("-f lavfi -i sine=f=440:d=2 -c:a aac -f adts " + d + "tone2.aac");
  std::vector<uint8_t> noisy = readFile(d + "tone2.aac");
  for (size_t i = noisy.size() / 2; i < noisy.size() / 2 + 600; i++) noisy[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(writeFile(d + "noisy.aac", noisy));
  std::filesystem::copy_file(d + "single.jpg", d + "file:tone2.aac");
  // An ordinary AVI: its header counts PCM samples, not packets.
  ffmpeg("-f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i sine=f=440 -t 1 -c:v mpeg4 "
         "-c:a pcm_s16le " + d + "pcm.avi");
  ffmpeg("-f lavfi -i testsrc=size=64x48:rate=25 -frames:v 25 -c:v libx264 -pix_fmt yuv420p "
         "-f h264 " + d + "plain.h264");
  ASSERT_TRUE(writeFile(d + "pic.Y", std::vector<uint8_t>(64 * 48, 16)));
  ASSERT_TRUE(writeFile(d + "pic.U", std::vector<uint8_t>(32 * 24, 128)));
  ASSERT_TRUE(writeFile(d + "pic.V", std::vector<uint8_t>(32 * 24, 128)));
  ASSERT_EQ(mkfifo((d + "fifo.mp4").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((d + "fifo-out.mkv").c_str(), 0600), 0);
  // A link to a file the process has open, through /proc (the JVM's runtime image once).
  std::filesystem::copy_file(d + "secret.mp4", d + "held.mp4");
  const int held = open((d + "held.mp4").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  std::filesystem::create_symlink("/proc/self/fd/" + std::to_string(held), d + "link.mkv");
  std::filesystem::create_symlink("/proc/self/fd/" + std::to_string(held), d + "link.pcm");

  const auto decodeVideo = [](std::string in, std::string prefix, int64_t margin) {
    return [in, prefix, margin] { return tools::decodeVideoLeaving(in.c_str(), prefix.c_str(), margin); };
  };
  const auto decodeAudio = [](std::string in, std::string out, int64_t margin) {
    return [in, out, margin] { return tools::decodeAudioLeaving(in.c_str(), out.c_str(), margin); };
  };
  const int64_t margin = tools::kFreeSpaceMargin;
  const int64_t noRoom = int64_t{1} << 60;  // more than any disk has free
  const std::string notAFile = ": it is not a regular file\n";
  const auto isTheInput = [&](const std::string& output) {
    return "Refused to write " + output + ": it is the input file\n";
  };
  const std::string mp4 = path("secret.mp4");
  const std::string respelt = *dir_ + "/sub/../secret.mp4";
  const auto noRoomFor = [&](const std::string& name) {
    return "Stopped writing " + name + ": the storage would keep less than " +
           std::to_string(noRoom >> 20) + " MiB free\n";
  };
  struct Row {
    const char* name;
    std::function<int()> run;  // in the directory of the files
    std::string input;         // unchanged by the call
    int answer;
    std::string line;          // the start of a line of the log
    std::string absent;        // no file of this name afterwards, nor beside it
    std::string secret = "";   // never opened
  };
  const Row rows[] = {
      // A name is a path: protocols are part of the name.
      {"extract from file:<input>", extract("file:secret.mp4", "v.mkv"), "secret.mp4", 1,
       "avformat_open_input失败：No such file or directory", "v.mkv"},
      {"remux onto file:<input>", remux("secret.mp4", "file:secret.mp4"), "secret.mp4", 0,
       "file:secret.mp4", ""},
      // The picture named "file:tone2.aac", not the sound named "tone2.aac".
      {"extract of a file named file:<other>", extract("file:tone2.aac", "named.mkv"), "tone2.aac",
       0, "file:tone2.aac", ""},
      {"printFileInfo of concat:", [] { tools::printFileInfo("concat:secret.mp4|single.jpg"); return 0; },
       "secret.mp4", 0, "No such file or directory", "", "secret.mp4"},
      {"remux of subfile,", remux("subfile,,start,0,end,0,,:secret.mp4", "x.mkv"), "secret.mp4", 1,
       "Could not open input file 'subfile,,start,0,end,0,,:secret.mp4'", "x.mkv", "secret.mp4"},
      {"extract of split planes", extract("pic.Y", "planes.mkv"), "pic.Y", 1,
       "avformat_write_header", "planes.mkv", "pic.U"},
      {"remux of split planes", remux("pic.Y", "planes.mkv"), "pic.Y", 1, "Error occurred",
       "planes.mkv", "pic.V"},
      // Only regular files.
      {"remux of a FIFO", remux("fifo.mp4", "f.mkv"), "", 1, "Refused to read fifo.mp4" + notAFile,
       "f.mkv"},
      {"printFileInfo of a directory", [] { tools::printFileInfo("sub"); return 0; }, "", 0,
       "Refused to read sub" + notAFile, ""},
      {"decodeVideo of /dev/zero", decodeVideo("/dev/zero", "zero", margin), "", 1,
       "Refused to read /dev/zero" + notAFile, "zero-20.yuv"},
      {"decodeAudio of /dev/urandom", decodeAudio("/dev/urandom", "random.pcm", margin), "", 1,
       "Refused to read /dev/urandom" + notAFile, "random.pcm"},
      {"remux into a FIFO", remux("secret.mp4", "fifo-out.mkv"), "secret.mp4", 1,
       "Refused to write fifo-out.mkv" + notAFile, ""},
      {"remux onto a link to an open file", remux("secret.mp4", "link.mkv"), "held.mp4", 0,
       "link.mkv", ""},
      {"encodeVideo into a FIFO", [] { return tools::encodeVideo("fifo-out.mkv"); }, "", 1,
       "Refused to write fifo-out.mkv" + notAFile, ""},
      {"encodeAudio into a directory", [] { return tools::encodeAudio("sub"); }, "", 1,
       "Refused to write sub" + notAFile, ""},
      {"scaleVideo into a device", [] { return tools::scaleVideo("/dev/null"); }, "", 1,
       "Refused to write /dev/null" + notAFile, ""},
      {"resampleAudio onto a link to an open file", [] { return tools::resampleAudio("link.pcm"); },
       "held.mp4", 0, "Resampling succeeded", ""},
      // Storage bounded.
      {"remux of data handed out 64 times", remux("repeating.mp4", "r.mkv"), "repeating.mp4", 1,
       "Refused to copy repeating.mp4: its packets hold more bytes than the file\n", "r.mkv"},
      {"extract of data handed out 64 times", extract("repeating.mp4", "r.h264"), "repeating.mp4",
       1, "Refused to copy repeating.mp4: its packets hold more bytes than the file\n", "r.h264"},
      {"decodeVideo without free space", decodeVideo("plain.h264", "room", noRoom), "plain.h264", 1,
       noRoomFor("room-20.yuv"), "room-"},
      {"decodeAudio without free space", decodeAudio("tone2.aac", "room.pcm", noRoom), "tone2.aac",
       1, noRoomFor("room.pcm"), "room.pcm"},
      {"scaleVideo without free space", [&] { return tools::scaleVideoLeaving("room.rgb", noRoom); },
       "", 1, noRoomFor("room.rgb"), "room.rgb"},
      {"resampleAudio without free space", [&] { return tools::resampleAudioLeaving("room3.pcm", noRoom); },
       "", 1, noRoomFor("room3.pcm"), "room3.pcm"},
      // 0 means whole.
      {"remux of a cut MP4", remux("cut.mp4", "cut.mkv"), "cut.mp4", 1, "The input is damaged",
       "cut.mkv"},
      {"extract of a cut MP4", extract("cut.mp4", "cut.h264"), "cut.mp4", 1, "The input ended early",
       "cut.h264"},
      {"remux of an AVI with PCM audio", remux("pcm.avi", "pcm.mkv"), "pcm.avi", 0, "pcm.avi", ""},
      {"decodeAudio of MPEG-TS", decodeAudio("secret.ts", "ts.pcm", margin), "secret.ts", 1,
       "Refused to decode secret.ts: it is not an ADTS AAC stream\n", "ts.pcm"},
      {"decodeAudio of damaged frames", decodeAudio("noisy.aac", "noisy.pcm", margin), "noisy.aac",
       1, "Error sending a packet for decoding", "noisy.pcm"},
      // The input is never the output, however the output is spelt.
      {"extract same path", extract(mp4, mp4), "secret.mp4", 1, isTheInput(mp4), ""},
      {"extract respelt", extract(mp4, respelt), "secret.mp4", 1, isTheInput(respelt), ""},
      {"remux same path", remux(mp4, mp4), "secret.mp4", 1, isTheInput(mp4), ""},
      {"remux hard link", remux(mp4, path("secret-link.mp4")), "secret.mp4", 1,
       isTheInput(path("secret-link.mp4")), ""},
      // The picture files that the image muxer opens itself.
      {"extract numbered pictures", extract(path("shot-001.jpg"), path("shot-%03d.jpg")),
       "shot-001.jpg", 1, isTheInput(path("shot-001.jpg")), ""},
      {"remux numbered pictures", remux(path("shot-001.jpg"), path("shot-%03d.jpg")),
       "shot-001.jpg", 1, isTheInput(path("shot-001.jpg")), ""},
      {"decodeAudio same path",
       [&] { return tools::decodeAudio(path("tone.aac").c_str(), path("tone.aac").c_str()); },
       "tone.aac", 1, isTheInput(path("tone.aac")), ""},
      // Picture 20 of prefix "p" is p-20.yuv: the input itself, and through a hard link.
      {"decodeVideo picture file",
       [&] { return tools::decodeVideo(path("p-20.yuv").c_str(), path("p").c_str()); },
       "p-20.yuv", 1, isTheInput(path("p-20.yuv")), ""},
      {"decodeVideo hard link",
       [&] { return tools::decodeVideo(path("stream.h264").c_str(), path("p").c_str()); },
       "stream.h264", 1, isTheInput(path("p-20.yuv")), ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string before = row.input.empty() ? "" : fingerprint(d + row.input);
    ASSERT_NE(before, "missing");
    const Isolated run = runIsolated(
        [&] { return chdir(dir_->c_str()) == 0 ? row.run() : -1; },
        row.secret.empty() ? "" : d + row.secret);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.answer, row.answer);
    EXPECT_EQ(run.secretOpens, 0);
    if (!row.input.empty()) {
      EXPECT_TRUE(fingerprint(d + row.input) == before);
    }
    const auto startsWithLine = [&](const std::string& line) { return line.rfind(row.line, 0) == 0; };
    EXPECT_TRUE(std::any_of(run.log.begin(), run.log.end(), startsWithLine))
        << ::testing::PrintToString(run.log);
    for (const auto& entry : std::filesystem::directory_iterator(*dir_)) {
      const std::string name = entry.path().filename().string();
      EXPECT_EQ(name.find(".part-"), std::string::npos) << name;
      EXPECT_TRUE(row.absent.empty() || name.rfind(row.absent, 0) != 0) << name;
    }
  }
  close(held);
  // What the successful rows left: the file named "file:secret.mp4", and a file in the
  // place of the link, whose target was not written.
  EXPECT_EQ(readMedia(d + "file:secret.mp4").packets.size(), readMedia(d + "secret.mp4").packets.size());
  EXPECT_EQ(fingerprint(d + "link.mkv").rfind("type", 0), std::string::npos);
  EXPECT_EQ(readMedia(d + "named.mkv").packets.size(), 1u);
  EXPECT_FALSE(readMedia(d + "link.mkv").packets.empty());
  EXPECT_FALSE(std::filesystem::is_symlink(d + "link.pcm"));
  EXPECT_EQ(readFile(d + "link.pcm").size() % 6, 0u);  // whole 3-channel s16 sample frames
  EXPECT_GT(readFile(d + "link.pcm").size(), 6u * 44100 * 10 - 6u * 1024);
}

// ---- Outputs: local files that can hold the stream ----

TEST_F(PickedFile, OutputsNamingOtherProtocolsAreLocalFilesOfThatName) {
  const std::string input = path("secret.mp4");
  // Relative names of other protocols are files of the working directory: none is there.
  for (const std::string& output : {std::string("http://127.0.0.1:9/x.mkv"),
                                    std::string("udp://127.0.0.1:9/x.ts"),
                                    "tee:" + path("tee-a.mkv") + "|" + path("tee-b.mkv")}) {
    const Isolated extracted = runIsolated([&] { return kOpeningTools[1].run(input, output); });
    ASSERT_TRUE(extracted.exited) << output;
    EXPECT_EQ(extracted.answer, 1) << output;
    EXPECT_EQ(extracted.log, (Lines{input, output, "avio_open：No such file or directory"}));
    const Isolated remuxed = runIsolated([&] { return kOpeningTools[3].run(input, output); });
    ASSERT_TRUE(remuxed.exited) << output;
    EXPECT_EQ(remuxed.answer, 1) << output;
    EXPECT_EQ(remuxed.log, (Lines{input, output, "Could not open output file '" + output + "'",
                                  "Error occurred: No such file or directory\n"}));
  }
  EXPECT_FALSE(fileExists(path("tee-a.mkv")));
}

TEST_F(PickedFile, AStreamTheOutputCannotCarryIsRefusedBeforeAnyFileIsMade) {
  const std::string input = path("secret.mp4");
  const Isolated extracted = runIsolated([&] { return kOpeningTools[1].run(input, path("x.h265")); });
  EXPECT_EQ(extracted.log,
            (Lines{input, path("x.h265"), "The hevc output cannot carry a h264 stream\n"}));
  const Isolated remuxed = runIsolated([&] { return kOpeningTools[3].run(input, path("x.h264")); });
  EXPECT_EQ(remuxed.answer, 1);
  ASSERT_GE(remuxed.log.size(), 3u);
  EXPECT_EQ(remuxed.log[2], "The h264 output cannot carry a aac stream\n");
  EXPECT_FALSE(fileExists(path("x.h265")));
  EXPECT_FALSE(fileExists(path("x.h264")));
}

// ---- The int tools answer 1 for inputs they cannot use ----

TEST_F(PickedFile, DecodersAnswerOneForInputsTheyCannotDecode) {
  ffmpeg("-f lavfi -i testsrc=size=64x48:rate=25 -frames:v 25 -pix_fmt yuv420p -c:v libx265 "
         "-x265-params log-level=error -f hevc " +
         path("stream.h265"));
  ffmpeg("-f lavfi -i sine=f=440:d=1 -c:a libmp3lame " + path("tone.mp3"));
  write("text.txt", "not a media file\n");
  const std::string out = path("decoded");
  const struct {
    const char* tool;
    std::string input;
  } cases[] = {{"decodeVideo", path("stream.h265")}, {"decodeVideo", path("secret.mp4")},
               {"decodeVideo", path("text.txt")},    {"decodeAudio", path("tone.mp3")},
               {"decodeAudio", path("text.txt")}};
  for (const auto& c : cases) {
    const bool video = std::string(c.tool) == "decodeVideo";
    const Isolated run = runIsolated([&] {
      return video ? tools::decodeVideo(c.input.c_str(), out.c_str())
                   : tools::decodeAudio(c.input.c_str(), out.c_str());
    });
    ASSERT_TRUE(run.exited) << c.tool << " " << c.input;
    EXPECT_EQ(run.answer, 1) << c.tool << " " << c.input;
    for (const std::string& line : run.log) {
      EXPECT_EQ(line.find("ffplay"), std::string::npos) << c.input << ": " << line;
    }
    EXPECT_TRUE(readFile(video ? out + "-20.yuv" : out).empty()) << c.tool << " " << c.input;
  }
}

}  // namespace
}  // namespace qn::testing
