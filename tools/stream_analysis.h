// Stream analysis of a picked file held to the live decoder's bounds: the same
// picture limit and picture budget, and no access unit of more NAL units than one
// packet may hold.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include "tools/picked_file.h"

namespace qn::tools {

/// What a tool does with the media after its analysis.
enum class AnalysisFor {
  kListing,  // only what the analysis found is used
  kCopy,     // every packet is read on
};

/// avformat_find_stream_info of the picked media with the live decoder's picture limit on
/// every stream's decoder, after a trial of its video streams as far as the analysis
/// decodes them: a raw H.264/H.265 stream, or a container's streams (read again from the
/// file's start), with an access unit or packet of more than qn::kMaxNalUnits NAL units is
/// refused with AVERROR_INVALIDDATA, one whose pictures outgrow the picture budget with
/// AVERROR(ENOMEM); a container's streams share one budget, as their decoders hold their
/// pictures at once.
/// For a copy, a container's Annex B H.265 streams, whose every access unit FFmpeg's parser
/// splits while the packets are read, are counted to the end. 0 or more, or the error; the
/// media's demuxer reads on as if there was no trial.
int analyseStreams(PickedMedia& media, AnalysisFor use);

/// True when decoding the first access units of the raw stream of `codec`, as far as the
/// analysis decodes, takes a decoder past its picture budget; goes back where it was.
bool outgrowsPictureBudget(AVIOContext* stream, AVCodecID codec);

/// True when the raw H.264 (or H.265) stream holds an access unit of more than
/// qn::kMaxNalUnits NAL units; reads it from the start, then goes back where it was.
bool holdsFloodedAccessUnit(AVIOContext* stream, bool hevc);

}  // namespace qn::tools
