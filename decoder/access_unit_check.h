// Byte-level look at the NAL units of an Annex B H.264/H.265 chunk: where
// access units start, and whether a chunk is one whole access unit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qn {

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

/// Where the start code of the NAL unit at `header` begins; a four-byte start
/// code belongs to the unit it opens.
size_t startCodeOf(const uint8_t* data, size_t header);

/// True if the NAL unit whose header byte is `header` holds a slice (segment) of a picture.
bool isPictureNal(uint8_t header, bool hevc);

/// True if the NAL unit at `header` begins a new access unit when it follows a
/// picture: H.264 AUD, SEI, SPS, PPS, types 14-18 or a slice whose
/// first_mb_in_slice is 0; H.265 VPS, SPS, PPS, AUD, prefix SEI, types 41-44 and
/// 48-55 or a slice segment with first_slice_segment_in_pic_flag set.
bool opensAccessUnit(const uint8_t* data, size_t size, size_t header, bool hevc);

/// True if the bytes hold a sequence parameter set (H.264 type 7, H.265 type 33):
/// a decoder opened afresh can start on them.
bool holdsSequenceParameterSet(const uint8_t* data, size_t size, bool hevc);

/// What a chunk looks like against the promise of one whole access unit per chunk.
struct AccessUnitCheck {
  const char* broken = nullptr;  // why the chunk is not one whole access unit; null: looks whole
  size_t firstUnitStart = 0;     // where the first access unit starting in the chunk begins
  bool holdsPicture = false;     // of a chunk that looks whole: a slice is in it
  size_t nalUnits = 0;           // of a chunk that looks whole: its NAL units
};

/// Checks that the chunk starts with a start code and an access-unit-starting NAL
/// unit and holds no second access-unit start after a picture's slices. A chunk
/// that stops short of its access unit's end cannot be told from a whole one; one
/// without a slice (parameter sets alone) is no access unit by itself.
AccessUnitCheck checkWholeAccessUnit(const uint8_t* data, size_t size, bool hevc);

}  // namespace qn
