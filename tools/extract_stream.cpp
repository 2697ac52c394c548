// extractAudio / extractVideo: copy the best audio or video stream of a media
// file, packet by packet and without decoding, into a one-stream file whose
// container follows from the output name.
#include <utility>
#include <vector>

#include "bridge/error_text.h"
#include "tools/ffmpeg_handles.h"
#include "tools/java_paths.h"
#include "tools/picked_file.h"
#include "tools/stream_analysis.h"
#include "tools/stream_copy.h"
#include "tools/tool_log.h"
#include "tools/tool_output.h"
#include "tools/tools.h"

namespace qn::tools {
namespace {

/// The not-found line of the tool that looks for this media type.
const char* streamNotFoundFormat(AVMediaType type) {
  return type == AVMEDIA_TYPE_AUDIO ? "查找音频流失败：%s" : "查找视频流失败：%s";
}

/// Logs a failure line whose argument is FFmpeg's text of code.
void logFailure(const char* format, int code) { TOOL_LOGF(format, ErrorText(code).text); }

/// Opens the input (a refused one has logged its line) and, unless the output is the
/// input file, analyses its streams; false after logging the failure.
bool openInput(const char* input, const char* output, PickedMedia* source) {
  int status = source->open(input);
  if (status < 0) {
    if (!source->file().refused()) logFailure("avformat_open_input失败：%s", status);
    return false;
  }
  if (outputIsInput(source->file().identity(), output)) return false;
  // Without the analysis, some demuxers (Matroska with B-frames, FLV) give packets no
  // decoding times, which the muxer refuses, and skip streams of unknown rate (MPEG-TS, ADTS).
  status = analyseStreams(*source, AnalysisFor::kCopy);
  if (status < 0) {
    logFailure("avformat_find_stream_info失败：%s", status);
    return false;
  }
  return true;
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
/// source's codec parameters, refuses a stream the muxer cannot carry, and opens the output
/// file unless the muxer opens its own files; every file goes through `files`. Null after
/// logging the failure.
OutputContext openOutput(const char* output, const AVStream* source, OutputFiles* files) {
  // Memory exhausted: nothing to set up, the call just ends.
  OutputContext context(avformat_alloc_context());
  if (context == nullptr) return nullptr;

  context->oformat = av_guess_format(nullptr, output, nullptr);
  if (context->oformat == nullptr) {
    TOOL_LOGF("Cloud not guess file format");
    return nullptr;
  }
  files->serve(context.get());
  // Muxers that open their own files (image sequences, a single picture) take the name from here.
  context->url = av_strdup(output);
  if (context->url == nullptr) return nullptr;
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
  if (!outputCarriesStreams(context.get())) return nullptr;

  status = openOutputAsFile(context.get(), output);
  if (status < 0) {
    logFailure("avio_open：%s", status);
    return nullptr;
  }
  return context;
}

/// How one copy went: the packets the muxer refused and the text of its last refusal,
/// and whether every packet of the input was taken.
struct Copy {
  int refused = 0;
  int lastError = 0;
  bool whole = true;
};

/// Copies every packet of the chosen input stream into output stream 0 until the input
/// ends; a packet the muxer refuses is counted and the copy goes on. A read error, or a
/// packet the account does not admit, ends it unwhole.
Copy copyPackets(AVFormatContext* input, const char* inputName, int64_t inputBytes, int chosen,
                 AVFormatContext* output) {
  std::vector<bool> copied(input->nb_streams, false);
  copied[chosen] = true;
  CopyAccount account(input, inputBytes, std::move(copied));
  Copy copy;
  HeldPacket held;
  AVPacket* packet = held.get();
  int status;
  while ((status = av_read_frame(input, packet)) == 0) {
    if (packet->stream_index == chosen) {
      if (!account.admit(packet, inputName)) {
        copy.whole = false;
        return copy;
      }
      // Both time bases are read afresh: the muxer may change its own while writing.
      rescalePacketTimes(packet, input->streams[chosen]->time_base,
                         output->streams[0]->time_base);
      packet->pos = -1;
      packet->stream_index = 0;
      const int written = av_interleaved_write_frame(output, packet);
      if (written < 0) {
        copy.refused++;
        copy.lastError = written;
      }
    }
    av_packet_unref(packet);
  }
  if (status != AVERROR_EOF) {
    logFailure("av_read_frame：%s", status);
    copy.whole = false;
  } else {
    copy.whole = account.whole();
  }
  return copy;
}

/// Finishes the output file, logging the first failure of the trailer and the closing;
/// true when both succeeded.
bool finishOutput(OutputContext target) {
  const FinishedOutput finished = finishOutputFile(target.get());
  // A failed write shows in both results; the trailer's names it.
  if (finished.trailer < 0) {
    logFailure("av_write_trailer：%s", finished.trailer);
  } else if (finished.closed < 0) {
    logFailure("avio_close：%s", finished.closed);
  }
  return finished.trailer >= 0 && finished.closed >= 0;
}

}  // namespace

int extractStream(const char* input, const char* output, AVMediaType type) {
  TOOL_LOG(input);
  TOOL_LOG(output);
  PickedMedia source;
  if (!openInput(input, output, &source)) return 1;
  const int chosen = chooseStream(source.get(), type);
  if (chosen < 0) return 1;
  OutputFiles files(source.file().identity());  // declared first: it outlives the output context
  OutputContext target = openOutput(output, source->streams[chosen], &files);
  if (target == nullptr) return 1;

  const int status = avformat_write_header(target.get(), nullptr);
  if (status < 0) {
    logFailure("avformat_write_header：%s", status);
    return 1;
  }
  const Copy copy =
      copyPackets(source.get(), input, source.file().size(), chosen, target.get());
  const bool finished = finishOutput(std::move(target));
  if (copy.refused > 0) {
    TOOL_LOGF("%d packets were refused by the muxer: %s\n", copy.refused,
              ErrorText(copy.lastError).text);
  }
  if (!copy.whole || !finished || copy.refused > 0) return 1;
  return files.keep() ? 0 : 1;
}

}  // namespace qn::tools

namespace {

/// Takes both path texts and runs the extraction; on a failed text it returns at once,
/// leaving the JVM's exception pending.
void extractFromJava(JNIEnv* env, jstring input, jstring output, AVMediaType type) {
  qn::tools::withPaths(env, input, output, 0, [type](const char* in, const char* out) {
    qn::tools::extractStream(in, out, type);  // the Java method answers nothing
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
