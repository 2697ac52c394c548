// Rules of the tools that copy packets into a muxed file without decoding
// (extraction and remux): timestamps, what a muxer can carry, finishing the file.
#pragma once

#include <cstdint>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

namespace qn::tools {

/// Converts a packet's pts, dts and duration between time bases, to the nearest value;
/// AV_NOPTS_VALUE stays as it is, so missing timestamps remain missing.
void rescalePacketTimes(AVPacket* packet, AVRational from, AVRational to);

/// True when the muxer writes a bare stream of its one own codec: no container, no
/// timestamps, no tag table (raw H.264, H.265, ADTS, PCM ...). Newer FFmpeg says so in
/// avformat_query_codec; 5.1 answers "unknown" for every other codec.
bool writesOnlyItsOwnCodec(const AVOutputFormat* muxer);

/// False when the muxer says it cannot carry the codec; an unknown answer counts as yes,
/// except from a muxer that writes only its own codec.
bool muxerCarries(const AVOutputFormat* muxer, AVCodecID codec);

/// True when the output can carry every one of its streams; else false after one line
/// naming the first stream it cannot.
bool outputCarriesStreams(const AVFormatContext* output);

/// The results of finishing a muxed file: the trailer's and the file closing's.
struct FinishedOutput {
  int trailer;
  int closed;
};

/// Writes the trailer and closes the file the tool opened. A full disk often shows
/// only here: a muxer such as Matroska holds its data until the trailer.
FinishedOutput finishOutputFile(AVFormatContext* output);

/// What a copy checks of the packets it takes from its input: together they never hold
/// more bytes than the input file (a crafted index can hand out the same bytes again
/// and again), none is marked corrupt, and at the end every packet that an MP4 index
/// promised for a copied stream came.
class CopyAccount {
 public:
  /// `copied` holds, for each input stream, whether the copy takes its packets.
  CopyAccount(const AVFormatContext* input, int64_t inputBytes, std::vector<bool> copied);

  /// Counts a packet of a copied stream about to be written; false after one line when it
  /// is corrupt or would bring the bytes copied over the size of the input file.
  bool admit(const AVPacket* packet, const char* inputName);
  /// True at the end of the input when every copied stream of an MP4 (MOV, M4A, 3GP)
  /// gave as many packets as its index promised; else false after one line.
  bool whole() const;

 private:
  const AVFormatContext* input_;
  int64_t bytesLeft_;
  std::vector<bool> copied_;
  std::vector<int64_t> packets_;
};

}  // namespace qn::tools
