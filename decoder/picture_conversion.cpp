#include "decoder/picture_conversion.h"

#include <libyuv/convert_argb.h>

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

/// The libyuv matrix for the picture's colour signalling, in its V/U-swapped
/// (kYvu) form: with the chroma planes swapped, libyuv's ARGB writers then
/// write R, G, B, A in memory, as I420ToABGR does.
const libyuv::YuvConstants* swappedMatrix(AVColorSpace colorspace, bool fullRange) {
  switch (colorspace) {
    case AVCOL_SPC_BT709:
      return fullRange ? &libyuv::kYvuF709Constants : &libyuv::kYvuH709Constants;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:  // constant luminance is taken as non-constant
      return fullRange ? &libyuv::kYvuV2020Constants : &libyuv::kYvu2020Constants;
    default:
      // BT.601 (BT470BG, SMPTE170M, FCC) and pictures that signal no matrix:
      // limited range is exactly what I420ToABGR does.
      return fullRange ? &libyuv::kYvuJPEGConstants : &libyuv::kYvuI601Constants;
  }
}

/// The frame's plane as 16-bit samples.
const uint16_t* words(const AVFrame* frame, int plane) {
  return reinterpret_cast<const uint16_t*>(frame->data[plane]);
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

/// Converts 10-bit planes (strides in 16-bit words); U and V swapped as above.
int convert10Bit(const AVFrame* f, Sampling sampling, uint8_t* pixels, int stride,
                 const libyuv::YuvConstants* m) {
  const int w = f->width;
  const int h = f->height;
  const int sy = f->linesize[0] / 2;
  const int su = f->linesize[1] / 2;
  const int sv = f->linesize[2] / 2;
  switch (sampling) {
    case Sampling::k420:
      return libyuv::I010ToARGBMatrix(words(f, 0), sy, words(f, 2), sv, words(f, 1), su, pixels,
                                      stride, m, w, h);
    case Sampling::k422:
      return libyuv::I210ToARGBMatrix(words(f, 0), sy, words(f, 2), sv, words(f, 1), su, pixels,
                                      stride, m, w, h);
    case Sampling::k444:
      return libyuv::I410ToARGBMatrix(words(f, 0), sy, words(f, 2), sv, words(f, 1), su, pixels,
                                      stride, m, w, h);
    case Sampling::kGray:
      break;
  }
  return -1;
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
  const libyuv::YuvConstants* matrix = swappedMatrix(frame->colorspace, fullRange);
  if (layout.bytesPerSample == 2) {
    return convert10Bit(frame, layout.sampling, pixels, pixelStride, matrix);
  }
  return convert8Bit(frame, layout.sampling, pixels, pixelStride, matrix);
}

const char* pixelFormatName(const AVFrame* frame) {
  const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format));
  return name != nullptr ? name : "unknown";
}

}  // namespace qn
