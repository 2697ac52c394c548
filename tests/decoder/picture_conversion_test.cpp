// The bitmap conversion on pictures decoded from streams that FFmpeg's encoders
// made with each pixel format, matrix and range: every result is compared with
// libswscale's conversion of the same picture, flat colours with the textbook
// formulas, the unsignalled case with libyuv's I420ToABGR called directly.
#include <gtest/gtest.h>

#include <libyuv/convert_argb.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "decoder/picture_conversion.h"
#include "tests/support/colour_reference.h"
#include "tests/support/media.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace qn::testing {
namespace {

// Lowest PSNR against libswscale that a conversion may give; a wrong matrix or
// range gives 24-30 dB on these saturated pictures. libyuv's limited-range
// BT.709 and BT.2020 matrices hold the blue gain at 2.0 (the standards want
// 2.11 and 2.14), which costs 8-bit limited-range pictures their last dBs.
constexpr double kMinPsnr8Bit = 37;
constexpr double kMinPsnr10Bit = 34;

const char* codecName(AVCodecID codec) { return codec == AV_CODEC_ID_H264 ? "h264" : "h265"; }

/// A short 96x64 moving-pattern stream of the given format and signalling.
StreamSpec patternRecipe(AVCodecID codec, AVPixelFormat format, AVColorSpace colorspace,
                         AVColorRange range) {
  return colourRecipe(codec, format, colorspace, range, 96, 64, 3);
}

/// The frame converted by the unit under test into tightly packed R, G, B, A rows.
std::vector<uint8_t> converted(const AVFrame* frame, int* result = nullptr) {
  std::vector<uint8_t> pixels(static_cast<size_t>(frame->width) * frame->height * 4, 0xEE);
  const int ret = convertToAbgrPixels(frame, pixels.data(), frame->width * 4);
  if (result != nullptr) *result = ret;
  return pixels;
}

/// Encodes, decodes and checks every picture against libswscale; returns the lowest PSNR.
double lowestPsnr(const StreamSpec& recipe, AVPixelFormat expectedFormat) {
  const EncodedStream stream = encodeStream(recipe);
  const auto frames = referenceDecodeFrames(stream.bytes, recipe.codec);
  EXPECT_EQ(frames.size(), static_cast<size_t>(recipe.frames));
  double lowest = 99;
  for (const FrameHandle& frame : frames) {
    // The picture must carry what the encoder was asked to signal, or the case tests nothing.
    EXPECT_EQ(frame->format, expectedFormat) << pixelFormatName(frame.get());
    // x264 says no matrix for grey pictures, which need none; limited range is
    // the default, which the encoders leave unsaid with no matrix.
    if (recipe.colorspace != AVCOL_SPC_UNSPECIFIED && recipe.pixelFormat != AV_PIX_FMT_GRAY8) {
      EXPECT_EQ(frame->colorspace, recipe.colorspace);
    }
    if (recipe.colorRange == AVCOL_RANGE_JPEG || frame->colorspace != AVCOL_SPC_UNSPECIFIED) {
      EXPECT_EQ(frame->color_range, recipe.colorRange);
    }
    // Then again with 3 columns cropped off the left exactly, as the decoder
    // does: the plane pointers sit at odd samples (still whole 16-bit words).
    for (int crop : {0, 3}) {
      frame->crop_left = static_cast<size_t>(crop);
      EXPECT_EQ(av_frame_apply_cropping(frame.get(), AV_FRAME_CROP_UNALIGNED), 0);
      EXPECT_TRUE(canConvert(frame.get())) << "crop " << crop;
      int ret = -1;
      const std::vector<uint8_t> pixels = converted(frame.get(), &ret);
      EXPECT_EQ(ret, 0) << "crop " << crop;
      lowest = std::min(lowest, rgbPsnr(pixels, swscaleRgba(frame.get())));
      for (size_t i = 3; i < pixels.size(); i += 4) {
        if (pixels[i] != 0xFF) {
          ADD_FAILURE() << "alpha " << int(pixels[i]) << " at byte " << i;
          break;
        }
      }
    }
  }
  return lowest;
}

std::string caseName(const StreamSpec& recipe) {
  return std::string(codecName(recipe.codec)) + " " + av_get_pix_fmt_name(recipe.pixelFormat) +
         " " + av_color_space_name(recipe.colorspace) + " " + av_color_range_name(recipe.colorRange);
}

/// The format FFmpeg's decoder gives for a stream encoded from `format`:
/// the H.264 decoder names full-range 8-bit pictures yuvj and gives monochrome
/// ones as 4:2:0 with neutral chroma; the H.265 decoder says yuvj for 4:2:0 only.
AVPixelFormat decodedFormat(AVCodecID codec, AVPixelFormat format, AVColorRange range) {
  const std::pair<AVPixelFormat, AVPixelFormat> limitedAndFull[] = {
      {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P},
      {AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUVJ422P},
      {AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUVJ444P}};
  if (codec == AV_CODEC_ID_H264 && format == AV_PIX_FMT_GRAY8) format = AV_PIX_FMT_YUV420P;
  for (const auto& [limited, full] : limitedAndFull) {
    if (format != limited && format != full) continue;
    const bool named = codec == AV_CODEC_ID_H264 || limited == AV_PIX_FMT_YUV420P;
    return named && range == AVCOL_RANGE_JPEG ? full : limited;
  }
  return format;
}

// ---- Matrix and range: each one the encoders can signal ----

TEST(PictureConversion, EveryMatrixAndRangeMatchesLibswscale) {
  const AVColorSpace matrices[] = {AVCOL_SPC_UNSPECIFIED, AVCOL_SPC_BT470BG,  AVCOL_SPC_SMPTE170M,
                                   AVCOL_SPC_FCC,         AVCOL_SPC_BT709,    AVCOL_SPC_BT2020_NCL,
                                   AVCOL_SPC_BT2020_CL};
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    for (AVColorSpace matrix : matrices) {
      for (AVColorRange range : {AVCOL_RANGE_MPEG, AVCOL_RANGE_JPEG}) {
        const StreamSpec recipe = patternRecipe(codec, AV_PIX_FMT_YUV420P, matrix, range);
        const double psnr = lowestPsnr(recipe, decodedFormat(codec, AV_PIX_FMT_YUV420P, range));
        std::printf("%-45s %6.2f dB\n", caseName(recipe).c_str(), psnr);
        EXPECT_GE(psnr, kMinPsnr8Bit) << caseName(recipe);
      }
    }
  }
}

