// The bitmap conversion on pictures decoded from streams that FFmpeg's encoders
// made with each pixel format, matrix, range and content: every result is
// compared with a double-precision conversion of the same decoded picture by the
// textbook equations, flat colours with their textbook colours, the unsignalled
// case with libyuv's I420ToABGR called directly.
#include <gtest/gtest.h>

#include <libyuv/convert_argb.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "decoder/colour_tables.h"
#include "decoder/picture_conversion.h"
#include "tests/support/colour_reference.h"
#include "tests/support/media.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace qn::testing {
namespace {

// Lowest PSNR against the float reference that a conversion may give. On these
// pictures a wrong matrix or range gives 24-35 dB, libyuv's own limited-range
// BT.709 and BT.2020 tables (blue gain 2.0 for 2.11 and 2.14) 33-49 dB.
constexpr double kMinPsnrSignalled = 46;
// 8-bit pictures that signal no matrix keep libyuv's own BT.601 conversion.
constexpr double kMinPsnrUnsignalled = 48;
// Largest error of any byte in a picture of the 100 % colour bars. libyuv reads
// 10-bit chroma as 8-bit levels: half a level of chroma is up to 1.2 of blue.
constexpr int kMaxBarsError8Bit = 2;
constexpr int kMaxBarsError10Bit = 3;
// Largest shift of a channel's mean: rounded 10-bit chroma gives up to 0.55,
// truncated chroma (libyuv's readers alone) 0.9 of a level.
constexpr double kMaxShift = 0.7;

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

/// How far a stream's conversions are from the float reference at worst.
struct Distance {
  double lowestPsnr = 99;
  int largestError = 0;
  double largestShift = 0;  // of a channel's mean
};

/// Encodes, decodes and checks every picture against the float reference, whole
/// and with its plane pointers at odd columns.
Distance distanceFromReference(const StreamSpec& recipe, AVPixelFormat expectedFormat) {
  const EncodedStream stream = encodeStream(recipe);
  const auto frames = referenceDecodeFrames(stream.bytes, recipe.codec);
  EXPECT_EQ(frames.size(), static_cast<size_t>(recipe.frames));
  Distance worst;
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
      const std::vector<uint8_t> reference = floatRgba(frame.get());
      worst.lowestPsnr = std::min(worst.lowestPsnr, rgbPsnr(pixels, reference));
      worst.largestError = std::max(worst.largestError, largestDifference(pixels, reference));
      worst.largestShift = std::max(worst.largestShift, largestMeanShift(pixels, reference));
      for (size_t i = 3; i < pixels.size(); i += 4) {
        if (pixels[i] != 0xFF) {
          ADD_FAILURE() << "alpha " << int(pixels[i]) << " at byte " << i;
          break;
        }
      }
    }
  }
  return worst;
}

const char* contentName(Content content) {
  switch (content) {
    case Content::kBars:
      return "bars";
    case Content::kGradient:
      return "gradient";
    default:
      return "pattern";
  }
}

