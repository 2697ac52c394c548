#include "decoder/access_unit_check.h"

namespace qn {
namespace {

/// True if the H.264 NAL unit at `header` begins a new access unit after a picture.
bool opensH264Unit(const uint8_t* data, size_t size, size_t header) {
  const int type = data[header] & 0x1f;
  if (type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18)) return true;
  // first_mb_in_slice is ue(v): a leading 1 bit is the value 0.
  return isPictureNal(data[header], false) && header + 1 < size && (data[header + 1] & 0x80) != 0;
}

/// True if the H.265 NAL unit at `header` begins a new access unit after a picture.
bool opensH265Unit(const uint8_t* data, size_t size, size_t header) {
  const int type = (data[header] >> 1) & 0x3f;
  if ((type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) ||
      (type >= 48 && type <= 55)) {
    return true;
  }
  // first_slice_segment_in_pic_flag is the first bit after the two header bytes.
  return type <= 31 && header + 2 < size && (data[header + 2] & 0x80) != 0;
}

/// The first NAL unit header of the chunk that opens an access unit, or kNoStartCode.
size_t firstOpeningHeader(const uint8_t* data, size_t size, bool hevc) {
  for (size_t header = nextNalHeader(data, size, 0); header != kNoStartCode && header < size;
       header = nextNalHeader(data, size, header)) {
    if (opensAccessUnit(data, size, header, hevc)) return header;
  }
  return kNoStartCode;
}

}  // namespace

size_t startCodeOf(const uint8_t* data, size_t header) {
  const size_t start = header - 3;
  return start > 0 && data[start - 1] == 0 ? start - 1 : start;
}

bool isPictureNal(uint8_t header, bool hevc) {
  if (hevc) return ((header >> 1) & 0x3f) <= 31;
  const int type = header & 0x1f;
  return type >= 1 && type <= 5;
}

bool opensAccessUnit(const uint8_t* data, size_t size, size_t header, bool hevc) {
  return hevc ? opensH265Unit(data, size, header) : opensH264Unit(data, size, header);
}

AccessUnitCheck checkWholeAccessUnit(const uint8_t* data, size_t size, bool hevc) {
  AccessUnitCheck check;
  const size_t first = nextNalHeader(data, size, 0);
  const bool startCodeFirst = first == 3 || (first == 4 && data[0] == 0);
  if (!startCodeFirst || first >= size || !opensAccessUnit(data, size, first, hevc)) {
    check.broken = startCodeFirst ? "starts in the middle of an access unit"
                                  : "does not start with a start code";
    const size_t opening = firstOpeningHeader(data, size, hevc);
    check.firstUnitStart = opening == kNoStartCode ? size : startCodeOf(data, opening);
    return check;
  }
  for (size_t header = first; header != kNoStartCode && header < size;
       header = nextNalHeader(data, size, header)) {
    if (check.holdsPicture && opensAccessUnit(data, size, header, hevc)) {
      check.broken = "holds more than one access unit";
      return check;
    }
    check.holdsPicture = check.holdsPicture || isPictureNal(data[header], hevc);
    check.nalUnits++;
  }
  return check;
}

bool holdsSequenceParameterSet(const uint8_t* data, size_t size, bool hevc) {
  for (size_t header = nextNalHeader(data, size, 0); header != kNoStartCode && header < size;
       header = nextNalHeader(data, size, header)) {
    const int type = hevc ? (data[header] >> 1) & 0x3f : data[header] & 0x1f;
    if (type == (hevc ? 33 : 7)) return true;
  }
  return false;
}

}  // namespace qn