// ---- Pixel formats ----

TEST(PictureConversion, EveryPixelFormatMatchesLibswscale) {
  struct Case {
    AVPixelFormat format;
    AVColorRange range;
    double minPsnr;
  };
  const Case cases[] = {
      {AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, kMinPsnr8Bit},
      {AV_PIX_FMT_YUVJ420P, AVCOL_RANGE_JPEG, kMinPsnr8Bit},
      {AV_PIX_FMT_YUV422P, AVCOL_RANGE_MPEG, kMinPsnr8Bit},
      {AV_PIX_FMT_YUVJ422P, AVCOL_RANGE_JPEG, kMinPsnr8Bit},
      {AV_PIX_FMT_YUV444P, AVCOL_RANGE_MPEG, kMinPsnr8Bit},
      {AV_PIX_FMT_YUVJ444P, AVCOL_RANGE_JPEG, kMinPsnr8Bit},
      {AV_PIX_FMT_YUV420P10LE, AVCOL_RANGE_MPEG, kMinPsnr10Bit},
      {AV_PIX_FMT_YUV420P10LE, AVCOL_RANGE_JPEG, kMinPsnr10Bit},
      {AV_PIX_FMT_YUV422P10LE, AVCOL_RANGE_MPEG, kMinPsnr10Bit},
      {AV_PIX_FMT_YUV444P10LE, AVCOL_RANGE_MPEG, kMinPsnr10Bit},
      {AV_PIX_FMT_YUV444P10LE, AVCOL_RANGE_JPEG, kMinPsnr10Bit},
      {AV_PIX_FMT_GRAY8, AVCOL_RANGE_MPEG, kMinPsnr8Bit},
      {AV_PIX_FMT_GRAY8, AVCOL_RANGE_JPEG, kMinPsnr8Bit},
  };
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    for (const Case& c : cases) {
      for (AVColorSpace matrix : {AVCOL_SPC_BT709, AVCOL_SPC_BT2020_NCL}) {
        const StreamSpec recipe = patternRecipe(codec, c.format, matrix, c.range);
        const AVPixelFormat expected = decodedFormat(codec, c.format, c.range);
        const double psnr = lowestPsnr(recipe, expected);
        std::printf("%-45s %6.2f dB\n", caseName(recipe).c_str(), psnr);
        EXPECT_GE(psnr, c.minPsnr) << caseName(recipe);
      }
    }
  }
}

