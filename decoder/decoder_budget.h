// What one decoder may cost, by the work it is given: the memory of the
// pictures it holds, and the number of NAL units in one packet. Any
// AVCodecContext can take the picture budget (the live decoder and each decoder
// a media tool opens); the NAL unit bound is checked before bytes reach FFmpeg.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace qn {

/// Picture memory one decoder may hold at once: 256 MiB. A 4096x4096 8-bit
/// 4:2:0 stream (24 MiB a picture) fits with 8 reference pictures, a
/// 3840x2160 one with 16; a 4096x4096 4:4:4 10-bit stream keeps only 2.
constexpr int64_t kMaxPictureBytes = int64_t{256} << 20;

/// NAL units one packet may hold: far above the slices of any real picture
/// (H.265 allows 600 slice segments, an H.264 encoder cutting 1,400-byte slices
/// makes about 3,000 for a 4 MB picture). FFmpeg 5.1 keeps 4 KiB for every NAL
/// unit of a packet it splits, for the decoder's life.
constexpr size_t kMaxNalUnits = 8192;

/// Gives a decoder context a get_buffer2 that counts the picture memory it holds
/// and refuses (ENOMEM) a picture that would take it past kMaxPictureBytes; the
/// pictures themselves come from FFmpeg's default. Call before avcodec_open2; the
/// context's `opaque` then belongs to the budget, and freeDecoderContext frees
/// both. With `sharedWith` (a context that has a budget) the two share one budget:
/// decoders that hold their pictures at once, as the streams of one file do in its
/// analysis, are held to it together. False (context unchanged) when out of memory.
bool limitPictureMemory(AVCodecContext* context, const AVCodecContext* sharedWith = nullptr);

/// Picture bytes the context's decoder holds now (0 without a budget).
int64_t pictureBytesHeld(const AVCodecContext* context);

/// True once the context's budget has refused a picture.
bool pictureBudgetRefused(const AVCodecContext* context);

/// avcodec_free_context, then the context's share of its picture budget, if it has
/// one: pictures still referenced elsewhere keep the budget alive until they go.
void freeDecoderContext(AVCodecContext** context);

/// Counts NAL unit start codes (00 00 01) in consecutive pieces of one byte
/// stream, a start code split between two pieces included.
class NalStartCounter {
 public:
  /// Length of the longest head of `data` (the next piece) in which at most
  /// `allowed` start codes end; it stops short of the next one's zeros.
  size_t headWithin(const uint8_t* data, size_t size, size_t allowed) const;
  /// Takes `data` as the next piece; returns the number of start codes ending in it.
  size_t take(const uint8_t* data, size_t size);
  /// Forgets the zeros that ended the last piece: the next piece starts a new stream.
  void restart() { zeros_ = 0; }

 private:
  int zeros_ = 0;  // zero bytes that ended the pieces so far, up to 2
};

/// Number of NAL unit start codes in one packet, counting no further than `limit` + 1.
size_t nalUnitsIn(const uint8_t* data, size_t size, size_t limit);

}  // namespace qn
