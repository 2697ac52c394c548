#include "tests/support/stream_edits.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

namespace qn::testing {
namespace {

/// Reads an RBSP (emulation prevention removed) bit by bit.
class BitReader {
 public:
  explicit BitReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  uint32_t bits(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; i++) value = (value << 1) | bit();
    return value;
  }
  uint32_t ue() {
    int zeros = 0;
    while (bit() == 0 && zeros < 32) zeros++;
    return ((1u << zeros) - 1) + bits(zeros);
  }
  size_t position() const { return position_; }

 private:
  uint32_t bit() {
    if (position_ >= bytes_.size() * 8) return 1;  // a cut stream reads as ones, never past
    const uint32_t value = (bytes_[position_ / 8] >> (7 - position_ % 8)) & 1;
    position_++;
    return value;
  }
  const std::vector<uint8_t>& bytes_;
  size_t position_ = 0;
};

/// Writes an RBSP bit by bit.
class BitWriter {
 public:
  void bits(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; i--) bit((value >> i) & 1);
  }
  void ue(uint32_t value) {
    const uint64_t coded = uint64_t{value} + 1;
    int length = 0;
    while ((coded >> length) > 1) length++;
    bits(0, length);
    bits(static_cast<uint32_t>(coded), length + 1);
  }
  /// Copies bits [from, to) of an RBSP.
  void copy(const std::vector<uint8_t>& rbsp, size_t from, size_t to) {
    for (size_t i = from; i < to; i++) bit((rbsp[i / 8] >> (7 - i % 8)) & 1);
  }
  /// The stop bit and the zero bits up to the byte boundary.
  std::vector<uint8_t> finish() {
    bit(1);
    while (count_ % 8 != 0) bit(0);
    return bytes_;
  }

 private:
  void bit(uint32_t value) {
    if (count_ % 8 == 0) bytes_.push_back(0);
    if (value) bytes_.back() |= static_cast<uint8_t>(0x80 >> (count_ % 8));
    count_++;
  }
  std::vector<uint8_t> bytes_;
  size_t count_ = 0;
};

/// The NAL units of an Annex B stream, each without its start code.
std::vector<std::vector<uint8_t>> nalUnits(const std::vector<uint8_t>& stream) {
  std::vector<size_t> starts;
  for (size_t i = 0; i + 3 <= stream.size(); i++) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) starts.push_back(i + 3);
  }
  std::vector<std::vector<uint8_t>> units;
  for (size_t n = 0; n < starts.size(); n++) {
    size_t end = n + 1 < starts.size() ? starts[n + 1] - 3 : stream.size();
    while (end > starts[n] && stream[end - 1] == 0) end--;  // the next start code's zero_byte
    units.emplace_back(stream.begin() + starts[n], stream.begin() + end);
  }
  return units;
}

/// The NAL unit type of a unit without its start code (-1 for an empty one).
int nalType(const std::vector<uint8_t>& unit, AVCodecID codec) {
  if (unit.empty()) return -1;
  return codec == AV_CODEC_ID_H264 ? unit[0] & 0x1f : (unit[0] >> 1) & 0x3f;
}

std::vector<uint8_t> toRbsp(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> rbsp;
  for (size_t i = 0; i < payload.size(); i++) {
    if (i >= 2 && payload[i] == 3 && payload[i - 1] == 0 && payload[i - 2] == 0) continue;
    rbsp.push_back(payload[i]);
  }
  return rbsp;
}

std::vector<uint8_t> fromRbsp(const std::vector<uint8_t>& rbsp) {
  std::vector<uint8_t> payload;
  int zeros = 0;
  for (uint8_t byte : rbsp) {
    if (zeros >= 2 && byte <= 3) {
      payload.push_back(3);
      zeros = 0;
    }
    payload.push_back(byte);
    zeros = byte == 0 ? zeros + 1 : 0;
  }
  return payload;
}