TEST(PictureConversion, OddSizesAreConvertedAtThePicturesOwnSize) {
  for (AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P10LE}) {
    StreamSpec recipe =
        patternRecipe(AV_CODEC_ID_HEVC, format, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG);
    recipe.width = 98;  // x265 wants even sizes; the frame is cut to odd ones below
    recipe.height = 66;
    auto frames = referenceDecodeFrames(encodeStream(recipe).bytes, recipe.codec);
    ASSERT_FALSE(frames.empty());
    AVFrame* frame = frames[0].get();
    frame->width = 97;
    frame->height = 65;
    EXPECT_GE(rgbPsnr(converted(frame), swscaleRgba(frame)), 34) << av_get_pix_fmt_name(format);
  }
}

TEST(PictureConversion, HdrTransfersAreConvertedWithTheirMatrixAndNoToneMapping) {
  for (AVColorTransferCharacteristic transfer : {AVCOL_TRC_SMPTE2084, AVCOL_TRC_ARIB_STD_B67}) {
    StreamSpec recipe = patternRecipe(AV_CODEC_ID_HEVC, AV_PIX_FMT_YUV420P10LE,
                                      AVCOL_SPC_BT2020_NCL, AVCOL_RANGE_MPEG);
    recipe.transfer = transfer;
    recipe.primaries = AVCOL_PRI_BT2020;
    const auto frames = referenceDecodeFrames(encodeStream(recipe).bytes, recipe.codec);
    ASSERT_FALSE(frames.empty());
    AVFrame* frame = frames[0].get();
    ASSERT_EQ(frame->color_trc, transfer);
    const std::vector<uint8_t> hdr = converted(frame);
    EXPECT_GE(rgbPsnr(hdr, swscaleRgba(frame)), kMinPsnr10Bit);
    frame->color_trc = AVCOL_TRC_BT709;
    EXPECT_TRUE(converted(frame) == hdr) << av_color_transfer_name(transfer);
  }
}

// ---- Unsignalled pictures keep I420ToABGR ----

TEST(PictureConversion, AnUnsignalledOrBt601LimitedPictureIsI420ToAbgrByteForByte) {
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    for (AVColorSpace matrix : {AVCOL_SPC_UNSPECIFIED, AVCOL_SPC_BT470BG, AVCOL_SPC_SMPTE170M}) {
      const StreamSpec recipe =
          patternRecipe(codec, AV_PIX_FMT_YUV420P, matrix, AVCOL_RANGE_UNSPECIFIED);
      const auto frames = referenceDecodeFrames(encodeStream(recipe).bytes, codec);
      ASSERT_FALSE(frames.empty());
      for (const FrameHandle& frame : frames) {
        std::vector<uint8_t> expected(static_cast<size_t>(frame->width) * frame->height * 4);
        libyuv::I420ToABGR(frame->data[0], frame->linesize[0], frame->data[1], frame->linesize[1],
                           frame->data[2], frame->linesize[2], expected.data(), frame->width * 4,
                           frame->width, frame->height);
        EXPECT_TRUE(converted(frame.get()) == expected) << caseName(recipe);
      }
    }
  }
}

// ---- Flat colours ----

/// Matrix coefficients (Kr, Kb) of a colorspace, as its standard defines them.
std::pair<double, double> lumaWeights(AVColorSpace colorspace) {
  switch (colorspace) {
    case AVCOL_SPC_BT709:
      return {0.2126, 0.0722};
    case AVCOL_SPC_BT2020_NCL:
      return {0.2627, 0.0593};
    default:
      return {0.299, 0.114};
  }
}

