// True colours through FFmpegDecoder.decode in a real JVM: streams of each
// kind a camera sends give bitmaps matching a double-precision conversion of an
// independent decode, flat colours give their colour ints, and a pixel format
// that cannot be converted gives null with one line per decoder.
#include <gtest/gtest.h>

#include <libyuv/convert_argb.h>

#include <cstdio>
#include <memory>
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

/// A decoder for the codec, made through Java; its create lines are dropped.
std::unique_ptr<JavaDecoder> decoderFor(AVCodecID codec) {
  auto decoder = std::make_unique<JavaDecoder>(codec == AV_CODEC_ID_H264 ? 1 : 2);
  takeJavaLines();
  return decoder;
}

/// Feeds every access unit, one per call; the bitmaps that came back, in order.
std::vector<BitmapBytes> decodeAll(JNIEnv* env, const JavaDecoder& decoder,
                                   const EncodedStream& stream, bool detail = false) {
  std::vector<BitmapBytes> bitmaps;
  for (size_t i = 0; i < stream.accessUnits.size(); i++) {
    const auto& unit = stream.accessUnits[i];
    LocalRef bitmap(env, javaDecode(decoder.handle(), unit.data(), unit.size(), int(i), detail));
    if (bitmap) bitmaps.push_back(readBitmap(env, bitmap.get()));
  }
  return bitmaps;
}

using ColourBinding = RecordedJvmTest;

/// A 160x96 moving-pattern stream of four pictures.
StreamSpec recipeOf(AVCodecID codec, AVPixelFormat format, AVColorSpace matrix, AVColorRange range) {
  return colourRecipe(codec, format, matrix, range, 160, 96, 4);
}

TEST_F(ColourBinding, SignalledStreamsOfEveryKindGiveTheFloatReferencesColours) {
  struct Case {
    AVCodecID codec;
    AVPixelFormat format;
    AVColorSpace matrix;
    AVColorRange range;
  };
  // Every signalled case: the conversion's own bound (picture_conversion_test).
  constexpr double kMinPsnr = 46;
  const Case cases[] = {
      {AV_CODEC_ID_H264, AV_PIX_FMT_YUVJ420P, AVCOL_SPC_BT709, AVCOL_RANGE_JPEG},
      {AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG},
      {AV_CODEC_ID_H264, AV_PIX_FMT_YUV444P, AVCOL_SPC_SMPTE170M, AVCOL_RANGE_JPEG},
      {AV_CODEC_ID_H264, AV_PIX_FMT_YUV422P10LE, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG},
      {AV_CODEC_ID_HEVC, AV_PIX_FMT_YUV420P10LE, AVCOL_SPC_BT2020_NCL, AVCOL_RANGE_MPEG},
      {AV_CODEC_ID_HEVC, AV_PIX_FMT_YUVJ422P, AVCOL_SPC_BT709, AVCOL_RANGE_JPEG},
      {AV_CODEC_ID_HEVC, AV_PIX_FMT_YUV444P10LE, AVCOL_SPC_BT709, AVCOL_RANGE_JPEG},
      {AV_CODEC_ID_HEVC, AV_PIX_FMT_GRAY8, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG},
  };
  for (const Case& c : cases) {
    const std::string name = std::string(av_get_pix_fmt_name(c.format)) + " " +
                             av_color_space_name(c.matrix) + " " + av_color_range_name(c.range);
    const StreamSpec recipe = recipeOf(c.codec, c.format, c.matrix, c.range);
    const EncodedStream stream = encodeStream(recipe);
    const auto reference = referenceDecodeFrames(stream.bytes, c.codec);
    ASSERT_EQ(reference.size(), 4u) << name;
    const auto decoder = decoderFor(c.codec);
    const std::vector<BitmapBytes> bitmaps = decodeAll(env, *decoder, stream);
    // The parser still holds the last access unit when the stream stops.
    ASSERT_EQ(bitmaps.size(), 3u) << name;
    for (size_t i = 0; i < bitmaps.size(); i++) {
      EXPECT_EQ(bitmaps[i].width, 160);
      EXPECT_EQ(bitmaps[i].height, 96);
      const double psnr = rgbPsnr(bitmaps[i].bytes, floatRgba(reference[i].get()));
      std::printf("%s %s picture %zu: %.2f dB\n", c.codec == AV_CODEC_ID_H264 ? "h264" : "h265",
                  name.c_str(), i, psnr);
      EXPECT_GE(psnr, kMinPsnr) << name << " picture " << i;
    }
    // Only the first call, before the stream's size is known, says anything.
    EXPECT_EQ(takeJavaLines(), Lines{"D:width => 0, height => 0"}) << name;
  }
}

