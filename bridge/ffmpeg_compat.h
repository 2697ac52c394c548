// The few FFmpeg members that no release from 5.1 to 9.0 has in common. Each
// helper picks its member with FFmpeg's own version macros, so that the code
// that calls it stays one text for every release.
#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/version.h>
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

// libavcodec 60.2 (FFmpeg 6.0) counts returned pictures in the 64-bit frame_num.
#define QN_HAS_FRAME_NUM (LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 2, 100))
// libavcodec 61.13 (FFmpeg 7.1) asks the encoder for its supported values;
// the lists in AVCodec are gone from FFmpeg 9 (libavcodec 63).
#define QN_HAS_SUPPORTED_CONFIG (LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 13, 100))

namespace qn {

// libavformat 61 (FFmpeg 7.0) hands the write callback of an AVIOContext const bytes.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
using AvioWrittenBytes = const uint8_t*;
#else
using AvioWrittenBytes = uint8_t*;
#endif

/// The decoder's running count of pictures avcodec_receive_frame returned (1 for the first).
inline int64_t picturesReturned(const AVCodecContext* context) {
#if QN_HAS_FRAME_NUM
  return context->frame_num;
#else
  return context->frame_number;
#endif
}

/// Tells libavcodec 59 (FFmpeg 5.1) that the context's own get_buffer2 may be called
/// from any thread; from libavcodec 60 on every get_buffer2 must be, and the field is gone.
inline void markGetBufferThreadSafe(AVCodecContext* context) {
#if LIBAVCODEC_VERSION_MAJOR < 60
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  context->thread_safe_callbacks = 1;
#pragma GCC diagnostic pop
#else
  (void)context;
#endif
}

#if QN_HAS_SUPPORTED_CONFIG
/// The encoder's list of one kind of supported value, or null when it publishes none.
template <typename Value>
const Value* supportedValues(const AVCodec* encoder, AVCodecConfig kind) {
  const void* values = nullptr;
  int count = 0;
  if (avcodec_get_supported_config(nullptr, encoder, kind, 0, &values, &count) < 0) return nullptr;
  return static_cast<const Value*>(values);
}
// An encoder's list of supported values: asked for by kind...
#define QN_ENCODER_LIST(encoder, Value, member, kind) supportedValues<Value>(encoder, kind)
#else
// ...or read from the member that publishes it.
#define QN_ENCODER_LIST(encoder, Value, member, kind) (encoder)->member
#endif

/// The encoder's sample formats up to AV_SAMPLE_FMT_NONE, or null when it publishes none.
inline const AVSampleFormat* supportedSampleFormats(const AVCodec* encoder) {
  return QN_ENCODER_LIST(encoder, AVSampleFormat, sample_fmts, AV_CODEC_CONFIG_SAMPLE_FORMAT);
}

/// The encoder's sample rates up to 0, or null when it publishes none.
inline const int* supportedSampleRates(const AVCodec* encoder) {
  return QN_ENCODER_LIST(encoder, int, supported_samplerates, AV_CODEC_CONFIG_SAMPLE_RATE);
}

/// The encoder's channel layouts up to one with no channels, or null when it publishes none.
inline const AVChannelLayout* supportedChannelLayouts(const AVCodec* encoder) {
  return QN_ENCODER_LIST(encoder, AVChannelLayout, ch_layouts, AV_CODEC_CONFIG_CHANNEL_LAYOUT);
}

}  // namespace qn
