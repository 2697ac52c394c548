// Writes the seed corpus of decoder_fuzzer: small generated H.264 and H.265
// streams in the fuzzer's input form (codec byte, join offset, then
// length-prefixed chunks), joined at the start and mid-way.
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tests/support/media.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

/// Encodes a stream as one fuzzer input, joined `missed` bytes in and cut into chunks of random lengths.
std::vector<uint8_t> asFuzzInput(const std::vector<uint8_t>& stream, bool h264, size_t missed,
                                 unsigned seed) {
  std::vector<uint8_t> input{static_cast<uint8_t>(h264 ? 1 : 0), static_cast<uint8_t>(missed & 0xff),
                             static_cast<uint8_t>(missed >> 8)};
  std::mt19937 random(seed);
  size_t offset = 0;
  while (offset < stream.size()) {
    const size_t length = std::min<size_t>(1 + random() % 255, stream.size() - offset);
    input.push_back(static_cast<uint8_t>(length));
    input.insert(input.end(), stream.begin() + offset, stream.begin() + offset + length);
    offset += length;
  }
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  int written = 0;
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    for (int bFrames : {0, 2}) {
      qn::testing::StreamSpec recipe;
      recipe.codec = codec;
      recipe.width = 64;
      recipe.height = 48;
      recipe.frames = 6;
      recipe.gopSize = 3;
      recipe.bFrames = bFrames;
      const auto stream = qn::testing::encodeStream(recipe).bytes;
      const bool h264 = codec == AV_CODEC_ID_H264;
      for (size_t missed : {size_t{0}, stream.size() / 3}) {
        const std::string name = dir + "/seed-" + (h264 ? "h264" : "h265") + "-b" +
                                 std::to_string(bFrames) + "-join" + std::to_string(missed);
        qn::testing::writeFile(name, asFuzzInput(stream, h264, missed & 0xffff, 7u + bFrames));
        written++;
      }
    }
  }
  // One small stream of each other pixel format the bitmap conversion takes.
  for (AVPixelFormat format : {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV444P,
                               AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_YUV422P10LE,
                               AV_PIX_FMT_YUV444P10LE, AV_PIX_FMT_GRAY8}) {
    const auto recipe = qn::testing::colourRecipe(AV_CODEC_ID_HEVC, format, AVCOL_SPC_BT709,
                                                  AVCOL_RANGE_MPEG, 64, 48, 3);
    const auto stream = qn::testing::encodeStream(recipe).bytes;
    const std::string name = dir + "/seed-h265-" + av_get_pix_fmt_name(format);
    qn::testing::writeFile(name, asFuzzInput(stream, false, 0, 11u + written));
    written++;
  }
  std::printf("%d seeds written to %s\n", written, dir.c_str());
  return 0;
}