/// Where the RBSP's stop bit stands: everything before it is syntax.
size_t stopBitPosition(const std::vector<uint8_t>& rbsp) {
  for (size_t byte = rbsp.size(); byte-- > 0;) {
    for (int bit = 0; bit < 8; bit++) {
      if ((rbsp[byte] >> bit) & 1) return byte * 8 + (7 - bit);
    }
  }
  return 0;
}

/// Reads up to the picture size of an H.264 SPS and returns where its two fields start.
size_t h264SizeFields(BitReader& in) {
  const uint32_t profile = in.bits(8);
  in.bits(16);  // constraint flags, level
  in.ue();      // seq_parameter_set_id
  for (uint32_t high : {100u, 110u, 122u, 244u, 44u, 83u, 86u, 118u, 128u, 138u, 139u, 134u}) {
    if (profile != high) continue;
    if (in.ue() == 3) in.bits(1);  // chroma_format_idc, separate_colour_plane_flag
    in.ue();
    in.ue();  // bit depths
    in.bits(1);
    EXPECT_EQ(in.bits(1), 0u) << "scaling matrices are not rewritten";
  }
  in.ue();  // log2_max_frame_num_minus4
  const uint32_t pocType = in.ue();
  if (pocType == 0) in.ue();
  EXPECT_NE(pocType, 1u) << "picture order count type 1 is not rewritten";
  in.ue();     // max_num_ref_frames
  in.bits(1);  // gaps_in_frame_num_value_allowed_flag
  return in.position();
}

/// Reads up to the picture size of an H.265 SPS and returns where its two fields start.
size_t h265SizeFields(BitReader& in) {
  in.bits(4);
  const uint32_t subLayers = in.bits(3);
  in.bits(1);
  in.bits(32);
  in.bits(32);
  in.bits(32);  // general profile, compatibility, constraint flags, level
  std::vector<std::pair<bool, bool>> present;
  for (uint32_t i = 0; i < subLayers; i++) {
    const bool profile = in.bits(1);
    present.emplace_back(profile, in.bits(1));
  }
  if (subLayers > 0) in.bits(2 * (8 - static_cast<int>(subLayers)));
  for (const auto& [profile, level] : present) {
    if (profile) in.bits(32), in.bits(32), in.bits(24);
    if (level) in.bits(8);
  }
  in.ue();                       // sps_seq_parameter_set_id
  if (in.ue() == 3) in.bits(1);  // chroma_format_idc, separate_colour_plane_flag
  return in.position();
}

/// The SPS payload (NAL header included) with the fields from the picture size
/// on rewritten by `edit(in, out)`, which reads the old ones from `in` (placed
/// at the size) and writes the new ones into `out`; empty if not an SPS.
template <typename Edit>
std::vector<uint8_t> editedSps(const std::vector<uint8_t>& unit, AVCodecID codec, Edit edit) {
  const bool h264 = codec == AV_CODEC_ID_H264;
  const size_t header = h264 ? 1 : 2;
  const bool sps = nalType(unit, codec) == (h264 ? 7 : 33);
  if (!sps || unit.size() <= header) return {};
  const std::vector<uint8_t> rbsp = toRbsp({unit.begin() + header, unit.end()});
  BitReader in(rbsp);
  const size_t sizeAt = h264 ? h264SizeFields(in) : h265SizeFields(in);
  BitWriter out;
  out.copy(rbsp, 0, sizeAt);
  edit(in, out);
  out.copy(rbsp, in.position(), stopBitPosition(rbsp));
  std::vector<uint8_t> rewritten(unit.begin(), unit.begin() + header);
  const std::vector<uint8_t> payload = fromRbsp(out.finish());
  rewritten.insert(rewritten.end(), payload.begin(), payload.end());
  return rewritten;
}

/// The stream with every SPS passed through editedSps with `edit`.
template <typename Edit>
std::vector<uint8_t> withEditedSps(const std::vector<uint8_t>& stream, AVCodecID codec, Edit edit) {
  std::vector<uint8_t> out;
  for (const std::vector<uint8_t>& unit : nalUnits(stream)) {
    const std::vector<uint8_t> sps = editedSps(unit, codec, edit);
    const std::vector<uint8_t>& kept = sps.empty() ? unit : sps;
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), kept.begin(), kept.end());
  }
  return out;
}

