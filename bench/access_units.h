// Cuts an Annex B H.264/H.265 elementary stream at its access unit
// boundaries, so the benchmarks can hand the decoder one picture's bytes per
// call, as a camera sends them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoder/access_unit_check.h"

namespace qn::bench {

/// One access unit: a byte range of the stream.
struct AccessUnit {
  size_t offset = 0;
  size_t size = 0;
};

/// Splits the stream into access units; bytes before the first start code go with the first.
inline std::vector<AccessUnit> splitAccessUnits(const uint8_t* data, size_t size, bool hevc) {
  std::vector<AccessUnit> units;
  size_t unitStart = 0;
  bool unitHasPicture = false;
  for (size_t header = qn::nextNalHeader(data, size, 0); header != qn::kNoStartCode;
       header = qn::nextNalHeader(data, size, header)) {
    if (header >= size) break;
    const size_t nalStart = qn::startCodeOf(data, header);
    if (unitHasPicture && qn::opensAccessUnit(data, size, header, hevc)) {
      units.push_back({unitStart, nalStart - unitStart});
      unitStart = nalStart;
      unitHasPicture = false;
    }
    unitHasPicture = unitHasPicture || qn::isPictureNal(data[header], hevc);
  }
  if (size > unitStart) units.push_back({unitStart, size - unitStart});
  return units;
}

}  // namespace qn::bench
