// decodeAudio: a raw AAC stream (ADTS framing) to headerless interleaved PCM,
// closed by a log line with the ffplay command that plays the result.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bridge/error_text.h"
#include "tools/ffmpeg_handles.h"
#include "tools/java_paths.h"
#include "tools/parsing_decoder.h"
#include "tools/pcm_names.h"
#include "tools/picked_file.h"
#include "tools/tool_log.h"
#include "tools/tool_output.h"
#include "tools/tools.h"
#include "tools/written_file.h"

namespace qn::tools {
namespace {

constexpr int kInputBufferSize = 20480;
constexpr int kRefillThreshold = 4096;

/// The channel count the decoder reports in its context.
int contextChannels(const AVCodecContext* context) { return context->ch_layout.nb_channels; }

/// Writes one frame's samples interleaved: instant by instant, channel by channel.
void writeInterleaved(const AVCodecContext* context, const AVFrame* frame, int sampleSize,
                      FILE* output) {
  // Never write a channel the frame does not hold, whatever the context says.
  const int frameChannels = frame->ch_layout.nb_channels;
  const int channels = std::min(contextChannels(context), frameChannels);
  const bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame->format));
  for (int i = 0; i < frame->nb_samples; i++) {
    for (int ch = 0; ch < channels; ch++) {
      // extended_data holds every plane; data[] only the first eight.
      const int offset = planar ? i * sampleSize : (i * frameChannels + ch) * sampleSize;
      const uint8_t* sample = frame->extended_data[planar ? ch : 0] + offset;
      fwrite(sample, 1, sampleSize, output);
    }
  }
}

/// Sends one packet (an empty one drains) and writes every frame it gives.
void decodeAudioPacket(AVCodecContext* context, const AVPacket* packet, AVFrame* frame,
                       FILE* output) {
  int ret = avcodec_send_packet(context, packet);
  if (ret < 0) {
    TOOL_LOGF("Error sending a packet for decoding: %s\n", qn::ErrorText(ret).text);
    return;
  }
  for (;;) {
    ret = avcodec_receive_frame(context, frame);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
    if (ret < 0) {
      TOOL_LOG("Error during decoding\n");
      return;
    }
    // The size of the samples actually held in the frame's buffers.
    const int sampleSize = av_get_bytes_per_sample(static_cast<AVSampleFormat>(frame->format));
    if (sampleSize <= 0) {
      TOOL_LOG("Failed to calculate data size\n");
      return;
    }
    writeInterleaved(context, frame, sampleSize, output);
  }
}

/// Logs the ffplay command for the file, named after the packed form of the decoder's format.
void logPlaybackHint(const AVCodecContext* context, const char* output) {
  AVSampleFormat format = context->sample_fmt;
  if (av_sample_fmt_is_planar(format)) format = av_get_packed_sample_fmt(format);
  const char* name = pcmFormatName(format);
  if (name == nullptr) {
    const char* formatName = av_get_sample_fmt_name(format);
    TOOL_LOGF("sample format %s is not supported as output format\n",
              formatName != nullptr ? formatName : "none");
    return;
  }
  TOOL_LOGF("Play the output audio file with the command:\nffplay -f %s -ac %d -ar %d %s\n", name,
            contextChannels(context), context->sample_rate, output);
}

/// Parses and decodes the whole input into output; false after a failure that skips the hint.
bool decodeStream(AVCodecContext* context, AVCodecParserContext* parser, AVPacket* packet,
                  FILE* input, FILE* output) {
  uint8_t buffer[kInputBufferSize + AV_INPUT_BUFFER_PADDING_SIZE];
  // The parser may read a little past the data; the room behind it stays zero.
  std::memset(buffer + kInputBufferSize, 0, AV_INPUT_BUFFER_PADDING_SIZE);
  Frame frame;
  size_t n = fread(buffer, 1, kInputBufferSize, input);
  const uint8_t* cursor = buffer;
  while (n != 0) {
    if (!frame) {
      frame.reset(av_frame_alloc());
      if (!frame) {
        TOOL_LOG("Could not allocate video avFrame\n");
        return false;
      }
    }
    const int used = av_parser_parse2(parser, context, &packet->data, &packet->size, cursor,
                                      static_cast<int>(n), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (used < 0) {
      TOOL_LOG("Error while parsing\n");
      return false;
    }
    cursor += used;
    n -= used;
    if (packet->size != 0) decodeAudioPacket(context, packet, frame.get(), output);
    if (n < kRefillThreshold) {
      std::memmove(buffer, cursor, n);
      cursor = buffer;
      const size_t read = fread(buffer + n, 1, kInputBufferSize - n, input);
      if (read > 0) n += read;
    }
  }
  // An empty input gave the decoder nothing: there is nothing to flush.
  if (!frame) return true;
  // The parser still holds the last frame of the stream until it is told the input ended.
  av_parser_parse2(parser, context, &packet->data, &packet->size, nullptr, 0, AV_NOPTS_VALUE,
                   AV_NOPTS_VALUE, 0);
  if (packet->size != 0) decodeAudioPacket(context, packet, frame.get(), output);
  packet->data = nullptr;
  packet->size = 0;
  decodeAudioPacket(context, packet, frame.get(), output);
  return true;
}

}  // namespace

int decodeAudio(const char* inputPath, const char* outputPath) {
  TOOL_LOG(inputPath);
  TOOL_LOG(outputPath);
  Packet packet(av_packet_alloc());
  if (!packet) return 1;  // as decodeVideo: out of memory ends the call without a line
  Parser parser;
  CodecContext context;
  if (!openParsingDecoder(AV_CODEC_ID_AAC, &parser, &context)) return 1;
  File input(fopen(inputPath, "rbe"));
  if (!input) {
    logWithErrno("Could not open in file\n");
    return 1;
  }
  if (outputIsInput(identityOf(input.get()), outputPath)) return 1;
  WrittenFile output(outputPath, "wbe");
  if (!output) {
    logWithErrno("Could not open out file\n");
    return 1;
  }
  if (!decodeStream(context.get(), parser.get(), packet.get(), input.get(), output.get())) {
    return 1;
  }
  // No playback hint for a file that is not whole or holds no samples (its rate and
  // channel count would be those of no stream).
  if (!wroteWholeStream(&output)) return 1;
  logPlaybackHint(context.get(), outputPath);
  return 0;
}

}  // namespace qn::tools

extern "C" JNIEXPORT jint JNICALL TOOL_METHOD(decodeAudio)(JNIEnv* env, jobject /*activity*/,
                              jstring input, jstring output) {
  return qn::tools::withPaths(env, input, output, 1, qn::tools::decodeAudio);
}
