// remux: rewrite a media file into the container of the output name without
// decoding, keeping its video, audio and subtitle streams, and print every
// packet's timestamps before and after their conversion on standard output.
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

struct AvFreer {
  void operator()(int* block) const { av_freep(&block); }
};
/// Output stream index of each input stream, -1 for a dropped one.
using StreamMap = std::unique_ptr<int, AvFreer>;

/// Writes a timestamp, or "NOPTS" when it is missing, into a 32-byte field.
void formatTicks(char (&field)[32], int64_t ticks) {
  if (ticks == AV_NOPTS_VALUE) {
    snprintf(field, sizeof field, "NOPTS");
  } else {
    snprintf(field, sizeof field, "%lld", static_cast<long long>(ticks));
  }
}

/// Writes a timestamp in seconds of timeBase, or "NOPTS", into a 32-byte field.
void formatSeconds(char (&field)[32], int64_t ticks, AVRational timeBase) {
  if (ticks == AV_NOPTS_VALUE) {
    snprintf(field, sizeof field, "NOPTS");
  } else {
    const double unit = static_cast<double>(timeBase.num) / timeBase.den;
    snprintf(field, sizeof field, "%.6g", unit * static_cast<double>(ticks));
  }
}

/// Prints one timestamp line of packet, its times read in timeBase, to standard output.
void printPacketTimes(AVRational timeBase, const AVPacket* packet, const char* tag) {
  char pts[32] = {}, ptsTime[32] = {}, dts[32] = {}, dtsTime[32] = {};
  char duration[32] = {}, durationTime[32] = {};
  formatTicks(pts, packet->pts);
  formatSeconds(ptsTime, packet->pts, timeBase);
  formatTicks(dts, packet->dts);
  formatSeconds(dtsTime, packet->dts, timeBase);
  formatTicks(duration, packet->duration);
  formatSeconds(durationTime, packet->duration, timeBase);
  printf("%s: pts:%s pts_time:%s dts:%s dts_time:%s duration:%s duration_time:%s "
         "stream_index:%d\n",
         tag, pts, ptsTime, dts, dtsTime, duration, durationTime, packet->stream_index);
}

/// Whether remux keeps streams of this type.
bool isKeptType(AVMediaType type) {
  return type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_SUBTITLE;
}

/// Opens the input (a refused one has logged its line) and, unless the output is the
/// input file, analyses its streams; the FFmpeg error after logging, else 0.
int openInput(const char* input, const char* output, PickedMedia* source) {
  int status = source->open(input);
  if (status < 0) {
    if (!source->file().refused()) TOOL_LOGF("Could not open input file '%s'", input);
    return status;
  }
  if (outputIsInput(source->file().identity(), output)) return AVERROR(EINVAL);
  status = analyseStreams(*source, AnalysisFor::kCopy);
  if (status < 0) {
    TOOL_LOG("Failed to retrieve input stream information");
    return status;
  }
  return 0;
}

/// Adds one output stream per kept input stream, in input order, filling the map.
int addOutputStreams(const AVFormatContext* input, AVFormatContext* output, int* map) {
  int next = 0;
  for (unsigned i = 0; i < input->nb_streams; i++) {
    const AVCodecParameters* source = input->streams[i]->codecpar;
    if (!isKeptType(source->codec_type)) {
      map[i] = -1;
      continue;
    }
    map[i] = next;
    AVStream* stream = avformat_new_stream(output, nullptr);
    if (stream == nullptr) {
      TOOL_LOG("Failed allocating output stream\n");
      return AVERROR_UNKNOWN;
    }
    const int status = avcodec_parameters_copy(stream->codecpar, source);
    if (status < 0) {
      TOOL_LOG("Failed to copy codec parameters\n");
      return status;
    }
    // Let the muxer choose the tag that fits its own container.
    stream->codecpar->codec_tag = 0;
    next++;
  }
  return 0;
}

/// Opens the output file where the muxer needs the tool to, and writes the header.
int startOutput(AVFormatContext* output, const char* path) {
  int status = openOutputAsFile(output, path);
  if (status < 0) {
    TOOL_LOGF("Could not open output file '%s'", path);
    return status;
  }
  status = avformat_write_header(output, nullptr);
  if (status < 0) {
    TOOL_LOG("Error occurred when opening output file\n");
    return status;
  }
  return 0;
}

