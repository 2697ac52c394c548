// The tools' FFmpeg resource handles: each starts empty and releases what it holds.
#pragma once

#include <cstdio>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
}

#include "decoder/decoder_budget.h"

namespace qn::tools {

struct InputContextCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
/// Frees a codec context, and its picture budget when it has one.
struct CodecContextFreer {
  void operator()(AVCodecContext* context) const { qn::freeDecoderContext(&context); }
};
struct FrameFreer {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFreer {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ParserCloser {
  void operator()(AVCodecParserContext* parser) const { av_parser_close(parser); }
};
struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
/// True if the tool opens and closes the output file itself: muxers with
/// AVFMT_NOFILE (image sequences, a single picture) open their own files.
inline bool toolOpensOutputFile(const AVFormatContext* output) {
  return output->oformat != nullptr && !(output->oformat->flags & AVFMT_NOFILE);
}
/// Closes the file the tool opened for the muxer (if still open) by the output's own
/// close function, which matches the open; 0 or the first write or close error.
inline int closeToolOpenedFile(AVFormatContext* output) {
  if (!toolOpensOutputFile(output) || output->pb == nullptr) return 0;
  AVIOContext* pb = output->pb;
  output->pb = nullptr;
  return output->io_close2(output, pb);
}
/// An output context: closes the file the tool opened (if still open), then frees it.
struct OutputContextFreer {
  void operator()(AVFormatContext* context) const {
    closeToolOpenedFile(context);
    avformat_free_context(context);
  }
};

using InputContext = std::unique_ptr<AVFormatContext, InputContextCloser>;
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFreer>;
using Frame = std::unique_ptr<AVFrame, FrameFreer>;
using Packet = std::unique_ptr<AVPacket, PacketFreer>;
using Parser = std::unique_ptr<AVCodecParserContext, ParserCloser>;
using File = std::unique_ptr<FILE, FileCloser>;
using OutputContext = std::unique_ptr<AVFormatContext, OutputContextFreer>;

/// A packet held by the call itself (not av_packet_alloc'ed), reused for every read;
/// whatever it still references is released when the holder goes.
class HeldPacket {
 public:
  HeldPacket() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    av_init_packet(&packet_);
#pragma GCC diagnostic pop
    packet_.data = nullptr;
    packet_.size = 0;
  }
  ~HeldPacket() { av_packet_unref(&packet_); }
  HeldPacket(const HeldPacket&) = delete;
  HeldPacket& operator=(const HeldPacket&) = delete;

  AVPacket* get() { return &packet_; }

 private:
  AVPacket packet_;
};

/// An options dictionary, freed when the holder goes.
class Options {
 public:
  Options() = default;
  ~Options() { av_dict_free(&dictionary_); }
  Options(const Options&) = delete;
  Options& operator=(const Options&) = delete;

  void set(const char* key, const char* value) { av_dict_set(&dictionary_, key, value, 0); }
  AVDictionary** get() { return &dictionary_; }

 private:
  AVDictionary* dictionary_ = nullptr;
};

}  // namespace qn::tools
