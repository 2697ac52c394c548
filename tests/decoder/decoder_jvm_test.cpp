// The decoder's Java binding in a real JVM (-Xcheck:jni), called through the
// Java class exactly as the app calls it: handles, log lines in order, the
// picture geometry and layout checks, exception checks and pixel correctness.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include <libyuv/convert_argb.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "decoder/ffmpeg_decoder.h"

extern "C" {
#include <libavutil/pixdesc.h>
}
#include "tests/bridge/jvm_access.h"
#include "tests/support/jvm.h"
#include "tests/support/media.h"

namespace qn::testing {
namespace {

using Lines = std::vector<std::string>;

/// The process-wide detail switch of the loaded library.
bool detailSwitch() { return *loadedSymbol<bool*>("libqn_iot_lib.so", "isLogDetail"); }

/// Makes a 352x288 H.264 stream of `frames` pictures (or as the recipe says).
EncodedStream h264Stream(int frames, int bFrames = 0) {
  StreamSpec recipe;
  recipe.frames = frames;
  recipe.bFrames = bFrames;
  return encodeStream(recipe);
}

/// The detail lines of one successful conversion of a width x height picture.
Lines conversionLines(int linesize0, int linesize1, int width, int height) {
  const std::string sizes = std::to_string(width) + ", height => " + std::to_string(height);
  // The layout is checked before the bitmap is made, so its line comes first.
  return {"V:width => " + sizes,
          "V:convertYUVToBitmap 0 => " + std::to_string(linesize0) + ", 1 => " +
              std::to_string(linesize1) + ", 2 => " + std::to_string(linesize1) + " w => " +
              std::to_string(width) + " h => " + std::to_string(height),
          "V:convertYUVToBitmap AndroidBitmap_getInfo ret => 0 ",
          "V:convertYUVToBitmap AndroidBitmap_lockPixels ret => 0 ",
          "V:convertYUVToBitmap libyuv::I420ToABGR ret => 0 ",
          "V:convertYUVToBitmap AndroidBitmap_unlockPixels ret => 0 "};
}

/// The detail lines of a call's entry, core entry and one accepted packet.
Lines entryLines(int sequence, size_t length, int packets) {
  Lines lines = {"V:decode: Decoding data... sequence " + std::to_string(sequence),
                 "V:decode sequence => " + std::to_string(sequence) +
                     " length => " + std::to_string(length) + " "};
  for (int i = 0; i < packets; i++) {
    lines.push_back("V:avcodec_send_packet success sequence => " + std::to_string(sequence));
  }
  return lines;
}

Lines joined(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

/// The bitmap bytes of a picture's top-left width x height part, by I420ToABGR.
std::vector<uint8_t> croppedBitmapBytes(const Picture& picture, int width, int height) {
  std::vector<uint8_t> out(static_cast<size_t>(width) * height * 4);
  const int chromaStride = (picture.width + 1) / 2;
  libyuv::I420ToABGR(picture.y.data(), picture.width, picture.u.data(), chromaStride,
                     picture.v.data(), chromaStride, out.data(), width * 4, width, height);
  return out;
}

class DecoderBinding : public ::testing::Test {
 protected:
  void SetUp() override {
    installLineRecorder();
    throwOnJavaLine("");
    env = jniEnv();
  }
  void TearDown() override {
    throwOnJavaLine("");
    EXPECT_EQ(takeException(env), "");
  }
  /// Feeds one chunk through Java; the bitmap's local reference is the caller's.
  jobject decode(const JavaDecoder& decoder, const std::vector<uint8_t>& chunk, int sequence,
                 bool detail) {
    return javaDecode(decoder.handle(), chunk.data(), chunk.size(), sequence, detail);
  }
  /// Feeds the first `count` access units, one per call, detail off; forgets their lines.
  void feedUnits(const JavaDecoder& decoder, const EncodedStream& stream, size_t count) {
    for (size_t i = 0; i < count; i++) {
      LocalRef bitmap(env, decode(decoder, stream.accessUnits[i], int(i), false));
    }
    takeJavaLines();
  }
  JNIEnv* env = nullptr;
};

// ---- Lifecycle: create, destroy, handle 0 ----

TEST_F(DecoderBinding, CreateLogsAroundSetUpAndGivesAFullWidthHandle) {
  const jlong h264 = javaCreate(1);
  const jlong h265 = javaCreate(2);
  EXPECT_NE(h264, 0);
  EXPECT_NE(h265, 0);
  EXPECT_EQ(takeJavaLines(), (Lines{"D:create: Creating FFmpegDecoder instance...",
                                    "D:decoder type h264",
                                    "D:create: FFmpegDecoder instance created successfully",
                                    "D:create: Creating FFmpegDecoder instance...",
                                    "D:decoder type h265",
                                    "D:create: FFmpegDecoder instance created successfully"}));
  // The handle is the object's whole address: its fields read back as set up.
  auto* object = reinterpret_cast<FFmpegDecoder*>(static_cast<uintptr_t>(h264));
  EXPECT_TRUE(object->isReady());
  EXPECT_EQ(object->context()->codec_id, AV_CODEC_ID_H264);
  javaDestroy(h264);
  javaDestroy(h265);
  EXPECT_EQ(takeJavaLines(), (Lines{"D:destroy: Destroying FFmpegDecoder instance...",
                                    "D:destroy: FFmpegDecoder instance destroyed successfully",
                                    "D:destroy: Destroying FFmpegDecoder instance...",
                                    "D:destroy: FFmpegDecoder instance destroyed successfully"}));
}

TEST_F(DecoderBinding, DestroyOfHandleZeroDeletesNothingAndStillWritesBothLines) {
  javaDestroy(0);
  EXPECT_EQ(takeJavaLines(), (Lines{"D:destroy: Destroying FFmpegDecoder instance...",
                                    "D:destroy: FFmpegDecoder instance destroyed successfully"}));
}

TEST_F(DecoderBinding, HandleZeroGivesNullSilentlyAfterSettingTheDetailSwitch) {
  const std::vector<uint8_t> chunk(100, 0);
  EXPECT_EQ(javaDecode(0, chunk.data(), chunk.size(), 5, false), nullptr);
  EXPECT_EQ(takeJavaLines(), Lines{});
  EXPECT_FALSE(detailSwitch());
  EXPECT_EQ(javaDecode(0, chunk.data(), chunk.size(), 6, true), nullptr);
  EXPECT_TRUE(detailSwitch());
  EXPECT_EQ(takeJavaLines(), Lines{"V:decode: Decoding data... sequence 6"});
  javaDecode(0, chunk.data(), chunk.size(), 7, false);
}

TEST_F(DecoderBinding, ANullArrayGivesNullWithNothingPinned) {
  JavaDecoder decoder(1);
  takeJavaLines();
  EXPECT_EQ(javaDecode(decoder.handle(), nullptr, 3, true), nullptr);
  EXPECT_EQ(takeException(env), "");
  EXPECT_EQ(takeJavaLines(), Lines{"V:decode: Decoding data... sequence 3"});
}

TEST_F(DecoderBinding, AnEmptyArrayIsIllegal) {
  JavaDecoder decoder(0);
  takeJavaLines();
  EXPECT_EQ(decode(decoder, {}, 4, false), nullptr);
  EXPECT_EQ(takeJavaLines(), (Lines{"D:decode illegal", "D:decode fail stop convertToBitmap"}));
}

// ---- The detail switch ----

TEST_F(DecoderBinding, TheDetailSwitchOfEachCallHoldsUntilTheNextCall) {
  JavaDecoder decoder(1);
  takeJavaLines();
  const std::vector<uint8_t> partial = {0, 0, 0, 1, 0x09};
  { LocalRef bitmap(env, decode(decoder, partial, 1, true)); }
  EXPECT_TRUE(detailSwitch());
  const Lines first = takeJavaLines();
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first.front(), "V:decode: Decoding data... sequence 1");
  { LocalRef bitmap(env, decode(decoder, partial, 2, false)); }
  EXPECT_FALSE(detailSwitch());
  for (const std::string& line : takeJavaLines()) EXPECT_EQ(line.rfind("V:", 0), std::string::npos);
  { LocalRef bitmap(env, decode(decoder, partial, 3, true)); }
  EXPECT_EQ(takeJavaLines().front(), "V:decode: Decoding data... sequence 3");
  { LocalRef bitmap(env, decode(decoder, partial, 4, false)); }
}

// ---- Exact lines of whole calls ----

TEST_F(DecoderBinding, AFirstChunkCompletesNoPictureAndTheSizeIsStillUnknown) {
  const EncodedStream stream = h264Stream(3);
  JavaDecoder decoder(1);
  takeJavaLines();
  LocalRef bitmap(env, decode(decoder, stream.accessUnits[0], 0, true));
  EXPECT_FALSE(bitmap);
  const Lines expected = joined(entryLines(0, stream.accessUnits[0].size(), 0),
                                {"V:width => 0, height => 0", "D:width => 0, height => 0"});
  EXPECT_EQ(takeJavaLines(), expected);
}

TEST_F(DecoderBinding, ASuccessfulCallLogsEveryStepInOrder) {
  const EncodedStream stream = h264Stream(3);
  JavaDecoder decoder(1);
  feedUnits(decoder, stream, 1);
  LocalRef bitmap(env, decode(decoder, stream.accessUnits[1], 1, true));
  ASSERT_TRUE(bitmap);
  const AVFrame* frame = decoder.object()->currentFrame();
  const Lines expected = joined(entryLines(1, stream.accessUnits[1].size(), 1),
                                conversionLines(frame->linesize[0], frame->linesize[1], 352, 288));
  EXPECT_EQ(takeJavaLines(), expected);
}

TEST_F(DecoderBinding, AnH265StreamFedToAnH264DecoderIsRefusedWithTheFfmpegError) {
  StreamSpec recipe;
  recipe.codec = AV_CODEC_ID_HEVC;
  recipe.frames = 3;
  const EncodedStream stream = encodeStream(recipe);
  JavaDecoder decoder(1);
  takeJavaLines();
  LocalRef first(env, decode(decoder, stream.accessUnits[0], 0, false));
  EXPECT_FALSE(first);
  EXPECT_EQ(takeJavaLines(),
            (Lines{"D:avcodec_send_packet sequence => 0, error code -1094995529 Invalid data "
                   "found when processing input",
                   "D:decode fail stop convertToBitmap"}));
  for (size_t i = 1; i < stream.accessUnits.size(); i++) {
    LocalRef bitmap(env, decode(decoder, stream.accessUnits[i], int(i), false));
    EXPECT_FALSE(bitmap) << "chunk " << i;
  }
}

TEST_F(DecoderBinding, ARefusedPacketLogsTheFfmpegErrorTextAndResetsThePacket) {
  const EncodedStream stream = h264Stream(4);
  JavaDecoder decoder(1);
  feedUnits(decoder, stream, 2);
  // Drained: the decoder answers every further packet with end of file.
  AVCodecContext* context = decoder.object()->context();
  avcodec_send_packet(context, nullptr);
  while (avcodec_receive_frame(context, decoder.object()->currentFrame()) == 0) {
  }
  LocalRef refused(env, decode(decoder, stream.accessUnits[2], 2, true));
  EXPECT_FALSE(refused);
  EXPECT_EQ(takeJavaLines(),
            joined(entryLines(2, stream.accessUnits[2].size(), 0),
                   {"D:avcodec_send_packet sequence => 2, error code -541478725 End of file",
                    "D:decode fail stop convertToBitmap"}));
  EXPECT_EQ(decoder.object()->currentPacket().data, nullptr);  // reset after the failure
}

/// A decoder holding picture 0 of a 352x288 stream; each test bends its state,
/// then converts the held picture again with a chunk that completes nothing.
class HeldPicture : public DecoderBinding {
 protected:
  void SetUp() override {
    DecoderBinding::SetUp();
    stream = h264Stream(3);
    decoder = std::make_unique<JavaDecoder>(1);
    feedUnits(*decoder, stream, 2);
  }
  void TearDown() override {
    decoder.reset();
    DecoderBinding::TearDown();
  }
  /// Decodes a chunk that completes nothing, so the held frame is converted; returns its lines.
  Lines convertBent(jobject* out = nullptr) {
    jobject bitmap = decode(*decoder, {0}, 9, true);
    if (out != nullptr) {
      *out = bitmap;
    } else if (bitmap != nullptr) {
      env->DeleteLocalRef(bitmap);
    }
    return takeJavaLines();
  }
  AVFrame* frame() { return decoder->object()->currentFrame(); }
  /// Copies the held picture's planes into lines of the given sizes (luma, chroma).
  void padLines(int luma, int chroma) {
    AVFrame* f = frame();
    const int lineSizes[3] = {luma, chroma, chroma};
    const int rows[3] = {f->height, (f->height + 1) / 2, (f->height + 1) / 2};
    for (int plane = 0; plane < 3; plane++) {
      padded[plane].assign(static_cast<size_t>(lineSizes[plane]) * rows[plane], 0);
      for (int row = 0; row < rows[plane]; row++) {
        std::memcpy(&padded[plane][static_cast<size_t>(row) * lineSizes[plane]],
                    f->data[plane] + row * f->linesize[plane],
                    static_cast<size_t>(std::min(f->linesize[plane], lineSizes[plane])));
      }
      f->data[plane] = padded[plane].data();
      f->linesize[plane] = lineSizes[plane];
    }
  }
  void setContextSize(int width, int height) {
    decoder->object()->context()->width = width;
    decoder->object()->context()->height = height;
  }
  EncodedStream stream;
  std::unique_ptr<JavaDecoder> decoder;
  std::vector<uint8_t> padded[3];  // planes of padLines, alive while the frame points at them
};

// ---- Geometry: the picture's own size ----

TEST_F(HeldPicture, TheBitmapTakesThePicturesOwnSizeNotTheCodecContexts) {
  const auto reference = referenceDecode(stream.bytes, AV_CODEC_ID_H264);
  // A context smaller or larger than the picture (as after a size change that
  // pictures still held back have not reached) neither crops nor over-reads.
  for (auto [width, height] : {std::pair{200, 100}, {1280, 720}}) {
    setContextSize(width, height);
    jobject bitmap = nullptr;
    convertBent(&bitmap);
    LocalRef hold(env, bitmap);
    ASSERT_TRUE(hold);
    const BitmapBytes bytes = readBitmap(env, bitmap);
    EXPECT_EQ(bytes.width, 352);
    EXPECT_EQ(bytes.height, 288);
    EXPECT_TRUE(bytes.bytes == toBitmapBytes(reference[0])) << width;
  }
}

TEST_F(HeldPicture, OddSizesAreConvertedWithTheirChromaRoundedUp) {
  const auto reference = referenceDecode(stream.bytes, AV_CODEC_ID_H264);
  frame()->width = 351;
  frame()->height = 287;
  jobject bitmap = nullptr;
  convertBent(&bitmap);
  LocalRef hold(env, bitmap);
  ASSERT_TRUE(hold);
  const BitmapBytes bytes = readBitmap(env, bitmap);
  EXPECT_EQ(bytes.width, 351);
  EXPECT_TRUE(bytes.bytes == croppedBitmapBytes(reference[0], 351, 287));
  frame()->width = 352;
  frame()->height = 288;
}

TEST_F(HeldPicture, ANonPositiveWidthOrHeightIsLoggedOnBothChannels) {
  frame()->height = -4;
  EXPECT_EQ(convertBent(), joined(entryLines(9, 1, 0), {"V:width => 352, height => -4",
                                                        "D:width => 352, height => -4"}));
  frame()->height = 288;
}

// ---- Picture layout ----

TEST_F(HeldPicture, PaddedLinesOfA352WidePictureAreConverted) {
  // FFmpeg aligns lines to its SIMD width: 384/192 with x86's 64 bytes; ARM's
  // 16 bytes leave 352 unpadded, so there the lines are padded by hand.
  const int luma = frame()->linesize[0] > 352 ? frame()->linesize[0] : 384;
  const int chroma = frame()->linesize[1] > 176 ? frame()->linesize[1] : 192;
  if (frame()->linesize[0] == 352) padLines(luma, chroma);
  jobject bitmap = nullptr;
  const Lines lines = convertBent(&bitmap);
  LocalRef hold(env, bitmap);
  ASSERT_TRUE(hold);
  EXPECT_EQ(lines, joined(entryLines(9, 1, 0), conversionLines(luma, chroma, 352, 288)));
}

TEST_F(HeldPicture, TheFullRangeVariantIsConvertedToo) {
  frame()->format = AV_PIX_FMT_YUVJ420P;
  jobject bitmap = nullptr;
  convertBent(&bitmap);
  LocalRef hold(env, bitmap);
  EXPECT_TRUE(hold);
}

TEST_F(HeldPicture, AnotherPixelFormatIsRefusedBeforeABitmapAndNamedOncePerDecoder) {
  // Only the first of them is named, once for this decoder.
  const std::string layout =
      conversionLines(frame()->linesize[0], frame()->linesize[1], 352, 288)[1];
  Lines named = {"V:width => 352, height => 288", "D:unsupported pixel format nv12", layout,
                 "V:Invalid strides"};
  for (AVPixelFormat format : {AV_PIX_FMT_NV12, AV_PIX_FMT_RGB24, AV_PIX_FMT_YUV420P12LE}) {
    frame()->format = format;
    EXPECT_EQ(convertBent(), joined(entryLines(9, 1, 0), named)) << av_get_pix_fmt_name(format);
    named = {"V:width => 352, height => 288", layout, "V:Invalid strides"};
  }
  frame()->format = AV_PIX_FMT_YUV420P;
  JavaDecoder other(1);
  EXPECT_EQ(takeJavaLines(), (Lines{"D:create: Creating FFmpegDecoder instance...",
                                    "D:decoder type h264",
                                    "D:create: FFmpegDecoder instance created successfully"}));
  EXPECT_TRUE(decoder->object()->hasNamedUnsupportedFormat());
  EXPECT_FALSE(other.object()->hasNamedUnsupportedFormat());
}

TEST_F(HeldPicture, ThePlanesOfAFormatTheLinesDoNotFitAreRefused) {
  // 4:2:0 planes read as 4:4:4 or as 10-bit would be read past their lines.
  for (AVPixelFormat format : {AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUV420P10LE}) {
    frame()->format = format;
    EXPECT_EQ(convertBent().back(), "V:Invalid strides") << av_get_pix_fmt_name(format);
  }
  frame()->format = AV_PIX_FMT_YUV420P;
}

TEST_F(HeldPicture, ALineShorterThanItsPlaneIsRefused) {
  const int saved[3] = {frame()->linesize[0], frame()->linesize[1], frame()->linesize[2]};
  const int tooShort[3][3] = {{351, 192, 192}, {384, 175, 192}, {384, 192, 175}};
  for (const auto& sizes : tooShort) {
    for (int plane = 0; plane < 3; plane++) frame()->linesize[plane] = sizes[plane];
    EXPECT_EQ(convertBent().back(), "V:Invalid strides");
  }
  // Exactly the plane widths: tightly packed lines are fine.
  frame()->linesize[0] = 352;
  frame()->linesize[1] = frame()->linesize[2] = 176;
  jobject bitmap = nullptr;
  convertBent(&bitmap);
  LocalRef hold(env, bitmap);
  EXPECT_TRUE(hold);
  for (int plane = 0; plane < 3; plane++) frame()->linesize[plane] = saved[plane];
}

TEST_F(HeldPicture, AZeroOrNegativeLineSizeIsRefusedBeforeTheLayoutLine) {
  const int saved = frame()->linesize[2];
  for (int bad : {0, -192}) {
    frame()->linesize[2] = bad;
    EXPECT_EQ(convertBent(), joined(entryLines(9, 1, 0), {"V:width => 352, height => 288",
                                                          "V:Invalid strides"}));
  }
  frame()->linesize[2] = saved;
}

TEST_F(HeldPicture, AMissingPlaneGivesInvalidInputPointersBeforeAnyBitmapIsMade) {
  uint8_t* saved = frame()->data[2];
  frame()->data[2] = nullptr;
  const long madeBefore = bitmapsCreated(env);
  EXPECT_EQ(convertBent(), joined(entryLines(9, 1, 0), {"V:width => 352, height => 288",
                                                        "V:Invalid input pointers"}));
  EXPECT_EQ(bitmapsCreated(env), madeBefore);
  frame()->data[2] = saved;
}

TEST_F(HeldPicture, AFrameWithoutAPictureHasNoSize) {
  av_frame_unref(frame());
  EXPECT_EQ(convertBent(), joined(entryLines(9, 1, 0), {"V:width => 0, height => 0",
                                                        "D:width => 0, height => 0"}));
}

TEST_F(HeldPicture, LayoutFailuresAreSilentWithoutDetailButAnUnsupportedFormatIsNamedOnce) {
  const int saved = frame()->linesize[0];
  frame()->linesize[0] = 100;
  EXPECT_EQ(decode(*decoder, {0}, 9, false), nullptr);
  EXPECT_EQ(takeJavaLines(), Lines{});
  frame()->linesize[0] = saved;
  frame()->format = AV_PIX_FMT_NV12;
  EXPECT_EQ(decode(*decoder, {0}, 9, false), nullptr);
  EXPECT_EQ(decode(*decoder, {0}, 10, false), nullptr);
  EXPECT_EQ(takeJavaLines(), Lines{"D:unsupported pixel format nv12"});
  frame()->format = AV_PIX_FMT_YUV420P;
}

// ---- The EAGAIN path: a stream with reordering delay ----

TEST_F(DecoderBinding, HeldBackPicturesGiveNullWithTheFailLinesAndNoBitmapButNoPacketIsLost) {
  const EncodedStream stream = h264Stream(12, 2);
  const auto reference = referenceDecode(stream.bytes, AV_CODEC_ID_H264);
  JavaDecoder decoder(1);
  takeJavaLines();
  std::vector<int> nullCalls;
  std::vector<BitmapBytes> bitmaps;
  for (size_t i = 0; i < stream.accessUnits.size(); i++) {
    const long madeBefore = bitmapsCreated(env);
    LocalRef bitmap(env, decode(decoder, stream.accessUnits[i], int(i), false));
    const Lines lines = takeJavaLines();
    if (bitmap) {
      bitmaps.push_back(readBitmap(env, bitmap.get()));
      EXPECT_EQ(lines, Lines{}) << "call " << i;
      continue;
    }
    nullCalls.push_back(int(i));
    EXPECT_EQ(bitmapsCreated(env), madeBefore) << "call " << i;
    if (i == 0) continue;  // completes no packet: the size is still unknown
    const std::string sequence = std::to_string(i);
    EXPECT_EQ(lines, (Lines{"D:decode fail，sequence => " + sequence +
                                ", ret => -11, info => Resource temporarily unavailable",
                            "D:decode fail stop convertToBitmap"}));
  }
  // Null only at the start: no packet yet, then the decoder's delay.
  ASSERT_GE(nullCalls.size(), 2u);
  for (size_t i = 0; i < nullCalls.size(); i++) EXPECT_EQ(nullCalls[i], int(i));
  ASSERT_EQ(bitmaps.size(), stream.accessUnits.size() - nullCalls.size());
  for (size_t i = 0; i < bitmaps.size(); i++) {
    EXPECT_TRUE(bitmaps[i].bytes == toBitmapBytes(reference[i])) << "picture " << i;
  }
}

// ---- JNI exception checks: a Java log method that throws ----

TEST_F(DecoderBinding, AThrowFromTheEntryLineIsReportedAsReinterpretCast) {
  JavaDecoder decoder(1);
  takeJavaLines();
  throwOnJavaLine("decode: Decoding data");
  CapturedOutput output;
  EXPECT_EQ(decode(decoder, {0, 0, 0, 1}, 1, true), nullptr);
  const std::string described = output.text();
  EXPECT_EQ(takeException(env), "");  // described and cleared
  EXPECT_NE(described.find("IllegalStateException: log sink refused"), std::string::npos);
  EXPECT_EQ(takeJavaLines(), (Lines{"V:decode: Decoding data... sequence 1",
                                    "D:JNI Exception in reinterpret_cast"}));
}

TEST_F(DecoderBinding, AThrowInsideTheCoreIsReportedAsDecode) {
  JavaDecoder decoder(1);
  takeJavaLines();
  throwOnJavaLine("decode illegal");
  CapturedOutput output;
  EXPECT_EQ(decode(decoder, {}, 2, false), nullptr);
  output.text();
  EXPECT_EQ(takeException(env), "");
  EXPECT_EQ(takeJavaLines(), (Lines{"D:decode illegal", "D:JNI Exception in decode"}));
}

TEST_F(HeldPicture, AThrowAtAnyLogLineIsReportedAtTheNextStepAndNeverLeavesDecode) {
  // Each line of a successful call, and the step whose check reports its throw:
  // the check comes before the next JNI call that would be made over it.
  const std::pair<const char*, const char*> cases[] = {
      {"decode: Decoding data", "reinterpret_cast"},
      {"decode sequence =>", "decode"},
      {"width => ", "FindClass"},
      {"convertYUVToBitmap 0 =>", "FindClass"},
      {"AndroidBitmap_getInfo ret", "AndroidBitmap_lockPixels"},
      {"AndroidBitmap_lockPixels ret", "AndroidBitmap_unlockPixels"},
      {"libyuv::I420ToABGR ret", "AndroidBitmap_unlockPixels"},
      {"AndroidBitmap_unlockPixels ret", "ReleaseByteArrayElements"}};
  for (const auto& [line, step] : cases) {
    throwOnJavaLine(line);
    CapturedOutput output;
    EXPECT_EQ(decode(*decoder, {0}, 3, true), nullptr) << line;
    const std::string vmOutput = output.text();
    EXPECT_EQ(vmOutput.find("exception pending"), std::string::npos) << line;
    EXPECT_NE(vmOutput.find("IllegalStateException: log sink refused"), std::string::npos) << line;
    EXPECT_EQ(takeException(env), "") << line;
    EXPECT_EQ(takeJavaLines().back(), std::string("D:JNI Exception in ") + step) << line;
    // The bitmap of that call was unlocked and let go: the next call converts.
    throwOnJavaLine("");
    LocalRef again(env, decode(*decoder, {0}, 4, true));
    EXPECT_TRUE(again) << line;
    takeJavaLines();
  }
}

TEST_F(DecoderBinding, AThrowAtAFailureLineIsReportedByTheLastCheck) {
  const EncodedStream stream = h264Stream(3);
  std::vector<uint8_t> twoPictures = stream.accessUnits[1];
  twoPictures.insert(twoPictures.end(), stream.accessUnits[2].begin(), stream.accessUnits[2].end());
  // The first unit alone completes nothing ("width => 0"); two units of a
  // stream joined after its key frame complete a refused packet ("decode fail stop").
  const std::pair<const char*, std::vector<uint8_t>> cases[] = {
      {"width => 0", stream.accessUnits[0]}, {"decode fail stop convertToBitmap", twoPictures}};
  for (const auto& [line, chunk] : cases) {
    JavaDecoder decoder(1);
    takeJavaLines();
    throwOnJavaLine(line);
    CapturedOutput output;
    EXPECT_EQ(decode(decoder, chunk, 1, false), nullptr);
    output.text();
    EXPECT_EQ(takeException(env), "") << line;
    const Lines lines = takeJavaLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[lines.size() - 2].find(line), std::string::npos);
    EXPECT_EQ(lines.back(), "D:JNI Exception in ReleaseByteArrayElements") << line;
  }
}

TEST_F(DecoderBinding, AThrowWhileReportingAnExceptionIsClearedToo) {
  JavaDecoder decoder(1);
  takeJavaLines();
  // Every line throws, the reports included: still nothing leaves decode.
  throwOnJavaLine(" ");
  CapturedOutput output;
  EXPECT_EQ(decode(decoder, {}, 2, false), nullptr);
  output.text();
  EXPECT_EQ(takeException(env), "");
  EXPECT_EQ(takeJavaLines(), (Lines{"D:decode illegal", "D:JNI Exception in decode"}));
  throwOnJavaLine("");
}

// ---- Pixel correctness ----

TEST_F(DecoderBinding, EveryBitmapHoldsI420ToAbgrOfTheIndependentDecode) {
  setWholeAccessUnits(env, 0, true);  // handle 0 is ignored
  EXPECT_EQ(takeJavaLines(), Lines{});
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    StreamSpec recipe;
    recipe.codec = codec;
    recipe.width = 320;
    recipe.height = 240;
    recipe.frames = 8;
    const EncodedStream stream = encodeStream(recipe);
    const auto reference = referenceDecode(stream.bytes, codec);
    ASSERT_EQ(reference.size(), 8u);
    for (bool whole : {false, true}) {
      JavaDecoder decoder(codec == AV_CODEC_ID_H264 ? 1 : 0);
      setWholeAccessUnits(env, decoder.handle(), whole);
      std::vector<BitmapBytes> bitmaps;
      for (size_t i = 0; i < stream.accessUnits.size(); i++) {
        LocalRef bitmap(env, decode(decoder, stream.accessUnits[i], int(i), false));
        if (bitmap) bitmaps.push_back(readBitmap(env, bitmap.get()));
        // Whole access units: each picture in the call that brings its unit.
        if (whole) {
          EXPECT_EQ(bitmaps.size(), i + 1);
        }
      }
      // The parser's framing still holds the last access unit when the stream stops.
      ASSERT_EQ(bitmaps.size(), reference.size() - (whole ? 0 : 1));
      for (size_t i = 0; i < bitmaps.size(); i++) {
        EXPECT_EQ(bitmaps[i].width, 320);
        EXPECT_EQ(bitmaps[i].height, 240);
        EXPECT_EQ(bitmaps[i].config, "ARGB_8888");
        EXPECT_TRUE(bitmaps[i].bytes == toBitmapBytes(reference[i])) << "picture " << i;
      }
    }
  }
}

