// Common rules of the demo activity's media tools. Each tool is split into a
// JNI-free core (declared here, testable without a JVM) and its JNI entry
// point, which takes the path texts and hands them to the core.
#pragma once

#include <android/log.h>
#include <jni.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/common.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

#include "bridge/bridge.h"
#include "bridge/error_text.h"

#define TOOL_METHOD(name) Java_com_example_avbench_MainActivity_##name

/// Logs a fixed text at priority 6 under the tag that TAG points to, read at each call.
#define TOOL_LOG(text) __android_log_write(ANDROID_LOG_ERROR, TAG, text)
/// Logs a formatted text at priority 6 under TAG.
#define TOOL_LOGF(...) __android_log_print(ANDROID_LOG_ERROR, TAG, __VA_ARGS__)

namespace qn::tools {

// ---- Resource handles: each starts empty and releases what it holds. ----

struct InputContextCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct CodecContextFreer {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
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
/// An output context: closes the file the tool opened (if still open), then frees it.
struct OutputContextFreer {
  void operator()(AVFormatContext* context) const {
    if (toolOpensOutputFile(context)) avio_closep(&context->pb);
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

/// The results of finishing a muxed file: the trailer's and the file closing's.
struct FinishedOutput {
  int trailer;
  int closed;
};

/// Writes the trailer and closes the file the tool opened. A full disk often shows
/// only here: a muxer such as Matroska holds its data until the trailer.
inline FinishedOutput finishOutputFile(AVFormatContext* output) {
  const int trailer = av_write_trailer(output);
  const int closed = toolOpensOutputFile(output) ? avio_closep(&output->pb) : 0;
  return {trailer, closed};
}

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

/// Converts a packet's pts, dts and duration between time bases, to the nearest value;
/// AV_NOPTS_VALUE stays as it is, so missing timestamps remain missing.
inline void rescalePacketTimes(AVPacket* packet, AVRational from, AVRational to) {
  const auto rounding = static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX);
  packet->pts = av_rescale_q_rnd(packet->pts, from, to, rounding);
  packet->dts = av_rescale_q_rnd(packet->dts, from, to, rounding);
  packet->duration = av_rescale_q_rnd(packet->duration, from, to, rounding);
}

/// Text of a Java path string (modified UTF-8), released when the holder goes.
class JavaPath {
 public:
  JavaPath(JNIEnv* env, jstring path) : env_(env), path_(path), text_(textOf(env, path)) {}
  ~JavaPath() {
    if (text_ != nullptr) env_->ReleaseStringUTFChars(path_, text_);
  }
  JavaPath(const JavaPath&) = delete;
  JavaPath& operator=(const JavaPath&) = delete;

  /// Null when the JVM could not give the text or the path was null; an exception is then pending.
  const char* text() const { return text_; }

 private:
  /// GetStringUTFChars, except that a null string (which would crash it) throws the usual NPE.
  static const char* textOf(JNIEnv* env, jstring path) {
    if (path != nullptr) return env->GetStringUTFChars(path, nullptr);
    jclass npe = env->FindClass("java/lang/NullPointerException");
    if (npe == nullptr) return nullptr;  // FindClass's own error is pending
    env->ThrowNew(npe, "path");
    env->DeleteLocalRef(npe);
    return nullptr;
  }