/// The parameter set NAL units (H.264 SPS and PPS, H.265 VPS, SPS and PPS) before the
/// first slice of an access unit, each behind a four-byte start code.
std::vector<uint8_t> parameterSets(const std::vector<uint8_t>& accessUnit, AVCodecID codec) {
  const bool h264 = codec == AV_CODEC_ID_H264;
  std::vector<uint8_t> sets;
  for (const std::vector<uint8_t>& unit : nalUnits(accessUnit)) {
    const int type = nalType(unit, codec);
    if (h264 ? type == 1 || type == 5 : type < 32) break;  // the sets come before the slices
    if (h264 ? type != 7 && type != 8 : type > 34) continue;
    sets.insert(sets.end(), {0, 0, 0, 1});
    sets.insert(sets.end(), unit.begin(), unit.end());
  }
  return sets;
}

/// True when the access unit holds an IDR (H.264 type 5) or IRAP (H.265 16-23) slice.
bool holdsKeyPicture(const std::vector<uint8_t>& accessUnit, AVCodecID codec) {
  const std::vector<std::vector<uint8_t>> units = nalUnits(accessUnit);
  return std::any_of(units.begin(), units.end(), [&](const std::vector<uint8_t>& unit) {
    const int type = nalType(unit, codec);
    return codec == AV_CODEC_ID_H264 ? type == 5 : type >= 16 && type <= 23;
  });
}

/// Frees a muxer's context, closing its file first.
struct MuxerCloser {
  void operator()(AVFormatContext* context) const {
    avio_closep(&context->pb);
    avformat_free_context(context);
  }
};

}  // namespace

