// The live-decode demo (com.quarn.iot.programs.LiveDecodeDemo): its rules, called
// in this process's JVM, and whole runs as `make demo` starts them, in a
// separate java process, checked by their exit status, summary and PNG files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "tests/support/colour_reference.h"
#include "tests/support/jvm.h"
#include "tests/support/media.h"

namespace qn::testing {
namespace {

constexpr char kDemoClass[] = "com/quarn/iot/programs/LiveDecodeDemo";

/// Fails the test with a Java exception left by the last call (which also checks for one).
void expectNoJavaException(JNIEnv* env) {
  const std::string thrown = takeException(env);
  if (!thrown.empty()) ADD_FAILURE() << "Java threw " << thrown;
}

/// LiveDecodeDemo.codecTypeFor(name) through JNI.
int codecTypeFor(const std::string& name) {
  JNIEnv* env = jniEnv();
  jclass demo = env->FindClass(kDemoClass);
  jmethodID method = env->GetStaticMethodID(demo, "codecTypeFor", "(Ljava/lang/String;)I");
  jstring text = env->NewStringUTF(name.c_str());
  const jint type = env->CallStaticIntMethod(demo, method, text);
  expectNoJavaException(env);
  env->DeleteLocalRef(text);
  env->DeleteLocalRef(demo);
  return type;
}

/// LiveDecodeDemo.percentile(sorted, p) through JNI.
int64_t percentile(const std::vector<jlong>& sorted, int p) {
  JNIEnv* env = jniEnv();
  jclass demo = env->FindClass(kDemoClass);
  jmethodID method = env->GetStaticMethodID(demo, "percentile", "([JI)J");
  jlongArray values = env->NewLongArray(static_cast<jsize>(sorted.size()));
  env->SetLongArrayRegion(values, 0, static_cast<jsize>(sorted.size()), sorted.data());
  const jlong value = env->CallStaticLongMethod(demo, method, values, p);
  expectNoJavaException(env);
  env->DeleteLocalRef(values);
  env->DeleteLocalRef(demo);
  return value;
}

/// The java launcher of the JVM this test runs in.
std::string javaLauncher() {
  JNIEnv* env = jniEnv();
  jclass system = env->FindClass("java/lang/System");
  jmethodID getProperty =
      env->GetStaticMethodID(system, "getProperty", "(Ljava/lang/String;)Ljava/lang/String;");
  jstring key = env->NewStringUTF("java.home");
  auto home = static_cast<jstring>(env->CallStaticObjectMethod(system, getProperty, key));
  expectNoJavaException(env);
  const char* chars = env->GetStringUTFChars(home, nullptr);
  std::string launcher = std::string(chars) + "/bin/java";
  env->ReleaseStringUTFChars(home, chars);
  env->DeleteLocalRef(home);
  env->DeleteLocalRef(key);
  env->DeleteLocalRef(system);
  return launcher;
}

/// What one demo process did.
struct DemoRun {
  int exitStatus = -1;
  std::string out;
  std::string err;
  std::map<std::string, std::string> summary;  // "chunks" -> "7 (1024 to ...)"
};

/// The "  key: value" lines after "Summary".
std::map<std::string, std::string> parseSummary(const std::string& out) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(out.substr(std::min(out.find("\nSummary\n"), out.size())));
  for (std::string line; std::getline(lines, line);) {
    const size_t colon = line.find(':');
    if (line.rfind("  ", 0) != 0 || colon == std::string::npos) continue;
    const size_t value = line.find_first_not_of(' ', colon + 1);
    fields[line.substr(2, colon - 2)] = value == std::string::npos ? "" : line.substr(value);
  }
  return fields;
}

/// Runs the demo as the Makefile does: java [--whole] <outDir> [file], or with
/// `grid` set, java --grid <grid> <outDir>.
DemoRun runDemo(const std::string& outDir, const std::string& file = "", bool whole = false,
                const std::string& grid = "") {
  const std::string outFile = outDir + ".stdout", errFile = outDir + ".stderr";
  const std::string options = !grid.empty() ? "--grid " + grid + " '" : whole ? "--whole '" : "'";
  std::string command = "'" + javaLauncher() + "' --enable-native-access=ALL-UNNAMED -cp '" QN_TEST_CLASSPATH
                        "' -Djava.library.path='" + std::string(QN_TEST_LIBRARY_PATH) +
                        "' com.quarn.iot.programs.LiveDecodeDemo " + options + outDir + "'";
  if (!file.empty()) command += " '" + file + "'";
  const int status = runCommand(command + " </dev/null >'" + outFile + "' 2>'" + errFile + "'");
  DemoRun run;
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  const std::vector<uint8_t> out = readFile(outFile), err = readFile(errFile);
  run.out.assign(out.begin(), out.end());
  run.err.assign(err.begin(), err.end());
  run.summary = parseSummary(run.out);
  return run;
}

/// The leading number of a summary value ("7 (bitmaps returned)" -> 7).
long number(const DemoRun& run, const std::string& key) {
  const auto field = run.summary.find(key);
  return field == run.summary.end() ? -1 : std::strtol(field->second.c_str(), nullptr, 10);
}

/// The number after `label` in a summary value ("... first.png (picture 7) ..." -> 7), -1 if absent.
long numberAfter(const DemoRun& run, const std::string& key, const std::string& label) {
  const std::string value = run.summary.count(key) ? run.summary.at(key) : "";
  const size_t at = value.find(label);
  return at == std::string::npos ? -1 : std::strtol(value.c_str() + at + label.size(), nullptr, 10);
}

/// A PNG file's pixels as R, G, B, A bytes, decoded by the ffmpeg tool.
std::vector<uint8_t> pngPixels(const std::string& png) {
  const std::string raw = png + ".rgba";
  runCommand("ffmpeg -v error -y -i '" + png + "' -f rawvideo -pix_fmt rgba '" + raw + "'");
  return readFile(raw);
}

/// The PNG's width and height from its header, {0, 0} if it is no PNG.
std::pair<int, int> pngSize(const std::string& png) {
  const std::vector<uint8_t> bytes = readFile(png);
  static const uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (bytes.size() < 24 || !std::equal(std::begin(kSignature), std::end(kSignature), bytes.begin())) return {0, 0};
  auto be32 = [&](size_t at) { return bytes[at] << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 | bytes[at + 3]; };
  return {be32(16), be32(20)};
}

/// Index of the reference picture whose bitmap bytes equal the pixels, -1 if none.
int matchingPicture(const std::vector<Picture>& pictures, const std::vector<uint8_t>& pixels) {
  for (size_t i = 0; i < pictures.size(); i++) {
    if (toBitmapBytes(pictures[i]) == pixels) return static_cast<int>(i);
  }
  return -1;
}

/// Checks a run on a user's file, chunked or one access unit per call: the counts
/// add up, the PNGs show decoded pictures under their own numbers. B-frames keep
/// that many pictures in the decoder: never out, and as many calls of delay.
void expectDemoOfStream(const std::string& name, AVCodecID codec, const char* codecText, bool whole,
                        int bFrames = 0) {
  StreamSpec recipe;
  recipe.codec = codec;
  recipe.bFrames = bFrames;
  recipe.frames = 60;
  recipe.bitRate = 4000000;  // about 1.2 MB: chunks of up to 64 KB, some within one picture (repeats)
  const EncodedStream stream = encodeStream(recipe);
  const std::vector<Picture> expected = referenceDecode(stream.bytes, codec);
  ASSERT_EQ(expected.size(), 60u);
  const std::string dir = makeTempDir("demo-" + name + (whole ? "-whole" : ""));
  const std::string file = dir + "/" + name;
  ASSERT_TRUE(writeFile(file, stream.bytes));

  DemoRun run = runDemo(dir + "/out", file, whole);
  ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
  const std::string streamLine = run.summary.count("stream") ? run.summary.at("stream") : "";
  EXPECT_NE(streamLine.find(codecText), std::string::npos) << streamLine;
  const long chunks = number(run, "chunks"), returned = number(run, "bitmaps");
  const long shown = number(run, "pictures shown"), repeats = numberAfter(run, "bitmaps", "returned, ");
  const long size = static_cast<long>(stream.bytes.size());
  EXPECT_EQ(numberAfter(run, "pictures shown", " of "), 60);
  EXPECT_EQ(returned + number(run, "null results"), chunks);
  EXPECT_EQ(shown + repeats, returned);
  EXPECT_EQ(shown + number(run, "unseen") + numberAfter(run, "unseen", "newest), "), 60) << run.out;
  if (whole) {
    // Each picture in its own call (B-frames: as many calls later), into the two bitmaps.
    const std::string delay = std::to_string(bFrames);
    EXPECT_EQ(chunks, 60);
    EXPECT_EQ(shown, 60 - bFrames);
    EXPECT_EQ(run.summary["delay"].rfind("median " + delay + ", max " + delay + " calls", 0), 0u)
        << run.summary["delay"];
    EXPECT_EQ(numberAfter(run, "bitmaps", "repeats, "), 2);
    // create's 3, destroy's 2 and two for each picture held back; the switch never fell back.
    EXPECT_EQ(number(run, "decoder lines"), 5 + 2 * bFrames) << run.out;
  } else {
    EXPECT_GE(chunks, (size + 65535) / 65536);
    EXPECT_LE(chunks, (size + 1023) / 1024);
    EXPECT_GE(shown, 1);
    EXPECT_EQ(numberAfter(run, "bitmaps", "repeats, "), returned);
  }
  EXPECT_NE(run.summary.count("decode p99"), 0u);
  // x265 says limited range even with no matrix; x264 says nothing.
  const std::string named = run.summary["pictures are"];
  EXPECT_TRUE(named == "yuv420p, matrix unspecified (shown as BT.601), range unspecified (limited)" ||
              named == "yuv420p, matrix unspecified (shown as BT.601), limited range")
      << named;

  // The PNGs hold decoded pictures exactly, each the picture its label names; the
  // last is the latest one the decoder gave (chunked, the parser still holds the final
  // access unit).
  const std::string out = dir + "/out/";
  EXPECT_EQ(pngSize(out + "contact-sheet.png").first > 0, true);
  for (const char* png : {"first.png", "middle.png", "last.png"}) {
    EXPECT_EQ(pngSize(out + png), std::make_pair(352, 288)) << png;
    EXPECT_EQ(matchingPicture(expected, pngPixels(out + png)),
              numberAfter(run, "PNG files", std::string(png) + " (picture "))
        << png;
  }
  EXPECT_EQ(matchingPicture(expected, pngPixels(out + "last.png")), (whole ? 59 : 58) - bFrames);
}

TEST(LiveDecodeDemoRules, CodecTypeComesFromTheFileNameEnding) {
  EXPECT_EQ(codecTypeFor("camera.h265"), 2);
  EXPECT_EQ(codecTypeFor("/data/CAMERA.HEVC"), 2);
  EXPECT_EQ(codecTypeFor("camera.h264"), 1);
  EXPECT_EQ(codecTypeFor("camera.264"), 1);
  EXPECT_EQ(codecTypeFor("streams.h265/camera.bin"), 1);
  EXPECT_EQ(codecTypeFor("camera.h265.bak"), 1);
}

TEST(LiveDecodeDemoRules, PercentilesAreNearestRank) {
  std::vector<jlong> hundred;
  for (jlong v = 1; v <= 100; v++) hundred.push_back(v);
  EXPECT_EQ(percentile(hundred, 50), 50);
  EXPECT_EQ(percentile(hundred, 99), 99);
  EXPECT_EQ(percentile(hundred, 100), 100);
  EXPECT_EQ(percentile({10, 20, 30}, 50), 20);
  EXPECT_EQ(percentile({10, 20, 30}, 99), 30);
  EXPECT_EQ(percentile({7}, 99), 7);
  EXPECT_EQ(percentile({}, 50), 0);
}

TEST(LiveDecodeDemoRun, UsersH264FileGivesSummaryAndPicturesAsPng) {
  expectDemoOfStream("camera.h264", AV_CODEC_ID_H264, "H.264", false);
}

TEST(LiveDecodeDemoRun, UsersH265FileIsDecodedAsH265) {
  expectDemoOfStream("camera.hevc", AV_CODEC_ID_HEVC, "H.265", false);
}

TEST(LiveDecodeDemoRun, WholeAccessUnitsShowEveryPictureInItsOwnCall) {
  expectDemoOfStream("camera.h264", AV_CODEC_ID_H264, "H.264", true, 2);
  expectDemoOfStream("camera.hevc", AV_CODEC_ID_HEVC, "H.265", true);
}

TEST(LiveDecodeDemoRun, MissingOrUselessFileFailsWithAClearMessage) {
  const std::string dir = makeTempDir("demo-bad-input");
  DemoRun run = runDemo(dir + "/out", dir + "/absent.h264");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.err, "demo: no such file: " + dir + "/absent.h264\n");