TEST_F(ColourBinding, AFullRangeBt709StreamIsLibyuvsF709ConversionExactly) {
  const StreamSpec recipe =
      recipeOf(AV_CODEC_ID_H264, AV_PIX_FMT_YUVJ420P, AVCOL_SPC_BT709, AVCOL_RANGE_JPEG);
  const EncodedStream stream = encodeStream(recipe);
  const auto reference = referenceDecodeFrames(stream.bytes, recipe.codec);
  const auto decoder = decoderFor(recipe.codec);
  const std::vector<BitmapBytes> bitmaps = decodeAll(env, *decoder, stream);
  ASSERT_EQ(bitmaps.size(), 3u);
  for (size_t i = 0; i < bitmaps.size(); i++) {
    const AVFrame* f = reference[i].get();
    std::vector<uint8_t> expected(160 * 96 * 4);
    libyuv::I420ToARGBMatrix(f->data[0], f->linesize[0], f->data[2], f->linesize[2], f->data[1],
                             f->linesize[1], expected.data(), 160 * 4, &libyuv::kYvuF709Constants,
                             160, 96);
    EXPECT_TRUE(bitmaps[i].bytes == expected) << "picture " << i;
  }
}

/// Channel c (16 red, 8 green, 0 blue) of a colour int.
int channel(int32_t colour, int shift) { return (static_cast<uint32_t>(colour) >> shift) & 0xFF; }

TEST_F(ColourBinding, FullRangeBlackWhiteAndGreyGiveTheirColourInts) {
  // Full-range codes stand for themselves: 75 % grey is 191, not stretched to 204.
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    for (int grey : {0, 191, 255}) {
      StreamSpec recipe =
          recipeOf(codec, AV_PIX_FMT_YUVJ420P, AVCOL_SPC_BT709, AVCOL_RANGE_JPEG);
      recipe.frames = 2;
      recipe.solidY = grey;
      const EncodedStream stream = encodeStream(recipe);
      const auto decoder = decoderFor(codec);
      LocalRef first(env, javaDecode(decoder->handle(), stream.accessUnits[0].data(),
                                     stream.accessUnits[0].size(), 0, false));
      LocalRef bitmap(env, javaDecode(decoder->handle(), stream.accessUnits[1].data(),
                                      stream.accessUnits[1].size(), 1, false));
      ASSERT_TRUE(bitmap);
      for (auto [x, y] : {std::pair{0, 0}, {159, 95}, {80, 48}}) {
        const int32_t colour = bitmapPixel(env, bitmap.get(), x, y);
        EXPECT_EQ(channel(colour, 24), 0xFF);
        for (int shift : {16, 8, 0}) {
          EXPECT_NEAR(channel(colour, shift), grey, 2) << std::hex << colour << " for " << std::dec << grey;
        }
      }
    }
  }
}

TEST_F(ColourBinding, AnUnsupportedFormatGivesNullAndOneLinePerDecoder) {
  StreamSpec recipe =
      recipeOf(AV_CODEC_ID_HEVC, AV_PIX_FMT_YUV420P12LE, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG);
  const EncodedStream stream = encodeStream(recipe);
  for (int run = 0; run < 2; run++) {
    const auto decoder = decoderFor(AV_CODEC_ID_HEVC);
    EXPECT_TRUE(decodeAll(env, *decoder, stream).empty());
    EXPECT_EQ(takeJavaLines(), (Lines{"D:width => 0, height => 0",
                                      "D:unsupported pixel format yuv420p12le"}))
        << "decoder " << run;
    // With detail on, every call still says why it gave nothing.
    const auto& unit = stream.accessUnits[1];
    EXPECT_EQ(javaDecode(decoder->handle(), unit.data(), unit.size(), 7, true), nullptr);
    const Lines lines = takeJavaLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "V:Invalid strides");
  }
}

}  // namespace
}  // namespace qn::testing
