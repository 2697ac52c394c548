// The largest picture any decoder of the library accepts, shared by the live
// decoder and the tools that decode files.
#pragma once

#include <cstdint>

namespace qn {

/// The largest picture (width x height): 4096 x 4096, a margin above the 4K / 8 MP
/// that cameras send. Larger ones are refused before they cost memory or time.
inline constexpr int64_t kMaxPicturePixels = 4096 * 4096;

}  // namespace qn
