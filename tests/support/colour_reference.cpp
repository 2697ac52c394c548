#include "tests/support/colour_reference.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace qn::testing {
namespace {

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

/// Sample (x, y) of a plane: one byte, or a little-endian 16-bit word for deeper formats.
int sampleAt(const AVFrame* frame, int plane, int x, int y, int depth) {
  const uint8_t* row = frame->data[plane] + static_cast<ptrdiff_t>(y) * frame->linesize[plane];
  if (depth == 8) return row[x];
  return row[2 * x] | (row[2 * x + 1] << 8);
}

/// One colour component (0..1 nominal) as a rounded, clamped 8-bit value.
int to8Bit(double component) {
  return static_cast<int>(std::lround(std::clamp(component, 0.0, 1.0) * 255));
}

}  // namespace

LumaWeights lumaWeights(AVColorSpace colorspace) {
  switch (colorspace) {
    case AVCOL_SPC_BT709:
      return {0.2126, 0.0722};
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      return {0.2627, 0.0593};
    case AVCOL_SPC_FCC:
      return {0.30, 0.11};
    case AVCOL_SPC_SMPTE240M:
      return {0.212, 0.087};
    default:
      return {0.299, 0.114};
  }
}

std::array<int, 3> textbookRgb(int y, int u, int v, int depth, AVColorSpace colorspace,
                               bool full) {
  const auto [kr, kb] = lumaWeights(colorspace);
  const double scale = 1 << (depth - 8);  // code values of 8-bit levels at this depth
  const double half = 1 << (depth - 1);
  const double fullMax = (1 << depth) - 1;
  const double luma = full ? y / fullMax : (y - 16 * scale) / (219 * scale);
  const double pb = full ? (u - half) / fullMax : (u - half) / (224 * scale);
  const double pr = full ? (v - half) / fullMax : (v - half) / (224 * scale);
  const double r = luma + 2 * (1 - kr) * pr;
  const double b = luma + 2 * (1 - kb) * pb;
  const double g = (luma - kr * r - kb * b) / (1 - kr - kb);
  return {to8Bit(r), to8Bit(g), to8Bit(b)};
}

std::array<int, 3> textbookYuv(double r, double g, double b, AVColorSpace colorspace,
                               bool fullRange) {
  const auto [kr, kb] = lumaWeights(colorspace);
  const double luma = kr * r + (1 - kr - kb) * g + kb * b;
  const double pb = (b - luma) / (2 * (1 - kb));
  const double pr = (r - luma) / (2 * (1 - kr));
  const auto code = [](double value) {
    return static_cast<int>(std::lround(std::clamp(value, 0.0, 255.0)));
  };
  if (fullRange) return {code(luma * 255), code(128 + pb * 255), code(128 + pr * 255)};
  return {code(16 + luma * 219), code(128 + pb * 224), code(128 + pr * 224)};
}

std::vector<uint8_t> floatRgba(const AVFrame* frame) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
  if (desc == nullptr || (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_BE)) != 0 ||
      (desc->nb_components != 1 && desc->nb_components != 3)) {
    return {};
  }
  const int depth = desc->comp[0].depth;
  if (depth != 8 && depth != 10) return {};
  const bool grey = desc->nb_components == 1;
  const int neutral = 1 << (depth - 1);
  std::vector<uint8_t> out(static_cast<size_t>(frame->width) * frame->height * 4);
  uint8_t* pixel = out.data();
  for (int y = 0; y < frame->height; y++) {
    for (int x = 0; x < frame->width; x++, pixel += 4) {
      const int cx = x >> desc->log2_chroma_w;
      const int cy = y >> desc->log2_chroma_h;
      const int u = grey ? neutral : sampleAt(frame, 1, cx, cy, depth);
      const int v = grey ? neutral : sampleAt(frame, 2, cx, cy, depth);
      const auto rgb = textbookRgb(sampleAt(frame, 0, x, y, depth), u, v, depth,
                                   frame->colorspace, fullRange(frame));
      pixel[0] = static_cast<uint8_t>(rgb[0]);
      pixel[1] = static_cast<uint8_t>(rgb[1]);
      pixel[2] = static_cast<uint8_t>(rgb[2]);
      pixel[3] = 0xFF;
    }
  }
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

double largestMeanShift(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 256;
  double sums[3] = {0, 0, 0};
  for (size_t i = 0; i < a.size(); i += 4) {
    for (size_t c = 0; c < 3; c++) sums[c] += a[i + c] - b[i + c];
  }
  const double pixels = static_cast<double>(a.size() / 4);
  double largest = 0;
  for (double sum : sums) largest = std::max(largest, std::abs(sum / pixels));
  return largest;
}

int largestDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return 256;
  int largest = 0;
  for (size_t i = 0; i < a.size(); i += 4) {
    for (size_t c = 0; c < 3; c++) largest = std::max(largest, std::abs(a[i + c] - b[i + c]));
  }
  return largest;
}

}  // namespace qn::testing
