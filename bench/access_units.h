// Cuts an Annex B H.264/H.265 elementary stream at its access unit
// boundaries, so the benchmarks can hand the decoder one picture's bytes per
// call, as a camera sends them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qn::bench {

/// One access unit: a byte range of the stream.
struct AccessUnit {
  size_t offset = 0;
  size_t size = 0;
};

namespace detail {

constexpr size_t kNoStartCode = static_cast<size_t>(-1);

/// Index of the first byte after the next 00 00 01 at or after `from`, or kNoStartCode.
inline size_t nextNalHeader(const uint8_t* data, size_t size, size_t from) {
  for (size_t i = from; i + 3 <= size; i++) {
    if (data[i + 2] > 1) {
      i += 2;  // none of the next two positions can start a start code
    } else if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      return i + 3;
    }
  }
  return kNoStartCode;
}

/// True if the H.264 NAL unit at `header` is a slice.
inline bool isH264Picture(uint8_t header) {
  const int type = header & 0x1f;
  return type >= 1 && type <= 5;
}

/// True if the H.264 NAL unit at `header` begins a new access unit after a picture
/// (AUD, SEI, SPS, PPS, types 14-18, or a slice whose first_mb_in_slice is 0).
inline bool opensH264Unit(const uint8_t* data, size_t size, size_t header) {
  const int type = data[header] & 0x1f;
  if (type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18)) return true;
  // first_mb_in_slice is ue(v): a leading 1 bit is the value 0.
  return isH264Picture(data[header]) && header + 1 < size && (data[header + 1] & 0x80) != 0;
}

/// True if the H.265 NAL unit at `header` is a slice segment.
inline bool isH265Picture(uint8_t header) { return ((header >> 1) & 0x3f) <= 31; }

/// True if the H.265 NAL unit at `header` begins a new access unit after a picture
/// (VPS, SPS, PPS, AUD, prefix SEI, types 41-44 and 48-55, or a first slice segment).
inline bool opensH265Unit(const uint8_t* data, size_t size, size_t header) {
  const int type = (data[header] >> 1) & 0x3f;
  if ((type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) ||
      (type >= 48 && type <= 55)) {
    return true;
  }
  // first_slice_segment_in_pic_flag is the first bit after the two header bytes.
  return type <= 31 && header + 2 < size && (data[header + 2] & 0x80) != 0;
}

}  // namespace detail

/// Splits the stream into access units; bytes before the first start code go with the first.
inline std::vector<AccessUnit> splitAccessUnits(const uint8_t* data, size_t size, bool hevc) {
  std::vector<AccessUnit> units;
  size_t unitStart = 0;
  bool unitHasPicture = false;
  for (size_t header = detail::nextNalHeader(data, size, 0); header != detail::kNoStartCode;
       header = detail::nextNalHeader(data, size, header)) {
    if (header >= size) break;
    // A four-byte start code belongs to the unit it opens.
    size_t nalStart = header - 3;
    if (nalStart > 0 && data[nalStart - 1] == 0) nalStart--;
    const bool opens = hevc ? detail::opensH265Unit(data, size, header)
                            : detail::opensH264Unit(data, size, header);
    if (opens && unitHasPicture) {
      units.push_back({unitStart, nalStart - unitStart});
      unitStart = nalStart;
      unitHasPicture = false;
    }
    if (hevc ? detail::isH265Picture(data[header]) : detail::isH264Picture(data[header])) {
      unitHasPicture = true;
    }
  }
  if (size > unitStart) units.push_back({unitStart, size - unitStart});
  return units;
}

}  // namespace qn::bench
