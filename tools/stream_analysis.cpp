#include "tools/stream_analysis.h"

#include <cstring>
#include <memory>
#include <vector>

#include "decoder/access_unit_check.h"
#include "decoder/decoder_budget.h"
#include "decoder/picture_limit.h"
#include "tools/ffmpeg_handles.h"
#include "tools/picked_file.h"

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

/// Counts the NAL units of each access unit of an Annex B stream given in pieces.
class AccessUnitScan {
 public:
  explicit AccessUnitScan(bool hevc) : unit_{hevc} {}

  /// Takes the next piece of the stream (`end`: the stream ends after it); true once
  /// an access unit has grown past kMaxNalUnits.
  bool take(const uint8_t* data, size_t size, bool end) {
    bytes_.insert(bytes_.end(), data, data + size);
    const size_t total = bytes_.size();
    // Headers too near the piece's end wait for the next piece, unless it is the last.
    const size_t judged = end ? total : (total > kLook ? total - kLook : 0);
    for (size_t header = nextNalHeader(bytes_.data(), total, 0);
         header != kNoStartCode && header < judged && !flooded_;
         header = nextNalHeader(bytes_.data(), total, header)) {
      if (header >= from_) flooded_ = unit_.add(bytes_.data(), total, header);
    }
    // The bytes from the first header not judged, start code included, go again.
    const size_t kept = total < kLook + 3 ? total : kLook + 3;
    bytes_.erase(bytes_.begin(), bytes_.end() - static_cast<std::ptrdiff_t>(kept));
    from_ = judged - (total - kept);  // headers before this one are counted
    return flooded_;
  }

 private:
  UnitCount unit_;
  std::vector<uint8_t> bytes_;  // the unjudged end of the last piece, then the next piece
  size_t from_ = 0;
  bool flooded_ = false;
};

/// Packets the trial decodes: above the 20 pictures FFmpeg's analysis decodes at most of
/// an H.264 stream to guess its reordering delay.
constexpr int kAnalysedPackets = 24;

/// Packets of a container the trial reads at most, whatever streams they belong to.
constexpr int kTrialPackets = 4096;

/// A decoder opened as the analysis opens it, plus the live decoder's picture budget,
/// that decodes the first kAnalysedPackets packets it is given; through the codec's
/// parser when the packets are pieces of an Annex B stream.
class TrialDecoder {
 public:
  /// Opens the decoder of `codec` with the stream's parameters when given; `parse`: cut
  /// the pieces it takes into packets first; `sharedWith`: a trial decoder whose picture
  /// budget this one shares. opened() tells whether it opened.
  TrialDecoder(AVCodecID codec, const AVCodecParameters* parameters, bool parse,
               const AVCodecContext* sharedWith = nullptr) {
    const AVCodec* decoder = avcodec_find_decoder(codec);
    context_.reset(decoder != nullptr ? avcodec_alloc_context3(decoder) : nullptr);
    if (parse) parser_.reset(av_parser_init(codec));
    if (!context_ || !packet_ || !picture_ || (parse && !parser_)) return;
    if (parameters != nullptr && avcodec_parameters_to_context(context_.get(), parameters) < 0) {
      return;
    }
    if (!limitPictureMemory(context_.get(), sharedWith)) return;
    context_->max_pixels = kMaxPicturePixels;
    opened_ = avcodec_open2(context_.get(), decoder, nullptr) == 0;
  }

