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
#include "tools/tool_test_hooks.h"
#include "tools/tools.h"
#include "tools/written_file.h"

namespace qn::tools {
namespace {

constexpr int kInputBufferSize = 20480;
constexpr int kRefillThreshold = 4096;
/// Bytes of PCM written between two looks at the free space of the output's file system.
constexpr int64_t kFreeSpaceStep = 1024 * 1024;

/// The PCM file of one call and what is known of its writing: the frames that failed to
/// decode, and whether the free space stopped the call.
struct PcmOutput {
  WrittenFile* file;
  const char* name;
  int64_t freeSpaceMargin;
  int64_t written = 0;
  int64_t checkedUpTo = 0;  // free space was found for the bytes up to here
  int failedFrames = 0;
  bool stopped = false;
};

/// True when `bytes` more may be written; looks at the free space once per kFreeSpaceStep.
bool roomFor(PcmOutput* output, int64_t bytes) {
  if (output->written + bytes <= output->checkedUpTo) return true;
  const int64_t ahead = bytes > kFreeSpaceStep ? bytes : kFreeSpaceStep;
  if (!leavesFreeSpace(fileno(output->file->get()), output->name, ahead,
                       output->freeSpaceMargin)) {
    output->stopped = true;
    return false;
  }
  output->checkedUpTo = output->written + ahead;
  return true;
}

/// Length of an ID3v2 tag at the start of the bytes (10-byte header, synchsafe size,
/// optional 10-byte footer), 0 when there is none.
size_t id3TagLength(const uint8_t* bytes, size_t n) {
  if (n < 10 || memcmp(bytes, "ID3", 3) != 0) return 0;
  const size_t body = (size_t{bytes[6]} & 0x7F) << 21 | (size_t{bytes[7]} & 0x7F) << 14 |
                      (size_t{bytes[8]} & 0x7F) << 7 | (size_t{bytes[9]} & 0x7F);
  return 10 + body + ((bytes[5] & 0x10) ? 10 : 0);
}

/// True when the bytes start with an ADTS header (after an ID3v2 tag, if any): the
/// 12-bit sync word and MPEG layer 0. An MPEG-TS, MP4 or MP3 file does not.
bool startsAsAdts(const uint8_t* bytes, size_t n) {
  const size_t at = id3TagLength(bytes, n);
  return at + 2 <= n && bytes[at] == 0xFF && (bytes[at + 1] & 0xF6) == 0xF0;
}

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

/// Sends one packet (an empty one drains) and writes every frame it gives; a frame that
/// fails is counted.
void decodeAudioPacket(AVCodecContext* context, const AVPacket* packet, AVFrame* frame,
                       PcmOutput* output) {
  int ret = avcodec_send_packet(context, packet);
  if (ret < 0) {
    TOOL_LOGF("Error sending a packet for decoding: %s\n", qn::ErrorText(ret).text);
    output->failedFrames++;
    return;
  }
  for (;;) {
    ret = avcodec_receive_frame(context, frame);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
    if (ret < 0) {
      TOOL_LOG("Error during decoding\n");
      output->failedFrames++;
      return;
    }
    // The size of the samples actually held in the frame's buffers.
    const int sampleSize = av_get_bytes_per_sample(static_cast<AVSampleFormat>(frame->format));
    if (sampleSize <= 0) {
      TOOL_LOG("Failed to calculate data size\n");
      output->failedFrames++;
      return;
    }
    const int64_t bytes = int64_t{frame->nb_samples} * frame->ch_layout.nb_channels * sampleSize;
    if (!roomFor(output, bytes)) return;
    writeInterleaved(context, frame, sampleSize, output->file->get());
    output->written += bytes;
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
                  InputFile* input, PcmOutput* output) {
  uint8_t buffer[kInputBufferSize + AV_INPUT_BUFFER_PADDING_SIZE];
  // The parser may read a little past the data; the room behind it stays zero.
  std::memset(buffer + kInputBufferSize, 0, AV_INPUT_BUFFER_PADDING_SIZE);
  Frame frame;
  const int first = input->read(buffer, kInputBufferSize);
  size_t n = first > 0 ? static_cast<size_t>(first) : 0;
  const uint8_t* cursor = buffer;
  while (n != 0 && !output->stopped) {
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
      const int read = input->read(buffer + n, static_cast<int>(kInputBufferSize - n));
      if (read > 0) n += static_cast<size_t>(read);
    }
  }
  // An empty input gave the decoder nothing: there is nothing to flush.
  if (!frame || output->stopped) return true;
  // The parser still holds the last frame of the stream until it is told the input ended.
  av_parser_parse2(parser, context, &packet->data, &packet->size, nullptr, 0, AV_NOPTS_VALUE,
                   AV_NOPTS_VALUE, 0);
  if (packet->size != 0) decodeAudioPacket(context, packet, frame.get(), output);
  packet->data = nullptr;
  packet->size = 0;
  decodeAudioPacket(context, packet, frame.get(), output);
  return true;
}

/// True when the input starts as an ADTS stream (or is empty); else false after one line.
bool inputIsAdts(InputFile* input, const char* name) {
  uint8_t head[kInputBufferSize];
  const int n = input->read(head, sizeof head);
  input->seek(0, SEEK_SET);
  if (n <= 0 || startsAsAdts(head, static_cast<size_t>(n))) return true;
  TOOL_LOGF("Refused to decode %s: it is not an ADTS AAC stream\n", name);
  return false;
}

}  // namespace

int decodeAudioLeaving(const char* inputPath, const char* outputPath, int64_t freeSpaceMargin) {
  TOOL_LOG(inputPath);
  TOOL_LOG(outputPath);
  Packet packet(av_packet_alloc());
  if (!packet) return 1;  // as decodeVideo: out of memory ends the call without a line
  Parser parser;
  CodecContext context;
  if (!openParsingDecoder(AV_CODEC_ID_AAC, &parser, &context)) return 1;
  InputFile input;
  if (!openStreamInput(&input, inputPath) || !inputIsAdts(&input, inputPath)) return 1;
  OutputFiles made(input.identity());
  const int descriptor = createStreamOutput(&made, outputPath);
  if (descriptor < 0) return 1;
  WrittenFile output(descriptor, outputPath);
  if (!output) {
    logWithErrno("Could not open out file\n");
    return 1;
  }
  PcmOutput pcm{&output, outputPath, freeSpaceMargin};
  if (!decodeStream(context.get(), parser.get(), packet.get(), &input, &pcm)) return 1;
  // No playback hint for a file that is not whole or holds no samples (its rate and
  // channel count would be those of no stream).
  if (!wroteWholeStream(&output) || pcm.failedFrames > 0 || pcm.stopped) return 1;
  if (!made.keep()) return 1;
  logPlaybackHint(context.get(), outputPath);
  return 0;
}

int decodeAudio(const char* inputPath, const char* outputPath) {
  return decodeAudioLeaving(inputPath, outputPath, kFreeSpaceMargin);
}

}  // namespace qn::tools

extern "C" JNIEXPORT jint JNICALL TOOL_METHOD(decodeAudio)(JNIEnv* env, jobject /*activity*/,
                              jstring input, jstring output) {
  return qn::tools::withPaths(env, input, output, 1, qn::tools::decodeAudio);
}
