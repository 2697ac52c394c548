// Independent audio decode for the audio tool tests: libavformat demuxes the file
// (finding the codec itself), libavcodec decodes to the end and the samples are
// packed into interleaved bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "tests/support/android_log.h"

namespace qn::testing {

/// What a file decodes to: codec, layout and every sample interleaved.
struct DecodedAudio {
  std::string codec;
  AVSampleFormat format = AV_SAMPLE_FMT_NONE;  // the decoder's own (often planar) format
  int channels = 0;
  int sampleRate = 0;
  int64_t samplesPerChannel = 0;
  std::vector<uint8_t> interleaved;
};

/// Appends a frame's samples, instant by instant, channel by channel.
inline void appendInterleaved(const AVFrame* frame, DecodedAudio* out) {
  const auto format = static_cast<AVSampleFormat>(frame->format);
  const int size = av_get_bytes_per_sample(format);
  const int channels = frame->ch_layout.nb_channels;
  const bool planar = av_sample_fmt_is_planar(format);
  for (int i = 0; i < frame->nb_samples; i++) {
    for (int ch = 0; ch < channels; ch++) {
      const uint8_t* p = planar ? frame->extended_data[ch] + i * size
                                : frame->extended_data[0] + (i * channels + ch) * size;
      out->interleaved.insert(out->interleaved.end(), p, p + size);
    }
  }
  out->samplesPerChannel += frame->nb_samples;
}

/// Receives every frame the decoder has ready.
inline void receiveAll(AVCodecContext* context, AVFrame* frame, DecodedAudio* out) {
  while (avcodec_receive_frame(context, frame) == 0) {
    appendInterleaved(frame, out);
    av_frame_unref(frame);
  }
}

/// Decodes the first audio stream of a file; fails the test if it cannot.
inline DecodedAudio referenceAudioDecode(const std::string& path) {
  DecodedAudio out;
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0) {
    ADD_FAILURE() << "cannot open " << path;
    return out;
  }
  avformat_find_stream_info(input, nullptr);
  const AVCodec* decoder = nullptr;
  const int stream = av_find_best_stream(input, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
  AVCodecContext* context = stream >= 0 ? avcodec_alloc_context3(decoder) : nullptr;
  if (context == nullptr ||
      avcodec_parameters_to_context(context, input->streams[stream]->codecpar) < 0 ||
      avcodec_open2(context, decoder, nullptr) < 0) {
    ADD_FAILURE() << "cannot decode " << path;
    avcodec_free_context(&context);
    avformat_close_input(&input);
    return out;
  }
  out.codec = decoder->name;
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  while (av_read_frame(input, packet) >= 0) {
    if (packet->stream_index == stream && avcodec_send_packet(context, packet) == 0) {
      receiveAll(context, frame, &out);
    }
    av_packet_unref(packet);
  }
  avcodec_send_packet(context, nullptr);
  receiveAll(context, frame, &out);
  out.format = context->sample_fmt;
  out.channels = context->ch_layout.nb_channels;
  out.sampleRate = context->sample_rate;
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  avformat_close_input(&input);
  return out;
}

}  // namespace qn::testing