  /// Decodes what the parser still holds: the stream's last access unit.
  void finish() {
    if (!opened_ || !parser_ || done()) return;
    av_parser_parse2(parser_.get(), context_.get(), &packet_->data, &packet_->size, nullptr, 0,
                     AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (packet_->size > 0) decode();
  }

  bool opened() const { return opened_; }
  /// The decoder's context, which holds its picture budget; null if it did not open.
  const AVCodecContext* context() const { return opened_ ? context_.get() : nullptr; }
  /// True once the decoder has had the packets the analysis would give it.
  bool done() const { return packets_ >= kAnalysedPackets; }
  /// True once the picture budget refused a picture.
  bool refused() const { return opened_ && pictureBudgetRefused(context_.get()); }

  /// Decodes the piece (a whole packet, or with a parser any piece of the stream) unless done.
  void take(const uint8_t* data, int size) {
    if (!opened_) return;
    if (!parser_) {
      packet_->data = const_cast<uint8_t*>(data);
      packet_->size = size;
      if (!done() && size > 0) decode();
      return;
    }
    while (size > 0 && !done()) {
      const int used = av_parser_parse2(parser_.get(), context_.get(), &packet_->data,
                                        &packet_->size, data, size, AV_NOPTS_VALUE,
                                        AV_NOPTS_VALUE, 0);
      if (used < 0) return;
      data += used;
      size -= used;
      if (packet_->size > 0) decode();
    }
  }

 private:
  /// Decodes the packet in packet_ and takes out every picture it gave.
  void decode() {
    packets_++;
    if (avcodec_send_packet(context_.get(), packet_.get()) < 0) return;
    while (avcodec_receive_frame(context_.get(), picture_.get()) == 0) {
    }
  }

  CodecContext context_;
  Parser parser_;
  Packet packet_{av_packet_alloc()};
  Frame picture_{av_frame_alloc()};
  bool opened_ = false;
  int packets_ = 0;
};

/// True when the stream's H.264/H.265 packets have NAL units prefixed by their length
/// (MP4, Matroska, FLV), as FFmpeg's decoders tell it from the extradata.
bool lengthPrefixed(const AVCodecParameters* stream) {
  const uint8_t* extra = stream->extradata;
  if (stream->codec_id == AV_CODEC_ID_H264) {
    return extra != nullptr && stream->extradata_size >= 7 && extra[0] == 1;  // avcC
  }
  return extra != nullptr && stream->extradata_size > 3 &&
         (extra[0] != 0 || extra[1] != 0 || extra[2] > 1);  // hvcC
}

/// Bytes of the length before each NAL unit of a length-prefixed stream.
int nalLengthSize(const AVCodecParameters* stream) {
  const uint8_t* extra = stream->extradata;
  if (stream->codec_id == AV_CODEC_ID_H264) return (extra[4] & 3) + 1;
  return stream->extradata_size > 21 ? (extra[21] & 3) + 1 : 4;
}

/// NAL units of a length-prefixed packet, counting no further than `limit` + 1; a length
/// running past the end counts as one more.
size_t prefixedNalUnits(const uint8_t* data, size_t size, int lengthSize, size_t limit) {
  size_t units = 0;
  for (size_t at = 0; at + lengthSize <= size && units <= limit; units++) {
    uint64_t length = 0;
    for (int i = 0; i < lengthSize; i++) length = (length << 8) | data[at + i];
    at += lengthSize;
    if (length > size - at) return units + 1;
    at += length;
  }
  return units;
}

/// True for the codecs whose packets are NAL units: H.264 and H.265.
bool isNalCoded(AVCodecID codec) { return codec == AV_CODEC_ID_H264 || codec == AV_CODEC_ID_HEVC; }

/// True when the trial cuts the stream's packets with the codec's parser first: an Annex B
/// H.264/H.265 stream, and any other codec that has a parser (a raw stream's demuxer gives
/// pieces, a container's parser-free packets pass through whole).
bool parsedInTrial(const AVCodecParameters* stream) {
  if (isNalCoded(stream->codec_id)) return !lengthPrefixed(stream);
  AVCodecParserContext* parser = av_parser_init(stream->codec_id);
  if (parser == nullptr) return false;
  av_parser_close(parser);
  return true;
}

/// The trial of one video stream of a container: its first packets decoded under the
/// picture budget, which all the streams of the file share, as their decoders hold their
/// pictures at once in the analysis; for H.264/H.265 the NAL units of each packet (or, in
/// an Annex B stream, of each access unit) counted too.
class StreamTrial {
 public:
  StreamTrial(const AVCodecParameters* stream, const AVCodecContext* sharedBudget)
      : nalCoded_(isNalCoded(stream->codec_id)),
        lengthSize_(nalCoded_ && lengthPrefixed(stream) ? nalLengthSize(stream) : 0),
        hevc_(stream->codec_id == AV_CODEC_ID_HEVC),
        scan_(hevc_),
        decoder_(stream->codec_id, stream, parsedInTrial(stream), sharedBudget) {}