std::string caseName(const StreamSpec& recipe) {
  return std::string(codecName(recipe.codec)) + " " + av_get_pix_fmt_name(recipe.pixelFormat) +
         " " + av_color_space_name(recipe.colorspace) + " " + av_color_range_name(recipe.colorRange) +
         " " + contentName(recipe.content);
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

// ---- Every pixel format, matrix, range and content ----

TEST(PictureConversion, EveryFormatMatrixRangeAndContentMatchesTheFloatReference) {
  const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P,     AV_PIX_FMT_YUV422P,
                                   AV_PIX_FMT_YUV444P,     AV_PIX_FMT_YUV420P10LE,
                                   AV_PIX_FMT_YUV422P10LE, AV_PIX_FMT_YUV444P10LE,
                                   AV_PIX_FMT_GRAY8};
  const AVColorSpace matrices[] = {AVCOL_SPC_UNSPECIFIED, AVCOL_SPC_BT470BG,    AVCOL_SPC_SMPTE170M,
                                   AVCOL_SPC_FCC,         AVCOL_SPC_SMPTE240M,  AVCOL_SPC_BT709,
                                   AVCOL_SPC_BT2020_NCL,  AVCOL_SPC_BT2020_CL};
  for (AVPixelFormat format : formats) {
    for (AVColorSpace matrix : matrices) {
      for (AVColorRange range : {AVCOL_RANGE_MPEG, AVCOL_RANGE_JPEG}) {
        for (Content content : {Content::kPattern, Content::kBars, Content::kGradient}) {
          // Both encoders for the pattern (the H.264 decoder names formats its own
          // way), H.265 alone for the other contents.
          for (AVCodecID codec : {AV_CODEC_ID_HEVC, AV_CODEC_ID_H264}) {
            if (codec == AV_CODEC_ID_H264 && content != Content::kPattern) continue;
            StreamSpec recipe = patternRecipe(codec, format, matrix, range);
            recipe.content = content;
            const Distance d = distanceFromReference(recipe, decodedFormat(codec, format, range));
            std::printf("%-56s %6.2f dB, largest error %d, shift %.2f\n", caseName(recipe).c_str(),
                        d.lowestPsnr, d.largestError, d.largestShift);
            const bool tenBit = av_pix_fmt_desc_get(format)->comp[0].depth == 10;
            const bool exact = matrix != AVCOL_SPC_UNSPECIFIED || tenBit;
            EXPECT_GE(d.lowestPsnr, exact ? kMinPsnrSignalled : kMinPsnrUnsignalled)
                << caseName(recipe);
            if (exact) {
              EXPECT_LE(d.largestShift, kMaxShift) << caseName(recipe);
            }
            if (exact && content == Content::kBars) {
              EXPECT_LE(d.largestError, tenBit ? kMaxBarsError10Bit : kMaxBarsError8Bit)
                  << caseName(recipe);
            }
          }
        }
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
    EXPECT_GE(rgbPsnr(converted(frame), floatRgba(frame)), kMinPsnrSignalled)
        << av_get_pix_fmt_name(format);
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
    EXPECT_GE(rgbPsnr(hdr, floatRgba(frame)), kMinPsnrSignalled);
    frame->color_trc = AVCOL_TRC_BT709;
    EXPECT_TRUE(converted(frame) == hdr) << av_color_transfer_name(transfer);
  }
}

// ---- Unsignalled pictures keep I420ToABGR ----

TEST(PictureConversion, AnUnsignalledPictureIsI420ToAbgrByteForByte) {
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    for (AVColorRange range : {AVCOL_RANGE_UNSPECIFIED, AVCOL_RANGE_MPEG}) {
      for (Content content : {Content::kPattern, Content::kBars, Content::kGradient}) {
        StreamSpec recipe =
            patternRecipe(codec, AV_PIX_FMT_YUV420P, AVCOL_SPC_UNSPECIFIED, range);
        recipe.content = content;
        const auto frames = referenceDecodeFrames(encodeStream(recipe).bytes, codec);
        ASSERT_FALSE(frames.empty());
        for (const FrameHandle& frame : frames) {
          std::vector<uint8_t> expected(static_cast<size_t>(frame->width) * frame->height * 4);
          libyuv::I420ToABGR(frame->data[0], frame->linesize[0], frame->data[1],
                             frame->linesize[1], frame->data[2], frame->linesize[2],
                             expected.data(), frame->width * 4, frame->width, frame->height);
          EXPECT_TRUE(converted(frame.get()) == expected) << caseName(recipe);
        }
      }
    }
  }
}

// ---- Flat colours ----

/// A flat colour by its 8-bit Y, U, V codes.
struct Flat {
  int y, u, v;
};

/// Black, white, 75 % grey (full and limited codes), two mid colours, and the
/// eight 100 % colours of the matrix and range.
std::vector<Flat> flatColours(AVColorSpace matrix, bool fullRange) {
  std::vector<Flat> flats = {{0, 128, 128},   {255, 128, 128}, {191, 128, 128}, {16, 128, 128},
                             {235, 128, 128}, {180, 128, 128}, {120, 100, 160}, {90, 170, 110}};
  for (int bar = 0; bar < 8; bar++) {
    const auto yuv = textbookYuv((bar >> 2) & 1, (bar >> 1) & 1, bar & 1, matrix, fullRange);
    flats.push_back({yuv[0], yuv[1], yuv[2]});
  }
  return flats;
}

TEST(PictureConversion, FlatColoursGiveTheirTextbookColourWithinTwo) {
  for (AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P10LE, AV_PIX_FMT_YUV444P10LE,
                               AV_PIX_FMT_GRAY8}) {
    for (AVColorSpace matrix : {AVCOL_SPC_UNSPECIFIED, AVCOL_SPC_BT470BG, AVCOL_SPC_SMPTE240M,
                                AVCOL_SPC_BT709, AVCOL_SPC_BT2020_NCL}) {
      for (AVColorRange range : {AVCOL_RANGE_MPEG, AVCOL_RANGE_JPEG}) {
        const bool full = range == AVCOL_RANGE_JPEG;
        for (const Flat& flat : flatColours(matrix, full)) {
          if (format == AV_PIX_FMT_GRAY8 && (flat.u != 128 || flat.v != 128)) continue;
          StreamSpec recipe = patternRecipe(AV_CODEC_ID_HEVC, format, matrix, range);
          recipe.frames = 1;
          recipe.solidY = flat.y;
          recipe.solidU = flat.u;
          recipe.solidV = flat.v;
          const auto frames = referenceDecodeFrames(encodeStream(recipe).bytes, recipe.codec);
          ASSERT_EQ(frames.size(), 1u);
          const std::vector<uint8_t> pixels = converted(frames[0].get());
          const auto expected = textbookRgb(flat.y, flat.u, flat.v, 8, matrix, full);
          const size_t centre = (32 * 96 + 48) * 4;
          for (int c = 0; c < 3; c++) {
            EXPECT_NEAR(pixels[centre + c], expected[c], 2)
                << caseName(recipe) << " yuv " << flat.y << "," << flat.u << "," << flat.v
                << " channel " << c;
          }
        }
      }
    }
  }
}

