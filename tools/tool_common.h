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
#include <string>

#include <sys/stat.h>

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
/// Decodes a raw H.264 stream, saving every 20th picture as prefix-N.yuv; 0 when at
/// least one picture file was saved and none failed, else 1.
int decodeVideo(const char* input, const char* prefix);
/// Encodes the 25-picture test pattern into a raw H.264 stream; 0 when every picture was
/// encoded and the whole stream written, else 1.
int encodeVideo(const char* output);
/// Decodes a raw AAC (ADTS) stream into interleaved raw PCM; 0 when the whole input was
/// parsed and the file holds samples, else 1.
int decodeAudio(const char* input, const char* output);
/// Encodes 200 frames of a 440 Hz tone into a raw MP2 stream; 0 when every frame was
/// encoded and the whole stream written, else 1.
int encodeAudio(const char* output);
/// Resamples a generated stereo 48 kHz tone into 3-channel 44.1 kHz s16 PCM; 0 or 1.
int resampleAudio(const char* output);
/// Scales 100 generated 320x240 pictures to 640x480 RGB24; 0 or 1.
int scaleVideo(const char* output);

// ---- Inner steps of the video tools, exposed for their tests. ----

struct PictureFiles;
/// Sends one packet (null drains) and saves every 20th picture the decoder returns.
void decodeVideoPacket(AVCodecContext* context, AVFrame* picture, const AVPacket* packet,
                       PictureFiles* files);
/// True when the picture's memory holds the 8-bit 4:2:0 planes a .yuv picture file takes.
bool pictureFitsFile(const AVFrame* picture);
/// Sends one picture (null drains) and writes every packet the encoder returns to output;
/// false when the encoder refused the picture or failed.
bool encodeVideoFrame(AVCodecContext* context, const AVFrame* picture, AVPacket* packet,
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

/// True when the file holds bytes and all of them reached it; closes the file.
inline bool wroteWholeStream(WrittenFile* file) {
  const bool holdsBytes = ftell(file->get()) > 0;
  return file->close() && holdsBytes;
}

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

// ---- A picked file: read as itself alone, never written over, written only as a file. ----

/// Demuxers that read more than the file they are given: playlists, manifests and
/// scripts that name other files (hls, dash, concat, imf), session descriptions and
/// network sources (sdp, rtsp, rtp, sap), and files found beside it by name (mlv, vobsub).
inline constexpr const char* kDemuxersReadingOtherFiles[] = {
    "hls", "dash", "concat", "imf", "sdp", "rtsp", "rtp", "sap", "mlv", "vobsub"};

/// True when the demuxer is one of kDemuxersReadingOtherFiles.
inline bool readsOtherFiles(const AVInputFormat* demuxer) {
  for (const char* name : kDemuxersReadingOtherFiles) {
    if (strcmp(demuxer->name, name) == 0) return true;
  }
  return false;
}

/// Every demuxer of this FFmpeg build that reads only its own file, comma-separated.
inline std::string singleFileDemuxers() {
  std::string names;
  void* cursor = nullptr;
  while (const AVInputFormat* demuxer = av_demuxer_iterate(&cursor)) {
    if (readsOtherFiles(demuxer)) continue;
    if (!names.empty()) names += ',';
    names += demuxer->name;
  }
  return names;
}

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

/// avformat_open_input for a picked file: probed as usual, but refused (EINVAL, "Invalid
/// argument") when it would read other files, and an image name taken as that one
/// image, never as the pattern of a numbered sequence ("img%d.jpg" reads only itself).
inline int openPickedFile(AVFormatContext** context, const char* path) {
  Options options;
  options.set("format_whitelist", singleFileDemuxers().c_str());
  options.set("pattern_type", "none");
  return avformat_open_input(context, path, nullptr, options.get());
}

/// Opens the output of a muxed file as a local file only: names of other protocols
/// (http:, udp:, tee:, pipe:) are refused with EINVAL. Muxers that open their own
/// files (numbered pictures) are held to local files too. 0 or the FFmpeg error.
inline int openOutputAsFile(AVFormatContext* output, const char* path) {
  av_freep(&output->protocol_whitelist);
  output->protocol_whitelist = av_strdup("file");
  if (output->protocol_whitelist == nullptr) return AVERROR(ENOMEM);
  if (!toolOpensOutputFile(output)) return 0;
  Options options;
  options.set("protocol_whitelist", "file");
  return avio_open2(&output->pb, path, AVIO_FLAG_WRITE, nullptr, options.get());
}

/// The device and inode of a file, which every spelling of its path shares.
struct FileIdentity {
  bool known = false;
  dev_t device = 0;
  ino_t inode = 0;
};

/// The identity of the file a stat call filled in, or an unknown one when it failed.
inline FileIdentity identityFrom(int statResult, const struct stat& info) {
  if (statResult != 0) return {};
  return {true, info.st_dev, info.st_ino};
}

/// The identity of the file at path (unknown if there is none).
inline FileIdentity identityOf(const char* path) {
  struct stat info {};
  return identityFrom(stat(path, &info), info);
}

/// The identity of an open file.
inline FileIdentity identityOf(FILE* file) {
  struct stat info {};
  return identityFrom(fstat(fileno(file), &info), info);
}

/// True when both identities are known and name the same file.
inline bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.device == b.device && a.inode == b.inode;
}

