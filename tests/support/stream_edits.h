// Edits of encoded elementary streams, as a live viewer or a hostile peer
// would present them: joined mid-stream, spliced across a size change, or
// with parameter sets that declare another picture size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tests/support/media.h"

namespace qn::testing {

/// A camera-like stream: a key frame every 8 pictures, parameter sets repeated at each.
EncodedStream cameraStream(AVCodecID codec, int bFrames, int width, int height, int frames);

/// The stream from access unit `firstUnit` on: what a viewer joining there receives.
EncodedStream joinedAt(const EncodedStream& stream, size_t firstUnit);

/// The streams one after another, as a camera that changes its picture size sends them.
EncodedStream spliced(const std::vector<EncodedStream>& parts);

/// The stream with every sequence parameter set rewritten to declare width x height
/// (H.264: in macroblocks, so both are rounded up to 16); slices are left as they are.
std::vector<uint8_t> withDeclaredSize(const std::vector<uint8_t>& stream, AVCodecID codec,
                                      int width, int height);

/// The stream with every sequence parameter set cropping `left` and `right` luma
/// columns (even counts: 4:2:0 crops in pairs) and nothing at the top or bottom.
std::vector<uint8_t> withCroppingWindow(const std::vector<uint8_t>& stream, AVCodecID codec,
                                        int left, int right);

}  // namespace qn::testing