  run = runDemo(dir + "/out", dir);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.err, "demo: not a regular file: " + dir + "\n");

  // Bytes that hold no picture: the run ends, but is not reported as a success, and
  // the pictures of an earlier run are gone. The Annex B hint only without a start code.
  for (const bool startCode : {false, true}) {
    std::vector<uint8_t> noise(5000, 0x42);
    if (startCode) noise[2] = 1, noise[0] = noise[1] = 0;
    ASSERT_TRUE(writeFile(dir + "/noise.h264", noise));
    ASSERT_TRUE(writeFile(dir + "/out/first.png", {1, 2, 3}));
    run = runDemo(dir + "/out", dir + "/noise.h264");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(number(run, "pictures shown"), 0);
    EXPECT_EQ(numberAfter(run, "pictures shown", " of "), startCode ? 1 : 0);
    EXPECT_FALSE(fileExists(dir + "/out/first.png"));
    EXPECT_NE(run.err.find("no picture was decoded"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Annex B") != std::string::npos, !startCode) << run.err;
    EXPECT_EQ(run.err.find("Exception"), std::string::npos) << run.err;
  }
}

TEST(LiveDecodeDemoRun, WithoutAFileMakesAndCachesTheDefaultStream) {
  const std::string out = makeTempDir("demo-default") + "/out";
  const DemoRun run = runDemo(out);
  ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_TRUE(fileExists(out + "/testsrc2-1280x720-25fps-10s.h264"));
  EXPECT_FALSE(fileExists(out + "/testsrc2-1280x720-25fps-10s.h264.part"));
  // 250 pictures, the last one held back by the parser; the others shown or skipped.
  EXPECT_EQ(numberAfter(run, "pictures shown", " of "), 250);
  EXPECT_GE(number(run, "pictures shown"), 50);
  EXPECT_EQ(number(run, "pictures shown") + number(run, "unseen"), 249);
  EXPECT_EQ(numberAfter(run, "unseen", "newest), "), 1);
  EXPECT_EQ(pngSize(out + "/last.png"), std::make_pair(1280, 720));
  // Only the first few decoder lines reach the terminal.
  size_t shown = 0;
  for (size_t at = run.out.find("D/FFmpegDecoder: "); at != std::string::npos;
       at = run.out.find("D/FFmpegDecoder: ", at + 1)) {
    shown++;
  }
  EXPECT_LE(shown, 5u);

  // The grid of one tile plays the cached stream at its pace into a 480x270 tile.
  const DemoRun grid = runDemo(out, "", false, "1");
  ASSERT_EQ(grid.exitStatus, 0) << grid.out << grid.err;
  EXPECT_NE(grid.out.find("testsrc2-1280x720-25fps-10s.h264               H.264  250 pictures shown"),
            std::string::npos) << grid.out;
  EXPECT_EQ(pngSize(out + "/grid.png"), std::make_pair(480 + 12, 270 + 12));
  for (const char* bad : {"0", "17", "x"}) {
    const DemoRun refused = runDemo(out, "", false, bad);
    EXPECT_EQ(refused.exitStatus, 2) << bad;
    EXPECT_EQ(refused.err, "usage: LiveDecodeDemo --grid <1..16> <outDir>\n") << bad;
  }
}


TEST(LiveDecodeDemoRun, SignalledAndTenBitStreamsAreShownAndNamed) {
  struct Case {
    const char* file;
    AVCodecID codec;
    AVPixelFormat format;
    AVColorRange range;
    const char* named;
  };
  const Case cases[] = {
      {"full709.h264", AV_CODEC_ID_H264, AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_JPEG,
       "yuvj420p, matrix bt709, full range"},
      {"tenbit.h265", AV_CODEC_ID_HEVC, AV_PIX_FMT_YUV420P10LE, AVCOL_RANGE_MPEG,
       "yuv420p10le, matrix bt709, limited range"},
  };
  for (const Case& c : cases) {
    const StreamSpec recipe = colourRecipe(c.codec, c.format, AVCOL_SPC_BT709, c.range, 352, 288, 12);
    const EncodedStream stream = encodeStream(recipe);
    const auto reference = referenceDecodeFrames(stream.bytes, c.codec);
    const std::string dir = makeTempDir(std::string("demo-") + c.file);
    ASSERT_TRUE(writeFile(dir + "/" + c.file, stream.bytes));

    DemoRun run = runDemo(dir + "/out", dir + "/" + c.file);
    ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(run.summary["pictures are"], c.named);
    EXPECT_GE(number(run, "pictures shown"), 1);
    // The last PNG is one of the decoded pictures in its true colours.
    const std::vector<uint8_t> shown = pngPixels(dir + "/out/last.png");
    double best = 0;
    for (const FrameHandle& frame : reference) best = std::max(best, rgbPsnr(shown, floatRgba(frame.get())));
    EXPECT_GE(best, 46) << c.file;
  }
}

}  // namespace
}  // namespace qn::testing