  JNIEnv* env_;
  jstring path_;
  const char* text_;
};

/// Runs a tool core with the text of one Java path; `failure` when the text
/// cannot be had (its exception then stays pending for the Java caller).
template <typename Core>
jint withPath(JNIEnv* env, jstring path, jint failure, Core core) {
  const JavaPath text(env, path);
  if (text.text() == nullptr) return failure;
  return core(text.text());
}

/// Runs a tool core with the texts of two Java paths, taken first to second.
template <typename Core>
jint withPaths(JNIEnv* env, jstring first, jstring second, jint failure, Core core) {
  const JavaPath firstText(env, first);
  if (firstText.text() == nullptr) return failure;
  const JavaPath secondText(env, second);
  if (secondText.text() == nullptr) return failure;
  return core(firstText.text(), secondText.text());
}

/// Raw-PCM format names of the ffplay command line for one packed sample format.
struct PcmFormatName {
  AVSampleFormat format;
  const char* bigEndian;
  const char* littleEndian;
};

/// Packed sample formats the playback hints can name, indexed by their value.
inline constexpr PcmFormatName pcmFormatNames[] = {
    {AV_SAMPLE_FMT_U8, "u8", "u8"},
    {AV_SAMPLE_FMT_S16, "s16be", "s16le"},
    {AV_SAMPLE_FMT_S32, "s32be", "s32le"},
    {AV_SAMPLE_FMT_FLT, "f32be", "f32le"},
    {AV_SAMPLE_FMT_DBL, "f64be", "f64le"},
};

/// The raw-PCM name of a packed format in this machine's byte order, or null.
inline const char* pcmFormatName(AVSampleFormat format) {
  const int index = static_cast<int>(format);
  if (index < 0 || index >= static_cast<int>(sizeof pcmFormatNames / sizeof pcmFormatNames[0])) {
    return nullptr;
  }
  const PcmFormatName& row = pcmFormatNames[index];
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return row.bigEndian;
#else
  return row.littleEndian;
#endif
}

/// Draws test pattern picture `index` into 8-bit 4:2:0 planes of width x height:
/// Y = x + y + 3i, Cb = 128 + y + 2i, Cr = 64 + x + 5i, each modulo 256.
inline void fillTestPattern(uint8_t* const planes[], const int lineSizes[], int width, int height,
                            int index) {
  for (int y = 0; y < height; y++) {
    uint8_t* row = planes[0] + y * lineSizes[0];
    for (int x = 0; x < width; x++) row[x] = static_cast<uint8_t>(x + y + 3 * index);
  }
  for (int y = 0; y < height / 2; y++) {
    uint8_t* cb = planes[1] + y * lineSizes[1];
    uint8_t* cr = planes[2] + y * lineSizes[2];
    for (int x = 0; x < width / 2; x++) {
      cb[x] = static_cast<uint8_t>(128 + y + 2 * index);
      cr[x] = static_cast<uint8_t>(64 + x + 5 * index);
    }
  }
}

// ---- Tool cores: the whole work of each tool, given its path texts. ----

/// Logs the path and the container metadata of a media file.
void printFileInfo(const char* path);
/// Copies the best stream of `type` (audio or video) of input into a one-stream file.
void extractStream(const char* input, const char* output, AVMediaType type);
/// Remuxes input into output's container; 0 when the whole input was copied and the
/// file completed, else 1.
int remux(const char* input, const char* output);
/// Decodes a raw H.264 stream, saving every 20th picture as prefix-N.yuv; always 0.
int decodeVideo(const char* input, const char* prefix);
/// Encodes the 25-picture test pattern into a raw H.264 stream; always 0.
int encodeVideo(const char* output);
/// Decodes a raw AAC (ADTS) stream into interleaved raw PCM; always 0.
int decodeAudio(const char* input, const char* output);
/// Encodes 200 frames of a 440 Hz tone into a raw MP2 stream; always 0.
int encodeAudio(const char* output);
/// Resamples a generated stereo 48 kHz tone into 3-channel 44.1 kHz s16 PCM; 0 or 1.
int resampleAudio(const char* output);
/// Scales 100 generated 320x240 pictures to 640x480 RGB24; 0 or 1.
int scaleVideo(const char* output);

// ---- Inner steps of the video tools, exposed for their tests. ----

/// Sends one packet (null drains) and saves every 20th picture the decoder returns.
void decodeVideoPacket(AVCodecContext* context, AVFrame* picture, const AVPacket* packet,
                       const char* prefix);
/// True when the picture's memory holds the 8-bit 4:2:0 planes a .yuv picture file takes.
bool pictureFitsFile(const AVFrame* picture);
/// Sends one picture (null drains) and writes every packet the encoder returns to output.
void encodeVideoFrame(AVCodecContext* context, const AVFrame* picture, AVPacket* packet,
                      FILE* output);

// ---- Inner rules of the audio encoder, exposed for their tests. ----

/// The rate nearest to 44100 of a 0-terminated list (first of equals); 44100 for no list.
int chooseSampleRate(const int* rates);
/// The layout with the most channels of a 0-terminated list (first of equals); stereo for no list.
uint64_t chooseChannelLayout(const uint64_t* layouts);
/// Fills n instants of c interleaved channels with the 440 Hz tone, advancing the phase.
void fillTone(int16_t* samples, int n, int channels, float* phase, float step);

/// The number of channels of a 64-bit channel mask: one per bit.
inline int layoutChannelCount(uint64_t layout) { return av_popcount64(layout); }

/// Logs a failure line, then the system's text for the errno that caused it.
inline void logWithErrno(const char* line) {
  const int error = errno;  // the log call may change errno
  TOOL_LOG(line);
  TOOL_LOG(strerror(error));
}

/// The short-write line of the tools that answer 1 for a file not written whole.
inline constexpr const char* kDestinationWriteFailure = "Could not write destination file %s\n";

/// A file a tool writes, opened with fopen. Closing it (explicitly, or when the holder
/// goes) logs one line naming the file if any write to it failed (a full disk): stdio
/// keeps the error, so the writers need not check every fwrite.
class WrittenFile {
 public:
  /// `failureLine` is a format that takes the path.
  WrittenFile(const char* path, const char* mode, const char* failureLine = "Could not write %s\n")
      : path_(path), failureLine_(failureLine), file_(fopen(path, mode)) {}
  ~WrittenFile() { close(); }
  WrittenFile(const WrittenFile&) = delete;
  WrittenFile& operator=(const WrittenFile&) = delete;

  FILE* get() const { return file_; }
  explicit operator bool() const { return file_ != nullptr; }

  /// Flushes and closes the file; false (after the line) when not every byte reached it.
  bool close() {
    if (file_ == nullptr) return whole_;
    const bool flushed = fflush(file_) == 0 && ferror(file_) == 0;
    const bool closed = fclose(file_) == 0;
    file_ = nullptr;
    whole_ = flushed && closed;
    if (!whole_) TOOL_LOGF(failureLine_, path_);
    return whole_;
  }

 private:
  const char* path_;
  const char* failureLine_;
  FILE* file_;
  bool whole_ = true;
};

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
