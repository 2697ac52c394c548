// Box-scaling of a decoded picture to a bitmap's output size: every plane,
// chroma included, is averaged to the output size (4:4:4), so the conversion
// that follows works on the small picture and no chroma stays at half size.
#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
}

namespace qn {

/// True if bitmaps may be asked in width x height: 0 x 0 (the picture's own
/// size), or both sides positive and at most maxPixels pixels in all.
bool isValidOutputSize(int width, int height, int64_t maxPixels);

/// Scales pictures into 4:4:4 planes it keeps, so a steady stream of pictures of
/// one format allocates nothing after the first.
class PictureScaler {
 public:
  PictureScaler() = default;
  ~PictureScaler();
  PictureScaler(const PictureScaler&) = delete;
  PictureScaler& operator=(const PictureScaler&) = delete;

  /// The picture box-scaled to width x height, in the 4:4:4 format of its
  /// depth and range, with its colour signalling; null if its format cannot be
  /// scaled or memory ran out. Valid until the next call.
  const AVFrame* scale(const AVFrame* picture, int width, int height);

 private:
  /// Makes `scaled_` a width x height frame of `format`, reusing its planes when they fit.
  bool prepare(int format, int width, int height);

  AVFrame* scaled_ = nullptr;
};

}  // namespace qn
