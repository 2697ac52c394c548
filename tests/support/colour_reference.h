// An independent reference for picture colour conversion: libswscale with the
// picture's own matrix and range, and the PSNR between two RGBA images. Free of
// test-framework code, so the benchmarks use it too.
#pragma once

#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
}

namespace qn::testing {

/// The frame converted by libswscale (default bicubic flags) into R, G, B, A
/// bytes, rows width x 4 apart, with the frame's matrix and range; empty on failure.
std::vector<uint8_t> swscaleRgba(const AVFrame* frame);

/// An RGBA image of width x height area-averaged to toWidth x toHeight: each
/// output pixel is the mean of the source area it covers, partly covered source
/// pixels weighted by their share; empty on bad sizes.
std::vector<uint8_t> areaScaledRgba(const std::vector<uint8_t>& rgba, int width, int height,
                                    int toWidth, int toHeight);

/// PSNR in dB over the R, G and B bytes of two same-sized RGBA images (99 if equal, 0 if sizes differ).
double rgbPsnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

}  // namespace qn::testing