  /// The context holding the picture budget the file's trials share; null if none opened.
  const AVCodecContext* budgetHolder() const { return decoder_.context(); }

  /// True when every access unit of the stream, read by FFmpeg's demuxer, passes through
  /// a parser that splits it into NAL units: an Annex B H.265 stream. (The H.264 parser
  /// looks at a unit's first NAL units only.)
  bool splitWhenRead() const { return nalCoded_ && hevc_ && lengthSize_ == 0; }

  /// Counts the NAL units of the stream's next packet: 0, or AVERROR_INVALIDDATA when it
  /// (or, in an Annex B stream, the access unit it continues) holds too many.
  int count(const AVPacket* packet) {
    if (!nalCoded_) return 0;
    if (lengthSize_ == 0) {
      return scan_.take(packet->data, packet->size, false) ? AVERROR_INVALIDDATA : 0;
    }
    // A start code count too, in case the decoder finds Annex B bytes in the packet.
    const bool flooded =
        prefixedNalUnits(packet->data, packet->size, lengthSize_, kMaxNalUnits) > kMaxNalUnits ||
        nalUnitsIn(packet->data, packet->size, kMaxNalUnits) > kMaxNalUnits;
    return flooded ? AVERROR_INVALIDDATA : 0;
  }

  /// Counts and decodes the stream's next packet: 0, or the refusal (AVERROR_INVALIDDATA
  /// for too many NAL units, AVERROR(ENOMEM) past the picture budget).
  int take(const AVPacket* packet) {
    const int status = count(packet);
    if (status < 0) return status;
    decoder_.take(packet->data, packet->size);
    return decoder_.refused() ? AVERROR(ENOMEM) : 0;
  }

  /// The refusal the end of the stream's packets brings: its last access unit counted
  /// and decoded.
  int finish() {
    if (nalCoded_ && lengthSize_ == 0 && scan_.take(nullptr, 0, true)) return AVERROR_INVALIDDATA;
    decoder_.finish();
    return decoder_.refused() ? AVERROR(ENOMEM) : 0;
  }

  /// True once the packets the analysis decodes have been decoded.
  bool done() const { return decoder_.done() || !decoder_.opened(); }

