// The parser and decoder pair of the tools that decode a raw elementary stream.
#pragma once

#include "tools/ffmpeg_handles.h"
#include "tools/tool_log.h"

namespace qn::tools {

/// Finds the decoder of `codec`, makes its parser and opens a context for it, logging
/// the step that failed; false then, with what was made so far held by the handles.
inline bool openParsingDecoder(AVCodecID codec, Parser* parser, CodecContext* context) {
  const AVCodec* decoder = avcodec_find_decoder(codec);
  if (decoder == nullptr) {
    TOOL_LOG("Codec not found\n");
    return false;
  }
  parser->reset(av_parser_init(decoder->id));
  if (!*parser) {
    TOOL_LOG("avCodecParserContext not found\n");
    return false;
  }
  context->reset(avcodec_alloc_context3(decoder));
  if (!*context) {
    TOOL_LOG("Could not allocate avCodecContext\n");
    return false;
  }
  if (avcodec_open2(context->get(), decoder, nullptr) < 0) {
    TOOL_LOG("Could not open avCodec\n");
    return false;
  }
  return true;
}

}  // namespace qn::tools
