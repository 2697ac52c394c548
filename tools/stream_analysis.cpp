#include "tools/stream_analysis.h"

#include <cstring>
#include <vector>

#include "decoder/access_unit_check.h"
#include "decoder/decoder_budget.h"
#include "decoder/picture_limit.h"
#include "tools/ffmpeg_handles.h"

namespace qn::tools {
namespace {

constexpr size_t kBlock = 1 << 16;
// Bytes a NAL unit's start needs to be judged: its start code and three more.
constexpr size_t kLook = 6;

/// NAL units of the access unit being read, across the blocks of a stream.
struct UnitCount {
  bool hevc;
  size_t nalUnits = 0;
  bool picture = false;

  /// Counts the NAL unit at `header`; true when its access unit has grown past the bound.
  bool add(const uint8_t* data, size_t size, size_t header) {
    if (picture && opensAccessUnit(data, size, header, hevc)) {
      nalUnits = 0;
      picture = false;
    }
    picture = picture || isPictureNal(data[header], hevc);
    return ++nalUnits > kMaxNalUnits;
  }
};

/// Packets the trial decodes: above the 20 pictures FFmpeg's analysis decodes at most of
/// an H.264 stream to guess its reordering delay.
constexpr int kAnalysedPackets = 24;

/// Decodes one packet and takes out every picture it gave.
void decodeTrialPacket(AVCodecContext* context, AVPacket* packet, AVFrame* picture) {
  if (avcodec_send_packet(context, packet) < 0) return;
  while (avcodec_receive_frame(context, picture) == 0) {
  }
}

/// The per-stream options of the analysis: every decoder gets the picture limit.
class AnalysisOptions {
 public:
  explicit AnalysisOptions(unsigned streams) : options_(streams, nullptr) {
    for (AVDictionary*& options : options_) {
      av_dict_set_int(&options, "max_pixels", kMaxPicturePixels, 0);
    }
  }
  ~AnalysisOptions() {
    for (AVDictionary*& options : options_) av_dict_free(&options);
  }
  AnalysisOptions(const AnalysisOptions&) = delete;
  AnalysisOptions& operator=(const AnalysisOptions&) = delete;

  AVDictionary** get() { return options_.empty() ? nullptr : options_.data(); }

 private:
  std::vector<AVDictionary*> options_;
};

}  // namespace

bool holdsFloodedAccessUnit(AVIOContext* stream, bool hevc) {
  const int64_t start = avio_tell(stream);
  if (avio_seek(stream, 0, SEEK_SET) < 0) return false;
  std::vector<uint8_t> block(kBlock + kLook + 3);
  UnitCount unit{hevc};
  size_t kept = 0;   // bytes carried over from the last block, not yet judged
  size_t from = 0;   // headers before this one were counted with the last block
  bool flooded = false;
  for (bool end = false; !end && !flooded;) {
    const int got = avio_read(stream, block.data() + kept, kBlock);
    end = got <= 0;
    const size_t size = kept + (end ? 0 : static_cast<size_t>(got));
    // Headers too near the block's end wait for the next block, unless it is the last.
    const size_t judged = end ? size : (size > kLook ? size - kLook : 0);
    for (size_t header = nextNalHeader(block.data(), size, 0);
         header != kNoStartCode && header < judged && !flooded;
         header = nextNalHeader(block.data(), size, header)) {
      if (header >= from) flooded = unit.add(block.data(), size, header);
    }
    // The bytes from the first header not judged, start code included, go again.
    kept = size < kLook + 3 ? size : kLook + 3;
    std::memmove(block.data(), block.data() + size - kept, kept);
    from = judged - (size - kept);
  }
  avio_seek(stream, start, SEEK_SET);
  return flooded;
}

bool outgrowsPictureBudget(AVIOContext* stream, AVCodecID codec) {
  const AVCodec* decoder = avcodec_find_decoder(codec);
  Parser parser(av_parser_init(codec));
  CodecContext context(decoder != nullptr ? avcodec_alloc_context3(decoder) : nullptr);
  Packet packet(av_packet_alloc());
  Frame picture(av_frame_alloc());
  if (!parser || !context || !packet || !picture || !limitPictureMemory(context.get())) return false;
  context->max_pixels = kMaxPicturePixels;
  if (avcodec_open2(context.get(), decoder, nullptr) < 0) return false;
  const int64_t start = avio_tell(stream);
  if (avio_seek(stream, 0, SEEK_SET) < 0) return false;
  std::vector<uint8_t> block(kBlock + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  int packets = 0;
  for (int got; packets < kAnalysedPackets && (got = avio_read(stream, block.data(), kBlock)) > 0;) {
    for (const uint8_t* at = block.data(); got > 0 && packets < kAnalysedPackets;) {
      const int used = av_parser_parse2(parser.get(), context.get(), &packet->data, &packet->size,
                                        at, got, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
      if (used < 0) break;
      at += used;
      got -= used;
      if (packet->size == 0) continue;
      packets++;
      decodeTrialPacket(context.get(), packet.get(), picture.get());
    }
  }
  avio_seek(stream, start, SEEK_SET);
  return pictureBudgetRefused(context.get());
}

int analyseStreams(AVFormatContext* media) {
  const char* demuxer = media->iformat->name;
  const bool h264 = std::strcmp(demuxer, "h264") == 0;
  const bool hevc = std::strcmp(demuxer, "hevc") == 0;
  // FFmpeg splits each packet into its NAL units, the H.265 parser too: a flooded unit
  // would cost the analysis and every later read what the live decoder refuses.
  if ((h264 || hevc) && media->pb != nullptr && holdsFloodedAccessUnit(media->pb, hevc)) {
    return AVERROR_INVALIDDATA;
  }
  // Its decoders hold what the stream's pictures need: a raw stream is first decoded as
  // far as the analysis goes, under the live decoder's picture budget.
  if ((h264 || hevc) && media->pb != nullptr &&
      outgrowsPictureBudget(media->pb, hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264)) {
    return AVERROR(ENOMEM);
  }
  AnalysisOptions options(media->nb_streams);
  return avformat_find_stream_info(media, options.get());
}

}  // namespace qn::tools
