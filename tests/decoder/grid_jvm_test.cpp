// The grid settings of FFmpegDecoder in a real JVM (-Xcheck:jni): bitmaps at an
// output size against an independent area-scaled conversion, key frames only
// against a full decode, and threads against the one-thread pictures.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/bridge/jvm_access.h"
#include "tests/support/colour_reference.h"
#include "tests/support/jvm.h"
#include "tests/support/media.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace qn::testing {
namespace {

using Lines = std::vector<std::string>;

/// The create() type of a codec.
int typeOf(AVCodecID codec) { return codec == AV_CODEC_ID_H264 ? 1 : 0; }

/// A moving-pattern stream of `frames` width x height pictures, a key frame every `group`.
EncodedStream patternStream(AVCodecID codec, int width, int height, int frames, int group,
                            const std::string& params = "") {
  StreamSpec recipe = colourRecipe(codec, AV_PIX_FMT_YUV420P, AVCOL_SPC_UNSPECIFIED,
                                   AVCOL_RANGE_UNSPECIFIED, width, height, frames);
  recipe.gopSize = group;
  recipe.encoderParams = params;
  return encodeStream(recipe);
}

class GridSettings : public RecordedJvmTest {
 protected:
  /// decode() through Java of access unit `unit` (also the call's sequence number).
  jobject decode(const JavaDecoder& decoder, const EncodedStream& stream, int unit) {
    const auto& bytes = stream.accessUnits[unit];
    return javaDecode(decoder.handle(), bytes.data(), bytes.size(), unit, false);
  }
  /// Whether the bitmap holds exactly the picture's converted bytes.
  bool shows(jobject bitmap, const Picture& picture) {
    return readBitmap(env, bitmap).bytes == toBitmapBytes(picture);
  }
};

TEST_F(GridSettings, TilesAreAreaScaledConversionsInReusedBitmapsAndBadSizesChangeNothing) {
  struct Case {
    AVCodecID codec;
    AVPixelFormat format;
    AVColorSpace matrix;
    AVColorRange range;
    int width, height, tileWidth, tileHeight;
    double minPsnr;
  };
  const Case cases[] = {
      {AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P, AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, 640, 360, 160, 90, 40},
      {AV_CODEC_ID_HEVC, AV_PIX_FMT_YUV420P, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, 640, 360, 320, 180, 40},
      {AV_CODEC_ID_HEVC, AV_PIX_FMT_YUV420P10LE, AVCOL_SPC_BT2020_NCL, AVCOL_RANGE_MPEG, 480, 272, 240, 136, 40},
      {AV_CODEC_ID_H264, AV_PIX_FMT_YUV422P, AVCOL_SPC_BT709, AVCOL_RANGE_JPEG, 640, 360, 160, 90, 40},
      // (libswscale, the reference, leaves the last columns of some widths unwritten:
      // widths here are multiples of 8.)
      {AV_CODEC_ID_HEVC, AV_PIX_FMT_GRAY8, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, 328, 184, 164, 92, 40},
      {AV_CODEC_ID_H264, AV_PIX_FMT_YUVJ420P, AVCOL_SPC_BT709, AVCOL_RANGE_JPEG, 336, 190, 168, 95, 40},
      // A ratio of 1 / 2.67 (a 720p camera in a 480x270 tile): libyuv's box filter
      // averages whole source samples per box, so sharp edges land up to half a
      // source sample off the exact area.
      {AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, 1280, 720, 480, 270, 33},
  };
  for (const Case& c : cases) {
    const std::string name = std::string(avcodec_get_name(c.codec)) + " " + av_get_pix_fmt_name(c.format);
    StreamSpec recipe = colourRecipe(c.codec, c.format, c.matrix, c.range, c.width, c.height, 6);
    recipe.content = Content::kCameraScene;
    const EncodedStream stream = encodeStream(recipe);
    const auto reference = referenceDecodeFrames(stream.bytes, c.codec);
    ASSERT_EQ(reference.size(), 6u) << name;
    JavaDecoder decoder(typeOf(c.codec));
    setWholeAccessUnits(env, decoder.handle(), true);
    setOutputSize(env, decoder.handle(), c.tileWidth, c.tileHeight);
    takeJavaLines();
    LocalRef first(env, newJavaBitmap(env, c.tileWidth, c.tileHeight));
    LocalRef second(env, newJavaBitmap(env, c.tileWidth, c.tileHeight));
    jobject shown = first.get(), spare = second.get();
    const long made = bitmapsCreated(env);
    for (size_t i = 0; i < stream.accessUnits.size(); i++) {
      const auto& unit = stream.accessUnits[i];
      LocalRef bitmap(env, javaDecodeInto(decoder.handle(), unit.data(), unit.size(), int(i), false, spare));
      ASSERT_TRUE(bitmap) << name << " call " << i;
      EXPECT_TRUE(env->IsSameObject(bitmap.get(), spare)) << name << " call " << i;
      const double psnr = rgbPsnr(readBitmap(env, bitmap.get()).bytes,
                                  areaScaledRgba(floatRgba(reference[i].get()), c.width, c.height,
                                                 c.tileWidth, c.tileHeight));
      std::printf("%s %dx%d -> %dx%d picture %zu: %.2f dB\n", name.c_str(), c.width, c.height,
                  c.tileWidth, c.tileHeight, i, psnr);
      EXPECT_GE(psnr, c.minPsnr) << name << " picture " << i;
      std::swap(shown, spare);
    }
    EXPECT_EQ(bitmapsCreated(env), made) << name;
    EXPECT_EQ(takeJavaLines(), Lines{}) << name;
  }

  // Bad sizes: one line each, and the tiles keep their size.
  const EncodedStream stream = patternStream(AV_CODEC_ID_H264, 320, 240, 5, 12);
  JavaDecoder decoder(1);
  setWholeAccessUnits(env, decoder.handle(), true);
  setOutputSize(env, decoder.handle(), 80, 60);
  takeJavaLines();
  const struct {
    int width, height;
  } bad[] = {{-1, 60}, {80, -60}, {0, 60}, {80, 0}, {4097, 4096}, {INT_MAX, INT_MAX}, {INT_MIN, 0}};
  for (size_t i = 0; i < std::size(bad); i++) {
    setOutputSize(env, decoder.handle(), bad[i].width, bad[i].height);
    const Lines lines = takeJavaLines();
    ASSERT_EQ(lines.size(), 1u) << bad[i].width << "x" << bad[i].height;
    EXPECT_EQ(lines[0].rfind("D:output size " + std::to_string(bad[i].width) + "x" +
                                 std::to_string(bad[i].height) + " refused", 0), 0u) << lines[0];
    if (i >= 4) continue;  // the fifth picture is for the own size below
    LocalRef bitmap(env, decode(decoder, stream, int(i)));
    ASSERT_TRUE(bitmap);
    const BitmapBytes tile = readBitmap(env, bitmap.get());
    EXPECT_EQ(tile.width, 80);
    EXPECT_EQ(tile.height, 60);
  }
  // 0, 0 gives the picture's own size back, converted as without a tile.
  setOutputSize(env, decoder.handle(), 0, 0);
  LocalRef whole(env, decode(decoder, stream, 4));
  ASSERT_TRUE(whole);
  EXPECT_TRUE(shows(whole.get(), referenceDecode(stream.bytes, AV_CODEC_ID_H264)[4]));
  EXPECT_EQ(takeJavaLines(), Lines{});
}

TEST_F(GridSettings, KeyFramesOnlyShowsKeyPicturesAndResumesWithoutADamagedPicture) {
  struct Case {
    AVCodecID codec;
    bool whole;   // one whole access unit per call, else the parser's framing (one call later)
    int onAt;     // the call before which key frames only is turned on
    int offAt;    // ... and off again
  };
  const Case cases[] = {
      {AV_CODEC_ID_H264, true, 0, 8},    // off mid-group: resumes at the key frame of 10
      {AV_CODEC_ID_HEVC, true, 0, 8},
      {AV_CODEC_ID_H264, true, 3, 10},   // off right at a key frame: live at once
      {AV_CODEC_ID_HEVC, true, 6, 7},    // on and off within one group
      {AV_CODEC_ID_H264, false, 2, 13},
      {AV_CODEC_ID_HEVC, false, 2, 13},
  };
  constexpr int kGroup = 5;
  for (const Case& c : cases) {
    const std::string name = std::string(avcodec_get_name(c.codec)) + (c.whole ? " whole" : " parsed") +
                             " on " + std::to_string(c.onAt) + " off " + std::to_string(c.offAt);
    const EncodedStream stream = patternStream(c.codec, 320, 240, 20, kGroup);
    const std::vector<Picture> reference = referenceDecode(stream.bytes, c.codec);
    ASSERT_EQ(reference.size(), 20u);
    JavaDecoder decoder(typeOf(c.codec));
    setWholeAccessUnits(env, decoder.handle(), c.whole);
    takeJavaLines();
    const int delay = c.whole ? 0 : 1;
    std::vector<int> shown;  // the index of each picture shown, in order
    for (int call = 0; call < int(stream.accessUnits.size()); call++) {
      if (call == c.onAt) setKeyFramesOnly(env, decoder.handle(), true);
      if (call == c.offAt) setKeyFramesOnly(env, decoder.handle(), false);
      LocalRef bitmap(env, decode(decoder, stream, call));
      const Lines lines = takeJavaLines();
      const int index = call - delay;
      // No line for a dropped unit (the parser's first call completes nothing).
      EXPECT_EQ(bitmap || index < 0 ? Lines{} : lines, Lines{}) << name << " call " << call;
      if (!bitmap) continue;
      ASSERT_GE(index, 0) << name;
      EXPECT_TRUE(shows(bitmap.get(), reference[index])) << name << " picture " << index;
      shown.push_back(index);
    }
    // While on: key pictures only; after off, every picture from the next key frame on.
    // Each unit is decided under the setting of its own call.
    const int resumeAt = ((c.offAt - delay + kGroup - 1) / kGroup) * kGroup;
    std::vector<int> wanted;
    for (int index = 0; index < int(stream.accessUnits.size()) - delay; index++) {
      const int decidedAt = index + delay;
      const bool dropped = decidedAt >= c.onAt && (decidedAt < c.offAt || index < resumeAt);
      if (index % kGroup == 0 || !dropped) wanted.push_back(index);
    }
    EXPECT_EQ(shown, wanted) << name;
  }
}

TEST_F(GridSettings, ThreadsGiveTheOneThreadPicturesWithTheDelayTheySayAndADrainGivesUpTheHeldOnes) {
  struct Case {
    AVCodecID codec;
    std::string params;
    int threads;
    bool frameThreads;
    int delay;     // calls between a whole access unit and its picture, once threads are on
    int group;     // pictures from one key frame to the next
    int setAt;     // the call before which the threads are set
    int resumeAt;  // the unit the stream is taken up at again after a drain
  };
  const Case cases[] = {
      {AV_CODEC_ID_H264, "slices=4", 2, false, 0, 12, 0, 0},
      {AV_CODEC_ID_HEVC, "wpp=1", 2, false, 0, 12, 0, 0},
      {AV_CODEC_ID_H264, "", 1, true, 0, 12, 0, 0},  // one thread: nothing to spread
      {AV_CODEC_ID_H264, "", 2, true, 1, 12, 0, 0},
      {AV_CODEC_ID_HEVC, "", 3, true, 2, 12, 0, 0},
      // Set mid-stream, frame threads start at the next key frame (5): pictures 0-4
      // at once, then one call late. Resumed mid-group after the drain: units 7-9 go
      // without a picture or a line, the key frame (10) starts again one call late.
      {AV_CODEC_ID_H264, "", 2, true, 1, 5, 3, 7},
  };
  const auto nextKey = [](int unit, int group) { return (unit + group - 1) / group * group; };
  for (const Case& c : cases) {
    const std::string name = std::string(avcodec_get_name(c.codec)) + " " + c.params + " threads " +
                             std::to_string(c.threads) + (c.frameThreads ? " frame" : " slice") +
                             " set at " + std::to_string(c.setAt);
    const EncodedStream stream = patternStream(c.codec, 640, 360, 12, c.group, c.params);
    const std::vector<Picture> reference = referenceDecode(stream.bytes, c.codec);
    ASSERT_EQ(reference.size(), 12u);
    JavaDecoder decoder(typeOf(c.codec));
    setWholeAccessUnits(env, decoder.handle(), true);
    // Twice: after a drain the decoder takes the stream up again at its next key frame.
    for (int round = 0; round < 2; round++) {
      const int from = round == 0 ? 0 : c.resumeAt;
      const int keyAt = nextKey(from, c.group);  // units before it give nothing, and no line
      const int threadedAt = round == 0 ? nextKey(c.setAt, c.group) : 0;  // delayed from here
      takeJavaLines();
      std::vector<int> shownAt, wantedAt;
      for (int call = from; call < 12; call++) {
        if (round == 0 && call == c.setAt) {
          setFrameThreads(env, decoder.handle(), c.frameThreads);
          setThreads(env, decoder.handle(), c.threads);
        }
        LocalRef bitmap(env, decode(decoder, stream, call));
        const Lines lines = takeJavaLines();
        EXPECT_EQ(call < keyAt ? lines : Lines{}, Lines{}) << name << " unit " << call;
        const int index = call < threadedAt ? call : call - c.delay;
        if (index >= keyAt && (call < threadedAt || index >= threadedAt)) wantedAt.push_back(call);
        if (!bitmap) continue;
        EXPECT_TRUE(shows(bitmap.get(), reference[index])) << name << " call " << call;
        shownAt.push_back(call);
      }
      EXPECT_EQ(shownAt, wantedAt) << name << " round " << round;
      // The pause: the pictures held back come out, the newest last.
      LocalRef held(env, javaDrain(decoder.handle(), nullptr));
      EXPECT_EQ(bool(held), c.delay > 0) << name;
      EXPECT_TRUE(!held || shows(held.get(), reference[11])) << name;
      EXPECT_EQ(takeJavaLines(), Lines{}) << name;
    }
  }
  JavaDecoder chunks(1);
  takeJavaLines();
  for (int count : {0, -1, 17}) {
    setThreads(env, chunks.handle(), count);
    EXPECT_EQ(takeJavaLines(), Lines{"D:threads " + std::to_string(count) + " refused: 1 to 16"});
  }
  // Chunks as they come: the parser holds each unit until the next one starts. A
  // drain gives that unit's picture, and the stream goes on without a key frame.
  const EncodedStream stream = patternStream(AV_CODEC_ID_H264, 352, 288, 12, 5);
  const std::vector<Picture> reference = referenceDecode(stream.bytes, AV_CODEC_ID_H264);
  for (int unit = 0; unit < 12; unit++) {
    if (unit == 8) {
      LocalRef drained(env, javaDrain(chunks.handle(), nullptr));
      ASSERT_TRUE(drained);
      EXPECT_TRUE(shows(drained.get(), reference[7]));
    }
    LocalRef bitmap(env, decode(chunks, stream, unit));
    if (unit == 0) continue;
    ASSERT_TRUE(bitmap) << "unit " << unit;
    EXPECT_TRUE(shows(bitmap.get(), reference[unit - 1])) << "unit " << unit;
  }
  takeJavaLines();
}

}  // namespace
}  // namespace qn::testing