/// The colour int 0xAARRGGBB that Android reads from the R, G, B, A bytes at (x, y).
int32_t colourAt(const std::vector<uint8_t>& rgba, int width, int x, int y) {
  const uint8_t* p = &rgba[(static_cast<size_t>(y) * width + x) * 4];
  return static_cast<int32_t>((uint32_t{p[3]} << 24) | (uint32_t{p[0]} << 16) |
                              (uint32_t{p[1]} << 8) | p[2]);
}

TEST_F(DecoderBinding, ASolidRedPictureGivesRedColourInts) {
  StreamSpec recipe;
  recipe.frames = 3;
  recipe.solidY = 81;
  recipe.solidU = 90;
  recipe.solidV = 240;
  const EncodedStream stream = encodeStream(recipe);
  const auto reference = referenceDecode(stream.bytes, AV_CODEC_ID_H264);
  const std::vector<uint8_t> expected = toBitmapBytes(reference[0]);
  JavaDecoder decoder(1);
  feedUnits(decoder, stream, 1);
  LocalRef bitmap(env, decode(decoder, stream.accessUnits[1], 1, false));
  ASSERT_TRUE(bitmap);
  for (auto [x, y] : {std::pair{0, 0}, {351, 0}, {0, 287}, {351, 287}, {176, 144}}) {
    const int32_t pixel = bitmapPixel(env, bitmap.get(), x, y);
    EXPECT_EQ(pixel, colourAt(expected, 352, x, y)) << x << "," << y;
    const auto near = [&](int shift, int value) {
      return std::abs(static_cast<int>((static_cast<uint32_t>(pixel) >> shift) & 0xFF) - value) <= 4;
    };
    EXPECT_TRUE(near(24, 0xFF) && near(16, 0xFF) && near(8, 0) && near(0, 0))
        << std::hex << pixel << " is not close to 0xFFFF0000";
  }
}

}  // namespace
}  // namespace qn::testing