/// Copies the packets of kept streams, printing their times before and after the
/// conversion; returns the code that ended the copy: AVERROR_EOF at the end of an input
/// given whole, AVERROR_INVALIDDATA for packets the account refuses or missing at the end.
int copyPackets(AVFormatContext* input, AVFormatContext* output, const int* map,
                unsigned mapSize, CopyAccount* account, const char* inputName) {
  HeldPacket held;
  AVPacket* packet = held.get();
  for (;;) {
    int status = av_read_frame(input, packet);
    if (status == AVERROR_EOF && !account->whole()) return AVERROR_INVALIDDATA;
    if (status < 0) return status;
    const int index = packet->stream_index;
    if (index < 0 || static_cast<unsigned>(index) >= mapSize || map[index] < 0) {
      av_packet_unref(packet);
      continue;
    }
    if (!account->admit(packet, inputName)) return AVERROR_INVALIDDATA;
    const AVStream* inStream = input->streams[index];
    packet->stream_index = map[index];
    const AVStream* outStream = output->streams[packet->stream_index];

    // The "in" line shows the input's times in its own stream's time base,
    // already with the output stream index.
    printPacketTimes(inStream->time_base, packet, "in");
    rescalePacketTimes(packet, inStream->time_base, outStream->time_base);
    packet->pos = -1;
    printPacketTimes(outStream->time_base, packet, "out");

    status = av_interleaved_write_frame(output, packet);
    if (status < 0) {
      TOOL_LOG("Error muxing packet\n");
      return status;
    }
    av_packet_unref(packet);
  }
}

/// How a copy ended: the code that ended it, and whether that was the packet loop
/// (the only place where AVERROR_EOF means that the whole input was copied).
struct Outcome {
  int code;
  bool copied;
};

/// Outcome of a failure before the packet loop, whatever its code (a head cut short gives EOF).
Outcome failedBeforeCopy(int code) { return {code, false}; }

/// Finishes the output file; the first failure of the trailer and the closing, else
/// `status`. A copy that already failed keeps its own error.
int finishOutput(AVFormatContext* output, int status) {
  const FinishedOutput finished = finishOutputFile(output);
  const int failure = finished.trailer < 0 ? finished.trailer : finished.closed;
  return status == AVERROR_EOF && failure < 0 ? failure : status;
}

/// The streams of the input that the copy takes: those the map keeps.
std::vector<bool> keptStreams(const int* map, unsigned mapSize) {
  std::vector<bool> kept(mapSize);
  for (unsigned i = 0; i < mapSize; i++) kept[i] = map[i] >= 0;
  return kept;
}

/// The whole copy; every handle is released on return, and the output file takes its
/// name only after a whole copy.
Outcome remuxFiles(const char* input, const char* output) {
  PickedMedia source;
  int status = openInput(input, output, &source);
  if (status < 0) return failedBeforeCopy(status);
  av_dump_format(source.get(), 0, input, 0);

  OutputFiles files(source.file().identity());  // declared first: it outlives the output context
  AVFormatContext* created = nullptr;
  avformat_alloc_output_context2(&created, nullptr, nullptr, output);
  if (created == nullptr) {
    TOOL_LOG("Could not create output context\n");
    return failedBeforeCopy(AVERROR_UNKNOWN);
  }
  OutputContext target(created);
  files.serve(target.get());

  const unsigned mapSize = source->nb_streams;
  StreamMap map(static_cast<int*>(av_malloc_array(mapSize, sizeof(int))));
  if (map == nullptr) return failedBeforeCopy(AVERROR(ENOMEM));
  status = addOutputStreams(source.get(), target.get(), map.get());
  if (status < 0) return failedBeforeCopy(status);
  av_dump_format(target.get(), 0, output, 1);
  if (!outputCarriesStreams(target.get())) return failedBeforeCopy(AVERROR(EINVAL));

  status = startOutput(target.get(), output);
  if (status < 0) return failedBeforeCopy(status);
  CopyAccount account(source.get(), source.file().size(), keptStreams(map.get(), mapSize));
  status = copyPackets(source.get(), target.get(), map.get(), mapSize, &account, input);
  status = finishOutput(target.get(), status);
  if (status == AVERROR_EOF && !files.keep()) status = AVERROR(EIO);
  return {status, true};
}

}  // namespace

int remux(const char* input, const char* output) {
  TOOL_LOG(input);
  TOOL_LOG(output);
  const Outcome outcome = remuxFiles(input, output);
  if (outcome.copied && outcome.code == AVERROR_EOF) return 0;
  TOOL_LOGF("Error occurred: %s\n", ErrorText(outcome.code).text);
  return 1;
}

}  // namespace qn::tools

extern "C" JNIEXPORT jint JNICALL TOOL_METHOD(remux)(JNIEnv* env, jobject /*activity*/,
                              jstring input, jstring output) {
  return qn::tools::withPaths(env, input, output, 1, qn::tools::remux);
}
