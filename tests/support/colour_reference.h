// An independent reference for picture colour conversion: the textbook
// equations in double precision with the picture's own matrix and range, and
// measures of the distance between two RGBA images. Free of test-framework
// code, so the benchmarks use it too. (libswscale's default conversion is no
// reference: 35-50 dB from the truth for limited-range pictures, and on arm64
// FFmpeg 5.1 leaves the last column of odd-width 4:2:0 and 4:2:2 pictures unwritten.)
#pragma once

#include <array>
#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

namespace qn::testing {

/// The luma weights of a matrix.
struct LumaWeights {
  double kr;
  double kb;
};

/// Luma weights of a matrix as its standard defines them; BT.601's for pictures
/// that signal none or one without its own weights.
LumaWeights lumaWeights(AVColorSpace colorspace);

/// R, G, B (0..255, rounded and clamped) of one Y, U, V sample of `depth` bits by the
/// textbook equations with the given matrix and range.
std::array<int, 3> textbookRgb(int y, int u, int v, int depth, AVColorSpace colorspace, bool fullRange);

/// 8-bit Y, U, V codes (rounded, clamped to 0..255) of an R, G, B colour (0..1 each) by
/// the textbook equations with the given matrix and range.
std::array<int, 3> textbookYuv(double r, double g, double b, AVColorSpace colorspace, bool fullRange);

/// The frame converted by the textbook equations in double precision into R, G, B, A
/// bytes, rows width x 4 apart: its own matrix (BT.601 if it signals none) and
/// range, each chroma sample replicated over the luma samples it covers (as libyuv
/// does), rounded to 8 bits. Empty if the format is not 8- or 10-bit planar YUV or grey.
std::vector<uint8_t> floatRgba(const AVFrame* frame);

/// An RGBA image of width x height area-averaged to toWidth x toHeight: each
/// output pixel is the mean of the source area it covers, partly covered source
/// pixels weighted by their share; empty on bad sizes.
std::vector<uint8_t> areaScaledRgba(const std::vector<uint8_t>& rgba, int width, int height,
                                    int toWidth, int toHeight);

/// PSNR in dB over the R, G and B bytes of two same-sized RGBA images (99 if equal, 0 if sizes differ).
double rgbPsnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

/// The largest mean signed difference of a channel (R, G or B) of two same-sized
/// RGBA images: a colour shift; 256 if sizes differ.
double largestMeanShift(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

/// The largest difference of any R, G or B byte of two same-sized RGBA images (256 if sizes differ).
int largestDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

}  // namespace qn::testing
