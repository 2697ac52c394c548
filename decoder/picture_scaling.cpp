#include "decoder/picture_scaling.h"

#include <libyuv/scale.h>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace qn {
namespace {

/// The 4:4:4 format a picture of `format` is scaled into (same depth and range),
/// or AV_PIX_FMT_NONE if it cannot be scaled.
AVPixelFormat fullChromaFormat(int format) {
  switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUV444P:
      return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
      return AV_PIX_FMT_YUVJ444P;
    case AV_PIX_FMT_YUV420P10LE:
    case AV_PIX_FMT_YUV422P10LE:
    case AV_PIX_FMT_YUV444P10LE:
      return AV_PIX_FMT_YUV444P10LE;
    case AV_PIX_FMT_GRAY8:
      return AV_PIX_FMT_GRAY8;
    default:
      return AV_PIX_FMT_NONE;
  }
}

/// Samples of a plane side `size` long, for a subsampling shift `log2` (rounded up).
int planeSide(int size, int log2) { return -((-size) >> log2); }

/// Box-scales one plane; 16-bit planes have their strides counted in bytes here.
void scalePlane(const AVFrame* from, AVFrame* to, int plane, bool words, int fromWidth,
                int fromHeight) {
  if (words) {
    libyuv::ScalePlane_16(reinterpret_cast<const uint16_t*>(from->data[plane]),
                          from->linesize[plane] / 2, fromWidth, fromHeight,
                          reinterpret_cast<uint16_t*>(to->data[plane]), to->linesize[plane] / 2,
                          to->width, to->height, libyuv::kFilterBox);
  } else {
    libyuv::ScalePlane(from->data[plane], from->linesize[plane], fromWidth, fromHeight,
                       to->data[plane], to->linesize[plane], to->width, to->height,
                       libyuv::kFilterBox);
  }
}

}  // namespace

bool isValidOutputSize(int width, int height, int64_t maxPixels) {
  if (width == 0 && height == 0) return true;
  return width > 0 && height > 0 && int64_t{width} * height <= maxPixels;
}

PictureScaler::~PictureScaler() { av_frame_free(&scaled_); }

bool PictureScaler::prepare(int format, int width, int height) {
  if (scaled_ == nullptr) scaled_ = av_frame_alloc();
  if (scaled_ == nullptr) return false;
  if (scaled_->format == format && scaled_->width == width && scaled_->height == height &&
      scaled_->data[0] != nullptr) {
    return true;
  }
  av_frame_unref(scaled_);
  scaled_->format = format;
  scaled_->width = width;
  scaled_->height = height;
  return av_frame_get_buffer(scaled_, 0) >= 0;
}

const AVFrame* PictureScaler::scale(const AVFrame* picture, int width, int height) {
  const AVPixelFormat format = fullChromaFormat(picture->format);
  const AVPixFmtDescriptor* from = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(picture->format));
  if (format == AV_PIX_FMT_NONE || from == nullptr || !prepare(format, width, height)) {
    return nullptr;
  }
  const bool words = from->comp[0].depth > 8;
  for (int plane = 0; plane < from->nb_components; plane++) {
    const int shiftX = plane == 0 ? 0 : from->log2_chroma_w;
    const int shiftY = plane == 0 ? 0 : from->log2_chroma_h;
    if (picture->data[plane] == nullptr) return nullptr;
    scalePlane(picture, scaled_, plane, words, planeSide(picture->width, shiftX),
               planeSide(picture->height, shiftY));
  }
  // The conversion picks its matrix and range from these.
  scaled_->colorspace = picture->colorspace;
  scaled_->color_range = picture->color_range;
  scaled_->color_primaries = picture->color_primaries;
  scaled_->color_trc = picture->color_trc;
  return scaled_;
}

}  // namespace qn