/// R, G, B of 8-bit Y, U, V by the textbook equations.
std::array<int, 3> textbookRgb(double y, double u, double v, AVColorSpace colorspace, bool full) {
  const auto [kr, kb] = lumaWeights(colorspace);
  const double luma = full ? y / 255 : (y - 16) / 219;
  const double pb = full ? (u - 128) / 255 : (u - 128) / 224;
  const double pr = full ? (v - 128) / 255 : (v - 128) / 224;
  const double r = luma + 2 * (1 - kr) * pr;
  const double b = luma + 2 * (1 - kb) * pb;
  const double g = (luma - kr * r - kb * b) / (1 - kr - kb);
  const auto to8 = [](double c) { return static_cast<int>(std::lround(std::clamp(c, 0.0, 1.0) * 255)); };
  return {to8(r), to8(g), to8(b)};
}

TEST(PictureConversion, FlatColoursGiveTheirTextbookColourWithinTwo) {
  struct Flat {
    int y, u, v;
  };
  // Black, white, 75 % grey (full and limited codes) and two mid colours.
  const Flat flats[] = {{0, 128, 128},  {255, 128, 128}, {191, 128, 128}, {16, 128, 128},
                        {235, 128, 128}, {180, 128, 128}, {120, 100, 160}, {90, 170, 110}};
  for (AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV444P10LE, AV_PIX_FMT_GRAY8}) {
    for (AVColorSpace matrix : {AVCOL_SPC_BT470BG, AVCOL_SPC_BT709, AVCOL_SPC_BT2020_NCL}) {
      for (AVColorRange range : {AVCOL_RANGE_MPEG, AVCOL_RANGE_JPEG}) {
        for (const Flat& flat : flats) {
          if (format == AV_PIX_FMT_GRAY8 && (flat.u != 128 || flat.v != 128)) continue;
          StreamSpec recipe = patternRecipe(AV_CODEC_ID_HEVC, format, matrix, range);
          recipe.frames = 1;
          recipe.solidY = flat.y;
          recipe.solidU = flat.u;
          recipe.solidV = flat.v;
          const auto frames = referenceDecodeFrames(encodeStream(recipe).bytes, recipe.codec);
          ASSERT_EQ(frames.size(), 1u);
          const std::vector<uint8_t> pixels = converted(frames[0].get());
          const auto expected = textbookRgb(flat.y, flat.u, flat.v, matrix, range == AVCOL_RANGE_JPEG);
          const size_t centre = (32 * 96 + 48) * 4;
          // Greys and full-range colours within 2; limited-range colours lose
          // up to 6 of their blue to libyuv's blue gain (see kMinPsnr8Bit).
          const bool grey = flat.u == 128 && flat.v == 128;
          const int tolerance = grey || range == AVCOL_RANGE_JPEG ? 2 : 6;
          for (int c = 0; c < 3; c++) {
            EXPECT_NEAR(pixels[centre + c], expected[c], tolerance)
                << caseName(recipe) << " yuv " << flat.y << "," << flat.u << "," << flat.v
                << " channel " << c;
          }
        }
      }
    }
  }
}

// ---- Refusals ----

TEST(PictureConversion, UnsupportedFormatsAreRefusedAndNamed) {
  StreamSpec recipe = patternRecipe(AV_CODEC_ID_HEVC, AV_PIX_FMT_YUV420P12LE, AVCOL_SPC_BT709,
                                    AVCOL_RANGE_MPEG);
  recipe.frames = 1;
  const auto frames = referenceDecodeFrames(encodeStream(recipe).bytes, recipe.codec);
  ASSERT_EQ(frames.size(), 1u);
  const AVFrame* frame = frames[0].get();
  EXPECT_FALSE(isConvertibleFormat(frame->format));
  EXPECT_FALSE(canConvert(frame));
  EXPECT_STREQ(pixelFormatName(frame), "yuv420p12le");
  int ret = 0;
  const std::vector<uint8_t> pixels = converted(frame, &ret);
  EXPECT_EQ(ret, -1);
  EXPECT_EQ(pixels, std::vector<uint8_t>(pixels.size(), 0xEE)) << "nothing is written";

  for (AVPixelFormat other : {AV_PIX_FMT_NV12, AV_PIX_FMT_RGB24, AV_PIX_FMT_GRAY10LE,
                              AV_PIX_FMT_YUV420P10BE, AV_PIX_FMT_NONE}) {
    EXPECT_FALSE(isConvertibleFormat(other)) << other;
  }
  AVFrame none{};
  none.format = AV_PIX_FMT_NONE;
  EXPECT_STREQ(pixelFormatName(&none), "unknown");
}

