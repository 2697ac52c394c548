#include "decoder/picture_conversion.h"

#include <libyuv/convert_argb.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "decoder/colour_tables.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace qn {
namespace {

enum class Sampling { k420, k422, k444, kGray };

/// How the planes of one convertible pixel format are laid out.
struct PlaneLayout {
  AVPixelFormat format;
  Sampling sampling;
  int bytesPerSample;   // 2: little-endian 10-bit samples in 16-bit words
  bool fullRangeFormat; // the yuvj formats say full range by their name
};

constexpr PlaneLayout kLayouts[] = {
    {AV_PIX_FMT_YUV420P, Sampling::k420, 1, false},
    {AV_PIX_FMT_YUVJ420P, Sampling::k420, 1, true},
    {AV_PIX_FMT_YUV422P, Sampling::k422, 1, false},
    {AV_PIX_FMT_YUVJ422P, Sampling::k422, 1, true},
    {AV_PIX_FMT_YUV444P, Sampling::k444, 1, false},
    {AV_PIX_FMT_YUVJ444P, Sampling::k444, 1, true},
    {AV_PIX_FMT_YUV420P10LE, Sampling::k420, 2, false},
    {AV_PIX_FMT_YUV422P10LE, Sampling::k422, 2, false},
    {AV_PIX_FMT_YUV444P10LE, Sampling::k444, 2, false},
    {AV_PIX_FMT_GRAY8, Sampling::kGray, 1, false},
};

/// The layout of a convertible format, or null.
const PlaneLayout* layoutOf(int format) {
  for (const PlaneLayout& layout : kLayouts) {
    if (layout.format == format) return &layout;
  }
  return nullptr;
}

/// Samples in one line of plane `plane` of a picture `width` wide.
int planeWidth(const PlaneLayout& layout, int plane, int width) {
  if (plane == 0 || layout.sampling == Sampling::k444) return width;
  return (width + 1) / 2;
}

int planeCount(const PlaneLayout& layout) { return layout.sampling == Sampling::kGray ? 1 : 3; }

/// True if plane `plane` exists and its lines hold the picture's samples.
bool planeCovers(const AVFrame* frame, const PlaneLayout& layout, int plane) {
  const uint8_t* data = frame->data[plane];
  const int lineSize = frame->linesize[plane];
  if (data == nullptr || lineSize <= 0) return false;
  if (layout.bytesPerSample == 2) {
    // libyuv reads 16-bit words and counts their strides in words.
    if (lineSize % 2 != 0 || reinterpret_cast<uintptr_t>(data) % 2 != 0) return false;
  }
  return lineSize / layout.bytesPerSample >= planeWidth(layout, plane, frame->width);
}

/// The frame's plane as 16-bit samples, from row `row` on.
const uint16_t* words(const AVFrame* frame, int plane, int row = 0) {
  return reinterpret_cast<const uint16_t*>(frame->data[plane] +
                                           static_cast<ptrdiff_t>(row) * frame->linesize[plane]);
}

/// Converts 8-bit planes; U and V are passed swapped to match the kYvu matrix.
int convert8Bit(const AVFrame* f, Sampling sampling, uint8_t* pixels, int stride,
                const libyuv::YuvConstants* m) {
  const int w = f->width;
  const int h = f->height;
  switch (sampling) {
    case Sampling::k420:
      return libyuv::I420ToARGBMatrix(f->data[0], f->linesize[0], f->data[2], f->linesize[2],
                                      f->data[1], f->linesize[1], pixels, stride, m, w, h);
    case Sampling::k422:
      return libyuv::I422ToARGBMatrix(f->data[0], f->linesize[0], f->data[2], f->linesize[2],
                                      f->data[1], f->linesize[1], pixels, stride, m, w, h);
    case Sampling::k444:
      return libyuv::I444ToARGBMatrix(f->data[0], f->linesize[0], f->data[2], f->linesize[2],
                                      f->data[1], f->linesize[1], pixels, stride, m, w, h);
    case Sampling::kGray:
      return libyuv::I400ToARGBMatrix(f->data[0], f->linesize[0], pixels, stride, m, w, h);
  }
  return -1;
}

/// Three 10-bit planes: pointers and strides in 16-bit words.
struct WordPlanes {
  const uint16_t* y;
  int yStride;
  const uint16_t* u;
  int uStride;
  const uint16_t* v;
  int vStride;
};

/// Converts `height` rows of 10-bit planes; U and V swapped as above.
int convertWords(const WordPlanes& p, Sampling sampling, uint8_t* pixels, int stride,
                 const libyuv::YuvConstants* m, int width, int height) {
  switch (sampling) {
    case Sampling::k420:
      return libyuv::I010ToARGBMatrix(p.y, p.yStride, p.v, p.vStride, p.u, p.uStride, pixels,
                                      stride, m, width, height);
    case Sampling::k422:
      return libyuv::I210ToARGBMatrix(p.y, p.yStride, p.v, p.vStride, p.u, p.uStride, pixels,
                                      stride, m, width, height);
    case Sampling::k444:
      return libyuv::I410ToARGBMatrix(p.y, p.yStride, p.v, p.vStride, p.u, p.uStride, pixels,
                                      stride, m, width, height);
    case Sampling::kGray:
      break;
  }
  return -1;
}

/// Luma rows converted per step of the rounded 10-bit path; their chroma is
/// rounded into a buffer small enough to stay in the cache. Even, so that every
/// 4:2:0 step starts on a chroma row of its own.
constexpr int kStripRows = 16;

/// Eight 16-bit samples (GCC and Clang vector extension: one SIMD register).
using Words8 = uint16_t __attribute__((vector_size(16)));

/// libyuv's 10-bit readers keep the top 8 bits of each chroma sample; adding half
/// of the dropped step first makes that a rounding (kept within 10 bits).
void roundForTruncation(const uint16_t* samples, uint16_t* out, int count) {
  constexpr uint16_t kLimit = 1021;  // 1021..1023 + 2 is still 255 in 8 bits
  const Words8 limit = {kLimit, kLimit, kLimit, kLimit, kLimit, kLimit, kLimit, kLimit};
  const Words8 half = {2, 2, 2, 2, 2, 2, 2, 2};
  int i = 0;
  for (; i + 8 <= count; i += 8) {
    Words8 v;
    std::memcpy(&v, samples + i, sizeof v);
    const auto over = reinterpret_cast<Words8>(v > limit);
    v = ((v & ~over) | (limit & over)) + half;
    std::memcpy(out + i, &v, sizeof v);
  }
  for (; i < count; i++) out[i] = static_cast<uint16_t>(std::min(samples[i], kLimit) + 2);
}

/// Converts 10-bit planes step by step with chroma rounded to 8 bits, not truncated.
int convert10BitRounded(const AVFrame* f, const PlaneLayout& layout, uint8_t* pixels, int stride,
                        const libyuv::YuvConstants* m) {
  const int chromaWidth = planeWidth(layout, 1, f->width);
  const int rowShift = layout.sampling == Sampling::k420 ? 1 : 0;
  const int chromaRowsPerStrip = kStripRows >> rowShift;
  std::vector<uint16_t> rounded(static_cast<size_t>(chromaWidth) * chromaRowsPerStrip * 2);
  uint16_t* u = rounded.data();
  uint16_t* v = u + static_cast<size_t>(chromaWidth) * chromaRowsPerStrip;
  for (int top = 0; top < f->height; top += kStripRows) {
    const int rows = std::min(kStripRows, f->height - top);
    const int chromaTop = top >> rowShift;
    const int chromaRows = (rows + rowShift) >> rowShift;
    for (int r = 0; r < chromaRows; r++) {
      roundForTruncation(words(f, 1, chromaTop + r), u + r * chromaWidth, chromaWidth);
      roundForTruncation(words(f, 2, chromaTop + r), v + r * chromaWidth, chromaWidth);
    }
    const WordPlanes strip{words(f, 0, top), f->linesize[0] / 2, u, chromaWidth, v, chromaWidth};
    const int ret = convertWords(strip, layout.sampling,
                                 pixels + static_cast<ptrdiff_t>(top) * stride, stride, m,
                                 f->width, rows);
    if (ret != 0) return ret;
  }
  return 0;
}

/// Converts 10-bit planes; with an exact matrix, chroma is rounded (see above).
int convert10Bit(const AVFrame* f, const PlaneLayout& layout, uint8_t* pixels, int stride,
                 const ConversionMatrix& matrix) {
  if (matrix.exact) return convert10BitRounded(f, layout, pixels, stride, matrix.table);
  const WordPlanes planes{words(f, 0), f->linesize[0] / 2, words(f, 1), f->linesize[1] / 2,
                          words(f, 2), f->linesize[2] / 2};
  return convertWords(planes, layout.sampling, pixels, stride, matrix.table, f->width, f->height);
}

/// Planes of the frame's format: those of a convertible one, else plane 0.
int usedPlanes(const AVFrame* frame) {
  const PlaneLayout* layout = layoutOf(frame->format);
  return layout != nullptr ? planeCount(*layout) : 1;
}

}  // namespace