bool writeMuxed(const std::string& path, const char* muxer, AVCodecID codec, int width,
                int height, const std::vector<std::vector<uint8_t>>& units, int tracks) {
  AVFormatContext* made = nullptr;
  if (units.empty() || avformat_alloc_output_context2(&made, nullptr, muxer, path.c_str()) < 0) {
    return false;
  }
  std::unique_ptr<AVFormatContext, MuxerCloser> output(made);
  const std::vector<uint8_t> sets = parameterSets(units[0], codec);
  for (int track = 0; track < tracks; track++) {
    AVStream* stream = avformat_new_stream(made, nullptr);
    if (stream == nullptr) return false;
    stream->time_base = {1, 25};
    AVCodecParameters* parameters = stream->codecpar;
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = codec;
    parameters->width = width;
    parameters->height = height;
    parameters->extradata =
        static_cast<uint8_t*>(av_mallocz(sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (parameters->extradata == nullptr) return false;
    std::memcpy(parameters->extradata, sets.data(), sets.size());
    parameters->extradata_size = static_cast<int>(sets.size());
  }
  if (avio_open(&made->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 ||
      avformat_write_header(made, nullptr) < 0) {
    return false;
  }
  // The muxer takes each packet's data and leaves the packet blank for the next one.
  const std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(
      av_packet_alloc(), [](AVPacket* unused) { av_packet_free(&unused); });
  for (size_t i = 0; i < units.size(); i++) {
    for (int track = 0; track < tracks; track++) {
      if (!packet || av_new_packet(packet.get(), static_cast<int>(units[i].size())) < 0) return false;
      std::memcpy(packet->data, units[i].data(), units[i].size());
      packet->stream_index = track;
      packet->pts = packet->dts = static_cast<int64_t>(i);
      packet->duration = 1;
      if (holdsKeyPicture(units[i], codec)) packet->flags |= AV_PKT_FLAG_KEY;
      av_packet_rescale_ts(packet.get(), {1, 25}, made->streams[track]->time_base);
      if (av_interleaved_write_frame(made, packet.get()) < 0) return false;
    }
  }
  return av_write_trailer(made) == 0;
}

EncodedStream cameraStream(AVCodecID codec, int bFrames, int width, int height, int frames) {
  StreamSpec recipe;
  recipe.codec = codec;
  recipe.width = width;
  recipe.height = height;
  recipe.frames = frames;
  recipe.gopSize = 8;
  recipe.bFrames = bFrames;
  return encodeStream(recipe);
}

EncodedStream joinedAt(const EncodedStream& stream, size_t firstUnit) {
  EncodedStream out;
  for (size_t i = firstUnit; i < stream.accessUnits.size(); i++) {
    out.accessUnits.push_back(stream.accessUnits[i]);
    out.bytes.insert(out.bytes.end(), stream.accessUnits[i].begin(), stream.accessUnits[i].end());
  }
  return out;
}

EncodedStream spliced(const std::vector<EncodedStream>& parts) {
  EncodedStream out;
  for (const EncodedStream& part : parts) {
    out.bytes.insert(out.bytes.end(), part.bytes.begin(), part.bytes.end());
    out.accessUnits.insert(out.accessUnits.end(), part.accessUnits.begin(),
                           part.accessUnits.end());
  }
  return out;
}

std::vector<uint8_t> withDeclaredSize(const std::vector<uint8_t>& stream, AVCodecID codec,
                                      int width, int height) {
  const bool h264 = codec == AV_CODEC_ID_H264;
  return withEditedSps(stream, codec, [&](BitReader& in, BitWriter& out) {
    in.ue();
    in.ue();  // the old size
    out.ue(h264 ? static_cast<uint32_t>((width + 15) / 16 - 1) : static_cast<uint32_t>(width));
    out.ue(h264 ? static_cast<uint32_t>((height + 15) / 16 - 1) : static_cast<uint32_t>(height));
  });
}

std::vector<uint8_t> withCroppingWindow(const std::vector<uint8_t>& stream, AVCodecID codec,
                                        int left, int right) {
  const bool h264 = codec == AV_CODEC_ID_H264;
  return withEditedSps(stream, codec, [&](BitReader& in, BitWriter& out) {
    out.ue(in.ue());
    out.ue(in.ue());  // the size stays
    if (h264) {
      const uint32_t frameMbsOnly = in.bits(1);
      out.bits(frameMbsOnly, 1);
      if (frameMbsOnly == 0) out.bits(in.bits(1), 1);  // mb_adaptive_frame_field_flag
      out.bits(in.bits(1), 1);                         // direct_8x8_inference_flag
    }
    if (in.bits(1) != 0) {
      for (int i = 0; i < 4; i++) in.ue();  // the old window
    }
    out.bits(1, 1);
    // Offsets count pairs of luma columns in 4:2:0; none at the top or bottom.
    for (int offset : {left / 2, right / 2, 0, 0}) out.ue(static_cast<uint32_t>(offset));
  });
}

std::vector<uint8_t> fillerNalUnits(AVCodecID codec, size_t count) {
  const std::vector<uint8_t> filler = codec == AV_CODEC_ID_H264
                                          ? std::vector<uint8_t>{0, 0, 1, 0x0c, 0x80}
                                          : std::vector<uint8_t>{0, 0, 1, 0x4c, 0x01};
  std::vector<uint8_t> bytes;
  bytes.reserve(filler.size() * count);
  for (size_t i = 0; i < count; i++) bytes.insert(bytes.end(), filler.begin(), filler.end());
  return bytes;
}

std::vector<uint8_t> bigFillerNalUnit(AVCodecID codec, size_t size) {
  std::vector<uint8_t> unit = codec == AV_CODEC_ID_H264 ? std::vector<uint8_t>{0, 0, 1, 0x0c}
                                                        : std::vector<uint8_t>{0, 0, 1, 0x4c, 0x01};
  unit.insert(unit.end(), size, 0xff);
  unit.push_back(0x80);  // the trailing bits
  return unit;
}

std::vector<std::vector<uint8_t>> cutInto(const std::vector<uint8_t>& bytes, size_t size) {
  std::vector<std::vector<uint8_t>> chunks;
  for (size_t at = 0; at < bytes.size(); at += size) {
    chunks.emplace_back(bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + size));
  }
  return chunks;
}

}  // namespace qn::testing