/// A decoded 96x64 picture of the format, to be bent by the layout tests.
FrameHandle decodedPicture(AVPixelFormat format) {
  StreamSpec recipe = patternRecipe(AV_CODEC_ID_HEVC, format, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG);
  recipe.frames = 1;
  auto frames = referenceDecodeFrames(encodeStream(recipe).bytes, recipe.codec);
  if (frames.empty()) return nullptr;
  return std::move(frames[0]);
}

TEST(PictureConversion, LinesShorterThanThePlanesAreRefused) {
  // Bytes per line each plane needs at 96 wide.
  struct Case {
    AVPixelFormat format;
    int needed[3];
  };
  const Case cases[] = {{AV_PIX_FMT_YUV420P, {96, 48, 48}},
                        {AV_PIX_FMT_YUV444P, {96, 96, 96}},
                        {AV_PIX_FMT_YUV422P10LE, {192, 96, 96}},
                        {AV_PIX_FMT_GRAY8, {96, 0, 0}}};
  for (const Case& c : cases) {
    FrameHandle frame = decodedPicture(c.format);
    ASSERT_TRUE(frame);
    const int planes = c.format == AV_PIX_FMT_GRAY8 ? 1 : 3;
    for (int plane = 0; plane < planes; plane++) {
      const int saved = frame->linesize[plane];
      frame->linesize[plane] = c.needed[plane];
      EXPECT_TRUE(canConvert(frame.get())) << "exactly the plane's width is enough";
      for (int bad : {c.needed[plane] - 2, 0, -saved}) {
        frame->linesize[plane] = bad;
        EXPECT_EQ(hasPositiveLineSizes(frame.get()), bad > 0);
        EXPECT_FALSE(canConvert(frame.get())) << av_get_pix_fmt_name(c.format) << " plane "
                                              << plane << " line " << bad;
        std::vector<uint8_t> pixels(96 * 64 * 4);
        EXPECT_EQ(convertToAbgrPixels(frame.get(), pixels.data(), 96 * 4), -1);
      }
      frame->linesize[plane] = saved;
      uint8_t* data = frame->data[plane];
      frame->data[plane] = nullptr;
      EXPECT_FALSE(canConvert(frame.get()));
      EXPECT_FALSE(hasPlanePointers(frame.get()));
      frame->data[plane] = data;
    }
    // Grey pictures have no chroma planes to point at or measure.
    EXPECT_TRUE(hasPlanePointers(frame.get()));
    EXPECT_TRUE(hasPositiveLineSizes(frame.get()));
  }
}

TEST(PictureConversion, TenBitLinesMustBeWholeWordsAndTheBitmapRowsWideEnough) {
  FrameHandle frame = decodedPicture(AV_PIX_FMT_YUV420P10LE);
  ASSERT_TRUE(frame);
  frame->linesize[1] += 1;
  EXPECT_FALSE(canConvert(frame.get()));
  frame->linesize[1] -= 1;
  frame->data[2] += 1;
  EXPECT_FALSE(canConvert(frame.get()));
  frame->data[2] -= 1;
  ASSERT_TRUE(canConvert(frame.get()));

  std::vector<uint8_t> pixels(96 * 64 * 4);
  EXPECT_EQ(convertToAbgrPixels(frame.get(), pixels.data(), 95 * 4), -1);
  EXPECT_EQ(convertToAbgrPixels(frame.get(), nullptr, 96 * 4), -1);
  for (int bad : {0, -1}) {
    frame->width = bad;
    EXPECT_FALSE(canConvert(frame.get()));
    frame->width = 96;
    frame->height = bad;
    EXPECT_FALSE(canConvert(frame.get()));
    frame->height = 64;
  }
  EXPECT_FALSE(canConvert(nullptr));
}

}  // namespace
}  // namespace qn::testing
