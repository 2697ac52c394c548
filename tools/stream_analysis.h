// Stream analysis of a picked file held to the live decoder's bounds: the same
// picture limit, and no access unit of more NAL units than one packet may hold.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

namespace qn::tools {

/// avformat_find_stream_info with the live decoder's picture limit on every stream's
/// decoder, after refusing (AVERROR_INVALIDDATA) a raw H.264/H.265 stream with an
/// access unit of more than qn::kMaxNalUnits NAL units. 0 or more, or the error.
int analyseStreams(AVFormatContext* media);

/// True when decoding the first access units of the raw stream of `codec`, as far as the
/// analysis decodes, takes a decoder past its picture budget; goes back where it was.
bool outgrowsPictureBudget(AVIOContext* stream, AVCodecID codec);

/// True when the raw H.264 (or H.265) stream holds an access unit of more than
/// qn::kMaxNalUnits NAL units; reads it from the start, then goes back where it was.
bool holdsFloodedAccessUnit(AVIOContext* stream, bool hevc);

}  // namespace qn::tools
