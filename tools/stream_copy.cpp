// Rules of the tools that copy packets into a muxed file without decoding.
#include "tools/stream_copy.h"

#include <utility>

extern "C" {
#include <libavutil/avstring.h>
}

#include "tools/ffmpeg_handles.h"
#include "tools/tool_log.h"

namespace qn::tools {

void rescalePacketTimes(AVPacket* packet, AVRational from, AVRational to) {
  const auto rounding = static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX);
  packet->pts = av_rescale_q_rnd(packet->pts, from, to, rounding);
  packet->dts = av_rescale_q_rnd(packet->dts, from, to, rounding);
  packet->duration = av_rescale_q_rnd(packet->duration, from, to, rounding);
}

bool writesOnlyItsOwnCodec(const AVOutputFormat* muxer) {
  const int ownCodecs = (muxer->video_codec != AV_CODEC_ID_NONE) +
                        (muxer->audio_codec != AV_CODEC_ID_NONE) +
                        (muxer->subtitle_codec != AV_CODEC_ID_NONE);
  return (muxer->flags & AVFMT_NOTIMESTAMPS) && muxer->codec_tag == nullptr && ownCodecs == 1;
}

bool muxerCarries(const AVOutputFormat* muxer, AVCodecID codec) {
  const int answer = avformat_query_codec(muxer, codec, FF_COMPLIANCE_NORMAL);
  if (answer < 0) return !writesOnlyItsOwnCodec(muxer);
  return answer != 0;
}

bool outputCarriesStreams(const AVFormatContext* output) {
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

FinishedOutput finishOutputFile(AVFormatContext* output) {
  const int trailer = av_write_trailer(output);
  const int closed = closeToolOpenedFile(output);
  return {trailer, closed};
}

CopyAccount::CopyAccount(const AVFormatContext* input, int64_t inputBytes,
                         std::vector<bool> copied)
    : input_(input),
      bytesLeft_(inputBytes),
      copied_(std::move(copied)),
      packets_(input->nb_streams, 0) {}

bool CopyAccount::admit(const AVPacket* packet, const char* inputName) {
  if (packet->flags & AV_PKT_FLAG_CORRUPT) {
    TOOL_LOGF("The input is damaged: a packet of stream %d is corrupt\n", packet->stream_index);
    return false;
  }
  if (packet->size > bytesLeft_) {
    TOOL_LOGF("Refused to copy %s: its packets hold more bytes than the file\n", inputName);
    return false;
  }
  bytesLeft_ -= packet->size;
  packets_[packet->stream_index]++;
  return true;
}

bool CopyAccount::whole() const {
  // Only the MP4 family's count is its index's number of samples: AVI's is a header field
  // (PCM audio counts samples, not packets), and most demuxers give none.
  if (!av_match_name("mov", input_->iformat->name)) return true;
  for (unsigned i = 0; i < input_->nb_streams; i++) {
    const int64_t promised = input_->streams[i]->nb_frames;
    if (!copied_[i] || promised <= 0 || packets_[i] >= promised) continue;
    TOOL_LOGF("The input ended early: stream %u gave %lld of its %lld packets\n", i,
              static_cast<long long>(packets_[i]), static_cast<long long>(promised));
    return false;
  }
  return true;
}

}  // namespace qn::tools