/// True (after one log line) when writing `output` would overwrite the input file.
inline bool outputIsInput(const FileIdentity& input, const char* output) {
  if (!sameFile(input, identityOf(output))) return false;
  TOOL_LOGF("Refused to write %s: it is the input file\n", output);
  return true;
}


/// What the files a muxer opens itself are checked against: the input file they must not
/// be, and FFmpeg's own open function that the others go on to.
struct OwnOpensGuard {
  FileIdentity input;
  int (*open)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) = nullptr;
};

/// The output's io_open while guarded: refuses (EINVAL, after one line) to write the input.
inline int openUnlessInput(AVFormatContext* output, AVIOContext** pb, const char* url, int flags,
                           AVDictionary** options) {
  const auto* guard = static_cast<const OwnOpensGuard*>(output->opaque);
  if ((flags & AVIO_FLAG_WRITE) && outputIsInput(guard->input, url)) return AVERROR(EINVAL);
  return guard->open(output, pb, url, flags, options);
}

/// Sends the files the muxer opens itself (numbered pictures, segments) through the guard,
/// which must outlive the output context: none of them may be the input either.
inline void guardOwnOpens(AVFormatContext* output, OwnOpensGuard* guard) {
  guard->open = output->io_open;
  output->opaque = guard;
  output->io_open = openUnlessInput;
}

/// True when the muxer writes a bare stream of its one own codec: no container, no
/// timestamps, no tag table (raw H.264, H.265, ADTS, PCM ...). Newer FFmpeg says so in
/// avformat_query_codec; 5.1 answers "unknown" for every other codec.
inline bool writesOnlyItsOwnCodec(const AVOutputFormat* muxer) {
  const int ownCodecs = (muxer->video_codec != AV_CODEC_ID_NONE) +
                        (muxer->audio_codec != AV_CODEC_ID_NONE) +
                        (muxer->subtitle_codec != AV_CODEC_ID_NONE);
  return (muxer->flags & AVFMT_NOTIMESTAMPS) && muxer->codec_tag == nullptr && ownCodecs == 1;
}

/// False when the muxer says it cannot carry the codec; an unknown answer counts as yes,
/// except from a muxer that writes only its own codec.
inline bool muxerCarries(const AVOutputFormat* muxer, AVCodecID codec) {
  const int answer = avformat_query_codec(muxer, codec, FF_COMPLIANCE_NORMAL);
  if (answer < 0) return !writesOnlyItsOwnCodec(muxer);
  return answer != 0;
}

/// True when the output can carry every one of its streams; else false after one line
/// naming the first stream it cannot.
inline bool outputCarriesStreams(const AVFormatContext* output) {
  for (unsigned i = 0; i < output->nb_streams; i++) {
    const AVCodecID codec = output->streams[i]->codecpar->codec_id;
    if (!muxerCarries(output->oformat, codec)) {
      TOOL_LOGF("The %s output cannot carry a %s stream\n", output->oformat->name,
                avcodec_get_name(codec));
      return false;
    }
  }
  return true;
}

}  // namespace qn::tools
