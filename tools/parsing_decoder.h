// What the tools that decode a raw elementary stream (decodeVideo, decodeAudio) share:
// their parser and decoder pair, and the opening of their input and output files.
#pragma once

#include <cerrno>

#include "tools/ffmpeg_handles.h"
#include "tools/picked_file.h"
#include "tools/tool_log.h"
#include "tools/tool_output.h"

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
  // A stream's pictures may hold no more memory than a live decoder's.
  if (!limitPictureMemory(context->get()) || avcodec_open2(context->get(), decoder, nullptr) < 0) {
    TOOL_LOG("Could not open avCodec\n");
    return false;
  }
  return true;
}

/// Opens the input stream file; false after "Could not open in file" and the system's
/// text, or after the refusal line of a file that is not a regular one.
inline bool openStreamInput(InputFile* input, const char* path) {
  const int opened = input->open(path);
  if (opened >= 0) return true;
  if (!input->refused()) {
    errno = AVUNERROR(opened);
    logWithErrno("Could not open in file\n");
  }
  return false;
}

/// Makes the new file for an output name: its descriptor, or -1 after "Could not open out
/// file" and the system's text, or after the refusal line of the input or a non-file.
inline int createStreamOutput(OutputFiles* files, const char* name) {
  const int descriptor = files->create(name);
  // The input itself, or no regular file, is refused with its own line (EINVAL).
  if (descriptor < 0 && errno != EINVAL) logWithErrno("Could not open out file\n");
  return descriptor;
}

}  // namespace qn::tools
