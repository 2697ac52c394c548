// The moving test pattern that the video tools generate and their tests check.
#pragma once

#include <cstdint>

namespace qn::tools {

/// Draws test pattern picture `index` into 8-bit 4:2:0 planes of width x height:
/// Y = x + y + 3i, Cb = 128 + y + 2i, Cr = 64 + x + 5i, each modulo 256.
inline void fillTestPattern(uint8_t* const planes[], const int lineSizes[], int width, int height,
                            int index) {
  for (int y = 0; y < height; y++) {
    uint8_t* row = planes[0] + y * lineSizes[0];
    for (int x = 0; x < width; x++) row[x] = static_cast<uint8_t>(x + y + 3 * index);
  }
  for (int y = 0; y < height / 2; y++) {
    uint8_t* cb = planes[1] + y * lineSizes[1];
    uint8_t* cr = planes[2] + y * lineSizes[2];
    for (int x = 0; x < width / 2; x++) {
      cb[x] = static_cast<uint8_t>(128 + y + 2 * index);
      cr[x] = static_cast<uint8_t>(64 + x + 5 * index);
    }
  }
}

}  // namespace qn::tools
