// Edits of encoded elementary streams, as a live viewer or a hostile peer
// would present them: joined mid-stream, spliced across a size change, or
// with parameter sets that declare another picture size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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

/// `count` filler data NAL units (H.264 type 12, H.265 type 38), five bytes each: a
/// flood of NAL units that makes no picture.
std::vector<uint8_t> fillerNalUnits(AVCodecID codec, size_t count);

/// One filler data NAL unit (H.264 type 12, H.265 type 38) of `size` 0xFF payload bytes:
/// bulk that makes no picture.
std::vector<uint8_t> bigFillerNalUnit(AVCodecID codec, size_t size);

/// Writes the access units (Annex B) as the packets of a file made by FFmpeg's muxer
/// `muxer` ("mp4", "matroska"), 25 a second, with the parameter sets of the first unit as
/// the stream's extradata: the muxer stores them the container's way. `tracks` streams
/// each carry all the units.
bool writeMuxed(const std::string& path, const char* muxer, AVCodecID codec, int width,
                int height, const std::vector<std::vector<uint8_t>>& units, int tracks = 1);

/// The bytes in chunks of `size` (the last one shorter), as a network delivers them.
std::vector<std::vector<uint8_t>> cutInto(const std::vector<uint8_t>& bytes, size_t size);

}  // namespace qn::testing
