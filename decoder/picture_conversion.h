// Conversion of a decoded picture into ARGB_8888 bitmap pixels (R, G, B, A in
// memory) with libyuv, honouring the picture's pixel format, matrix and range.
#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
}

namespace qn {

/// True if pictures of this pixel format can be converted.
bool isConvertibleFormat(int format);

/// True if every plane the frame's format uses has a pointer (plane 0 for a
/// format that cannot be converted).
bool hasPlanePointers(const AVFrame* frame);

/// True if every plane the frame's format uses has a line size above 0.
bool hasPositiveLineSizes(const AVFrame* frame);

/// True if the frame's format is convertible and its planes and line sizes
/// cover the frame's own width x height.
bool canConvert(const AVFrame* frame);

/// Converts the frame at its own width x height into `pixels`, rows `pixelStride`
/// bytes apart; returns libyuv's result (0 on success), or -1 if !canConvert(frame).
int convertToAbgrPixels(const AVFrame* frame, uint8_t* pixels, int pixelStride);

/// FFmpeg's name of the frame's pixel format, "unknown" for a format it cannot name.
const char* pixelFormatName(const AVFrame* frame);

}  // namespace qn