// ---- The exact tables and their check at load ----

TEST(PictureConversion, TheExactTablesPassTheirCheckWhichRefusesLibyuvsLimitedRangeOnes) {
  ASSERT_TRUE(prepareColourTables()) << "libyuv's own tables are in use";
  for (AVColorSpace matrix : {AVCOL_SPC_UNSPECIFIED, AVCOL_SPC_BT709, AVCOL_SPC_BT2020_NCL}) {
    for (bool full : {false, true}) {
      for (bool tenBit : {false, true}) {
        const ConversionMatrix m = conversionMatrix(matrix, full, tenBit);
        EXPECT_EQ(m.exact, matrix != AVCOL_SPC_UNSPECIFIED || tenBit);
        EXPECT_TRUE(givesTextbookColours(m.table, matrix, full, tenBit))
            << av_color_space_name(matrix) << " full " << full << " ten-bit " << tenBit;
      }
    }
  }
  // What the check exists for: libyuv's limited-range BT.709 and BT.2020 tables
  // put saturated blues 13-16 levels off, and a table in the unswapped form
  // swaps red and blue.
  EXPECT_FALSE(givesTextbookColours(&libyuv::kYvuH709Constants, AVCOL_SPC_BT709, false, false));
  EXPECT_FALSE(givesTextbookColours(&libyuv::kYvu2020Constants, AVCOL_SPC_BT2020_NCL, false, true));
  EXPECT_FALSE(givesTextbookColours(&libyuv::kYuvF709Constants, AVCOL_SPC_BT709, true, false));
  EXPECT_EQ(conversionMatrix(AVCOL_SPC_UNSPECIFIED, false, false).table, &libyuv::kYvuI601Constants);
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
