// Rules of the tools that copy packets into a muxed file without decoding.
#include "tools/stream_copy.h"

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
  const int closed = toolOpensOutputFile(output) ? avio_closep(&output->pb) : 0;
  return {trailer, closed};
}

}  // namespace qn::tools
