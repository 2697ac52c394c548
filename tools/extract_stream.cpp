// extractAudio / extractVideo: copy the best audio or video stream of a media
// file, packet by packet and without decoding, into a one-stream file whose
// container follows from the output name.
#include "tools/tool_common.h"

namespace qn::tools {
namespace {

/// Output context from avformat_alloc_context: closes its file (if open), then frees it.
struct ExtractOutputFreer {
  void operator()(AVFormatContext* context) const {
    if (context->pb != nullptr) avio_close(context->pb);
    avformat_free_context(context);
  }
};
using ExtractOutput = std::unique_ptr<AVFormatContext, ExtractOutputFreer>;

/// The not-found line of the tool that looks for this media type.
const char* streamNotFoundFormat(AVMediaType type) {
  return type == AVMEDIA_TYPE_AUDIO ? "查找音频流失败：%s" : "查找视频流失败：%s";
}

/// Logs a failure line whose argument is FFmpeg's text of code.
void logFailure(const char* format, int code) { TOOL_LOGF(format, ErrorText(code).text); }

/// Opens the input (no stream analysis); null after logging the failure.
InputContext openInput(const char* input) {
  AVFormatContext* context = nullptr;
  const int status = avformat_open_input(&context, input, nullptr, nullptr);
  if (status < 0) {
    logFailure("avformat_open_input失败：%s", status);
    return nullptr;
  }
  return InputContext(context);
}

/// The index of the best stream of type, checked to really be of that type; -1 after logging.
int chooseStream(AVFormatContext* input, AVMediaType type) {
  const int index = av_find_best_stream(input, type, -1, -1, nullptr, 0);
  if (index < 0) {
    logFailure(streamNotFoundFormat(type), index);
    return -1;
  }
  if (input->streams[index]->codecpar->codec_type != type) {
    TOOL_LOGF("The Codec type is invalid!");
    return -1;
  }
  return index;
}

/// Makes the output context with the muxer guessed from the name and one stream copying
/// source's codec parameters, and opens the output file; null after logging the failure.
ExtractOutput openOutput(const char* output, const AVStream* source) {
  // Memory exhausted: nothing to set up, the call just ends.
  ExtractOutput context(avformat_alloc_context());
  if (context == nullptr) return nullptr;

  context->oformat = av_guess_format(nullptr, output, nullptr);
  if (context->oformat == nullptr) {
    TOOL_LOGF("Cloud not guess file format");
    return nullptr;
  }
  AVStream* stream = avformat_new_stream(context.get(), nullptr);
  if (stream == nullptr) {
    TOOL_LOGF("Failed to create out stream");
    return nullptr;
  }
  int status = avcodec_parameters_copy(stream->codecpar, source->codecpar);
  if (status < 0) {
    logFailure("avcodec_parameters_copy：%s", status);
    return nullptr;
  }
  // Let the muxer choose the tag that fits its own container.
  stream->codecpar->codec_tag = 0;

  status = avio_open(&context->pb, output, AVIO_FLAG_WRITE);
  if (status < 0) {
    logFailure("avio_open：%s", status);
    return nullptr;
  }
  return context;
}

/// Copies every packet of the chosen input stream into output stream 0 until the
/// input ends or fails to read; the muxer's refusals are not reported.
void copyPackets(AVFormatContext* input, int chosen, AVFormatContext* output) {
  HeldPacket held;
  AVPacket* packet = held.get();
  while (av_read_frame(input, packet) == 0) {
    if (packet->stream_index == chosen) {
      // Both time bases are read afresh: the muxer may change its own while writing.
      rescalePacketTimes(packet, input->streams[chosen]->time_base,
                         output->streams[0]->time_base);
      packet->pos = -1;
      packet->stream_index = 0;
      av_interleaved_write_frame(output, packet);
    }
    av_packet_unref(packet);
  }
}

}  // namespace

void extractStream(const char* input, const char* output, AVMediaType type) {
  TOOL_LOG(input);
  TOOL_LOG(output);

  InputContext source = openInput(input);
  if (source == nullptr) return;
  const int chosen = chooseStream(source.get(), type);
  if (chosen < 0) return;
  ExtractOutput target = openOutput(output, source->streams[chosen]);
  if (target == nullptr) return;

  const int status = avformat_write_header(target.get(), nullptr);
  if (status < 0) {
    logFailure("avformat_write_header：%s", status);
    return;
  }
  copyPackets(source.get(), chosen, target.get());
  av_write_trailer(target.get());
}

}  // namespace qn::tools

namespace {

/// Takes both path texts and runs the extraction; on a failed text it returns at once,
/// leaving the JVM's exception pending.
void extractFromJava(JNIEnv* env, jstring input, jstring output, AVMediaType type) {
  qn::tools::withPaths(env, input, output, 0, [type](const char* in, const char* out) {
    qn::tools::extractStream(in, out, type);
    return 0;
  });
}

}  // namespace

extern "C" JNIEXPORT void JNICALL TOOL_METHOD(extractAudio)(JNIEnv* env, jobject /*activity*/,
                                                              jstring input, jstring output) {
  extractFromJava(env, input, output, AVMEDIA_TYPE_AUDIO);
}

extern "C" JNIEXPORT void JNICALL TOOL_METHOD(extractVideo)(JNIEnv* env, jobject /*activity*/,
                                                              jstring input, jstring output) {
  extractFromJava(env, input, output, AVMEDIA_TYPE_VIDEO);
}