bool isConvertibleFormat(int format) { return layoutOf(format) != nullptr; }

bool hasPlanePointers(const AVFrame* frame) {
  for (int plane = 0; plane < usedPlanes(frame); plane++) {
    if (frame->data[plane] == nullptr) return false;
  }
  return true;
}

bool hasPositiveLineSizes(const AVFrame* frame) {
  for (int plane = 0; plane < usedPlanes(frame); plane++) {
    if (frame->linesize[plane] <= 0) return false;
  }
  return true;
}

bool canConvert(const AVFrame* frame) {
  if (frame == nullptr || frame->width <= 0 || frame->height <= 0) return false;
  const PlaneLayout* layout = layoutOf(frame->format);
  if (layout == nullptr) return false;
  for (int plane = 0; plane < planeCount(*layout); plane++) {
    if (!planeCovers(frame, *layout, plane)) return false;
  }
  return true;
}

int convertToAbgrPixels(const AVFrame* frame, uint8_t* pixels, int pixelStride) {
  if (pixels == nullptr || !canConvert(frame)) return -1;
  if (pixelStride / 4 < frame->width) return -1;
  const PlaneLayout& layout = *layoutOf(frame->format);
  const bool fullRange = layout.fullRangeFormat || frame->color_range == AVCOL_RANGE_JPEG;
  const bool tenBit = layout.bytesPerSample == 2;
  const ConversionMatrix matrix = conversionMatrix(frame->colorspace, fullRange, tenBit);
  if (tenBit) return convert10Bit(frame, layout, pixels, pixelStride, matrix);
  return convert8Bit(frame, layout.sampling, pixels, pixelStride, matrix.table);
}

const char* pixelFormatName(const AVFrame* frame) {
  const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format));
  return name != nullptr ? name : "unknown";
}

}  // namespace qn
