#include "tests/support/colour_reference.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace qn::testing {
namespace {

/// libswscale's name for the frame's matrix.
int swscaleMatrix(AVColorSpace colorspace) {
  switch (colorspace) {
    case AVCOL_SPC_BT709:
      return SWS_CS_ITU709;
    case AVCOL_SPC_FCC:
      return SWS_CS_FCC;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      return SWS_CS_BT2020;
    default:
      return SWS_CS_ITU601;
  }
}

/// True if the frame's samples span the full range (yuvj formats or signalled).
bool fullRange(const AVFrame* frame) {
  switch (frame->format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
      return true;
    default:
      return frame->color_range == AVCOL_RANGE_JPEG;
  }
}

}  // namespace

std::vector<uint8_t> swscaleRgba(const AVFrame* frame) {
  auto format = static_cast<AVPixelFormat>(frame->format);
  const uint8_t* planes[4] = {frame->data[0], frame->data[1], frame->data[2], nullptr};
  int lineSizes[4] = {frame->linesize[0], frame->linesize[1], frame->linesize[2], 0};
  // libswscale takes 8-bit grey as full range whatever it is told, so grey
  // pictures go in as 4:2:0 with neutral chroma.
  std::vector<uint8_t> neutral;
  if (format == AV_PIX_FMT_GRAY8) {
    format = AV_PIX_FMT_YUV420P;
    lineSizes[1] = lineSizes[2] = (frame->width + 1) / 2;
    neutral.assign(static_cast<size_t>(lineSizes[1]) * ((frame->height + 1) / 2), 128);
    planes[1] = planes[2] = neutral.data();
  }
  SwsContext* context = sws_getContext(frame->width, frame->height, format, frame->width,
                                       frame->height, AV_PIX_FMT_RGBA, SWS_BICUBIC, nullptr,
                                       nullptr, nullptr);
  if (context == nullptr) return {};
  const int* matrix = sws_getCoefficients(swscaleMatrix(frame->colorspace));
  sws_setColorspaceDetails(context, matrix, fullRange(frame) ? 1 : 0, matrix, 1, 0, 1 << 16,
                           1 << 16);
  // libswscale writes whole words past the last pixel of odd widths: room for them.
  const size_t bytes = static_cast<size_t>(frame->width) * frame->height * 4;
  std::vector<uint8_t> out(bytes + 64);
  uint8_t* outPlanes[1] = {out.data()};
  const int outStrides[1] = {frame->width * 4};
  const int rows = sws_scale(context, planes, lineSizes, 0, frame->height, outPlanes, outStrides);
  sws_freeContext(context);
  if (rows != frame->height) return {};
  out.resize(bytes);
  return out;
}

namespace {

/// The weights of the source samples covering each of `to` output samples along
/// one side `from` long: weights[o * from + i].
std::vector<double> areaWeights(int from, int to) {
  std::vector<double> weights(static_cast<size_t>(from) * to, 0.0);
  const double step = static_cast<double>(from) / to;
  for (int o = 0; o < to; o++) {
    const double start = o * step;
    const double end = start + step;
    for (int i = static_cast<int>(start); i < from && i < end; i++) {
      const double covered = std::min<double>(end, i + 1) - std::max<double>(start, i);
      if (covered > 0) weights[static_cast<size_t>(o) * from + i] = covered / step;
    }
  }
  return weights;
}

}  // namespace

std::vector<uint8_t> areaScaledRgba(const std::vector<uint8_t>& rgba, int width, int height,
                                    int toWidth, int toHeight) {
  if (width <= 0 || height <= 0 || toWidth <= 0 || toHeight <= 0 ||
      rgba.size() != static_cast<size_t>(width) * height * 4) {
    return {};
  }
  const std::vector<double> across = areaWeights(width, toWidth);
  const std::vector<double> down = areaWeights(height, toHeight);
  // Rows first, then columns, in doubles.
  std::vector<double> rows(static_cast<size_t>(toWidth) * height * 4, 0.0);
  for (int y = 0; y < height; y++) {
    for (int o = 0; o < toWidth; o++) {
      for (int x = 0; x < width; x++) {
        const double w = across[static_cast<size_t>(o) * width + x];
        if (w == 0) continue;
        for (int c = 0; c < 4; c++) {
          rows[(static_cast<size_t>(y) * toWidth + o) * 4 + c] +=
              w * rgba[(static_cast<size_t>(y) * width + x) * 4 + c];
        }
      }
    }
  }
  std::vector<uint8_t> out(static_cast<size_t>(toWidth) * toHeight * 4);
  for (int o = 0; o < toHeight; o++) {
    for (int x = 0; x < toWidth; x++) {
      for (int c = 0; c < 4; c++) {
        double sum = 0;
        for (int y = 0; y < height; y++) {
          const double w = down[static_cast<size_t>(o) * height + y];
          if (w != 0) sum += w * rows[(static_cast<size_t>(y) * toWidth + x) * 4 + c];
        }
        out[(static_cast<size_t>(o) * toWidth + x) * 4 + c] =
            static_cast<uint8_t>(std::clamp(std::lround(sum), 0L, 255L));
      }
    }
  }
  return out;
}

double rgbPsnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double squares = 0;
  size_t samples = 0;
  for (size_t i = 0; i < a.size(); i += 4) {
    for (size_t c = 0; c < 3; c++) {
      const double d = static_cast<double>(a[i + c]) - static_cast<double>(b[i + c]);
      squares += d * d;
      samples++;
    }
  }
  if (squares == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * static_cast<double>(samples) / squares);
}

}  // namespace qn::testing