 private:
  bool nalCoded_;   // H.264 or H.265
  int lengthSize_;  // 0: an Annex B stream, or not NAL-coded
  bool hevc_;
  AccessUnitScan scan_;
  TrialDecoder decoder_;
};

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

/// True for a stream the container trial looks at: a video stream FFmpeg can decode.
bool triedStream(const AVStream* stream) {
  return stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
         avcodec_find_decoder(stream->codecpar->codec_id) != nullptr;
}

/// True when the demuxer may hold a video stream: one is known, or its
/// streams show up only with their packets.
bool mayHoldTriedStream(const AVFormatContext* media) {
  if (media->ctx_flags & AVFMTCTX_NOHEADER) return true;
  for (unsigned i = 0; i < media->nb_streams; i++) {
    if (triedStream(media->streams[i])) return true;
  }
  return false;
}

/// True once every tried stream of the container has had its trial; never while
/// streams may still show up with later packets (the analysis reads on for them).
bool allTried(const AVFormatContext* container,
              const std::vector<std::unique_ptr<StreamTrial>>& trials) {
  if (container->ctx_flags & AVFMTCTX_NOHEADER) return false;
  for (unsigned i = 0; i < container->nb_streams; i++) {
    if (!triedStream(container->streams[i])) continue;
    if (i >= trials.size() || !trials[i] || !trials[i]->done()) return false;
  }
  return true;
}

/// True when a stream of the container has its access units split by FFmpeg's parser
/// whenever its packets are read.
bool anySplitWhenRead(const std::vector<std::unique_ptr<StreamTrial>>& trials) {
  for (const auto& trial : trials) {
    if (trial && trial->splitWhenRead()) return true;
  }
  return false;
}

/// The container trial over a rereading of the file: reads its packets as the analysis
/// would (no more bytes than its probesize, the packet crossing it included), and gives
/// each tried stream's packets to its StreamTrial. When every packet is read after
/// the analysis, the streams whose parser splits their access units are counted to the
/// end of the file. 0, or the first refusal.
int tryContainer(PickedMedia& media, AnalysisFor use) {
  MediaRereading rereading(media);
  if (rereading.status() < 0) return rereading.status();
  AVFormatContext* container = rereading.get();
  const int64_t probesize = media->probesize;
  std::vector<std::unique_ptr<StreamTrial>> trials;
  const AVCodecContext* budget = nullptr;  // the first trial decoder's, shared by the others
  Packet packet(av_packet_alloc());
  if (!packet) return AVERROR(ENOMEM);
  int64_t bytes = 0;
  int status = 0;
  for (int packets = 0; status == 0; packets++) {
    const bool analysed =
        packets >= kTrialPackets || bytes >= probesize || allTried(container, trials);
    if (analysed && (use == AnalysisFor::kListing || !anySplitWhenRead(trials))) break;
    if (av_read_frame(container, packet.get()) < 0) break;
    bytes += packet->size;
    const auto index = static_cast<size_t>(packet->stream_index);
    if (index >= trials.size()) trials.resize(container->nb_streams);
    if (!trials[index] && triedStream(container->streams[index])) {
      trials[index] = std::make_unique<StreamTrial>(container->streams[index]->codecpar, budget);
      if (budget == nullptr) budget = trials[index]->budgetHolder();
    }
    StreamTrial* trial = trials[index].get();
    if (trial != nullptr && !analysed) status = trial->take(packet.get());
    if (trial != nullptr && analysed && trial->splitWhenRead()) status = trial->count(packet.get());
    av_packet_unref(packet.get());
  }
  for (const auto& trial : trials) {
    if (status == 0 && trial) status = trial->finish();
  }
  return status;
}

}  // namespace

bool holdsFloodedAccessUnit(AVIOContext* stream, bool hevc) {
  const int64_t start = avio_tell(stream);
  if (avio_seek(stream, 0, SEEK_SET) < 0) return false;
  std::vector<uint8_t> block(kBlock);
  AccessUnitScan scan(hevc);
  bool flooded = false;
  for (bool end = false; !end && !flooded;) {
    const int got = avio_read(stream, block.data(), kBlock);
    end = got <= 0;
    flooded = scan.take(block.data(), end ? 0 : static_cast<size_t>(got), end);
  }
  avio_seek(stream, start, SEEK_SET);
  return flooded;
}

bool outgrowsPictureBudget(AVIOContext* stream, AVCodecID codec) {
  TrialDecoder decoder(codec, nullptr, true);
  if (!decoder.opened()) return false;
  const int64_t start = avio_tell(stream);
  if (avio_seek(stream, 0, SEEK_SET) < 0) return false;
  std::vector<uint8_t> block(kBlock + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  for (int got; !decoder.done() && (got = avio_read(stream, block.data(), kBlock)) > 0;) {
    decoder.take(block.data(), got);
  }
  avio_seek(stream, start, SEEK_SET);
  return decoder.refused();
}

int analyseStreams(PickedMedia& picked, AnalysisFor use) {
  AVFormatContext* media = picked.get();
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
  // A container's streams get the same trial on a rereading of the file, so that the
  // demuxer the analysis and the copy use keeps every packet and its place.
  if (!h264 && !hevc && mayHoldTriedStream(media)) {
    const int status = tryContainer(picked, use);
    if (status < 0) return status;
  }
  AnalysisOptions options(media->nb_streams);
  return avformat_find_stream_info(media, options.get());
}

}  // namespace qn::tools
