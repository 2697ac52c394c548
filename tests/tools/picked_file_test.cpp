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
#include "tests/tools/container_media.h"
#include "bridge/bridge.h"
#include "bridge/error_text.h"
#include "tools/tools.h"

namespace qn::testing {
namespace {

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
  tools::extractStream(input.c_str(), output.c_str(), type);
  return 0;
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
    ffmpeg(video + tone + "-t 1 -c:v libx264 -c:a aac " + d + "/secret.ts");
    ffmpeg("-i " + d + "/secret.ts -c copy " + d + "/secret.mp4");
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
        EXPECT_EQ(run.answer, std::string(tool.name) == "remux" ? 1 : 0);
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

/// An MP4 whose sample tables declare `samples` samples of one byte in one chunk: a few
/// kilobytes that ask a demuxer for an index of samples x 24 bytes.
std::vector<uint8_t> declaringSamples(std::vector<uint8_t> mp4, uint32_t samples) {
  const auto box = [&](const char* type) {
    const auto at = std::search(mp4.begin(), mp4.end(), type, type + 4);
    EXPECT_NE(at, mp4.end()) << type;
    return static_cast<size_t>(at - mp4.begin()) + 4;  // just behind the type
  };
  const auto put = [&](size_t at, uint32_t value) {
    for (int i = 0; i < 4; i++) mp4[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  };
  const size_t stts = box("stts");  // version/flags, entries, (count, delta)...
  put(stts + 4, 1);
  put(stts + 8, samples);
  put(stts + 12, 512);
  const size_t stsz = box("stsz");  // version/flags, constant size, count
  put(stsz + 4, 1);
  put(stsz + 8, samples);
  const size_t stsc = box("stsc");  // version/flags, entries, (first chunk, samples, description)
  put(stsc + 4, 1);
  put(stsc + 8, 1);
  put(stsc + 12, samples);
  put(stsc + 16, 1);
  return mp4;
}

TEST_F(PickedFile, AContainerDeclaringFiftyMillionSamplesStaysWithinTheAllocationLimit) {
  const std::string input = path("huge-tables.mp4");
  ffmpeg("-i " + path("secret.mp4") + " -map 0:v -c copy " + path("video-only.mp4"));
  ASSERT_TRUE(writeFile(input, declaringSamples(readFile(path("video-only.mp4")), 50000000)));
  ASSERT_LT(readFile(input).size(), 16384u);
  for (const OpeningTool& tool : {kOpeningTools[0], kOpeningTools[1]}) {
    const Isolated run = runIsolated([&] { return tool.run(input, path("huge.mkv")); });
    ASSERT_TRUE(run.exited) << tool.name;
    EXPECT_LT(run.peakGrowthKiB, 256 * 1024) << tool.name;  // 2.8 GB without the limit
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

// ---- The input is never the output ----

TEST_F(PickedFile, AnOutputThatIsTheInputIsRefusedAndTheInputStaysAsItWas) {
  ffmpeg("-i " + path("secret.ts") + " -map 0:a -c copy -f adts " + path("tone.aac"));
  ffmpeg("-i " + path("secret.ts") + " -map 0:v -c copy -f h264 " + path("p-20.yuv"));
  // A Motion JPEG film named like the first picture its numbered output would write.
  ffmpeg("-f lavfi -i testsrc=size=64x48:rate=25 -t 0.2 -c:v mjpeg -f matroska " +
         path("shot-001.jpg"));
  ASSERT_EQ(link(path("secret.mp4").c_str(), path("secret-link.mp4").c_str()), 0);
  ASSERT_EQ(link(path("p-20.yuv").c_str(), path("stream.h264").c_str()), 0);
  struct InPlace {
    const char* name;
    std::function<int()> run;
    std::string input, output;
    int answer;  // -1: a tool without result
  };
  const std::string mp4 = path("secret.mp4");
  const std::string respelt = *dir_ + "/sub/../secret.mp4";
  const auto extract = [](const std::string& in, const std::string& out) {
    return [in, out] {
      tools::extractStream(in.c_str(), out.c_str(), AVMEDIA_TYPE_VIDEO);
      return -1;
    };
  };
  const auto remux = [](const std::string& in, const std::string& out) {
    return [in, out] { return tools::remux(in.c_str(), out.c_str()); };
  };
  const InPlace cases[] = {
      {"extract same path", extract(mp4, mp4), mp4, mp4, -1},
      {"extract respelt", extract(mp4, respelt), mp4, respelt, -1},
      {"remux same path", remux(mp4, mp4), mp4, mp4, 1},
      {"remux hard link", remux(mp4, path("secret-link.mp4")), mp4, path("secret-link.mp4"), 1},
      // The picture files that the image muxer opens itself.
      {"extract numbered pictures", extract(path("shot-001.jpg"), path("shot-%03d.jpg")),
       path("shot-001.jpg"), path("shot-001.jpg"), -1},
      {"remux numbered pictures", remux(path("shot-001.jpg"), path("shot-%03d.jpg")),
       path("shot-001.jpg"), path("shot-001.jpg"), 1},
      {"decodeAudio same path",
       [&] { return tools::decodeAudio(path("tone.aac").c_str(), path("tone.aac").c_str()); },
       path("tone.aac"), path("tone.aac"), 1},
      // Picture 20 of prefix "p" is p-20.yuv: the input itself, and through a hard link.
      {"decodeVideo picture file",
       [&] { return tools::decodeVideo(path("p-20.yuv").c_str(), path("p").c_str()); },
       path("p-20.yuv"), path("p-20.yuv"), 1},
      {"decodeVideo hard link",
       [&] { return tools::decodeVideo(path("stream.h264").c_str(), path("p").c_str()); },
       path("stream.h264"), path("p-20.yuv"), 1},
  };
  for (const InPlace& c : cases) {
    const std::vector<uint8_t> before = readFile(c.input);
    ASSERT_FALSE(before.empty()) << c.name;
    const Isolated run = runIsolated(c.run);
    ASSERT_TRUE(run.exited) << c.name;
    EXPECT_EQ(run.answer, c.answer) << c.name;
    const std::string refusal = "Refused to write " + c.output + ": it is the input file\n";
    EXPECT_NE(std::find(run.log.begin(), run.log.end(), refusal), run.log.end()) << c.name;
    EXPECT_TRUE(readFile(c.input) == before) << c.name;
  }
}

// ---- Outputs: local files that can hold the stream ----

TEST_F(PickedFile, OutputsNamingOtherProtocolsAreRefusedWithTheUsualOpenFailure) {
  const std::string input = path("secret.mp4");
  const std::string tee = path("tee-a.mkv") + "|" + path("tee-b.mkv");
  for (const std::string& output : {std::string("http://127.0.0.1:9/x.mkv"),
                                    std::string("udp://127.0.0.1:9/x.ts"), "tee:" + tee,
                                    std::string("pipe:1.mkv")}) {
    const Isolated extracted = runIsolated([&] { return kOpeningTools[1].run(input, output); });
    ASSERT_TRUE(extracted.exited) << output;
    EXPECT_EQ(extracted.log, (Lines{input, output, "avio_open：Invalid argument"}));
    const Isolated remuxed = runIsolated([&] { return kOpeningTools[3].run(input, output); });
    ASSERT_TRUE(remuxed.exited) << output;
    EXPECT_EQ(remuxed.answer, 1) << output;
    EXPECT_EQ(remuxed.log, (Lines{input, output, "Could not open output file '" + output + "'",
                                  "Error occurred: Invalid argument\n"}));
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
