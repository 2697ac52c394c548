// What a hostile peer's stream costs per decode call: small H.264/H.265
// streams whose parameter sets declare pictures far over the decoder's size
// limit, cut into network-sized chunks, against the same stream unaltered.
// Prints a Markdown table: time per call (median, slowest) and peak resident size.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "decoder/ffmpeg_decoder.h"
#include "tests/support/media.h"
#include "tests/support/stream_edits.h"

namespace {

using qn::testing::EncodedStream;
using qn::testing::StreamSpec;

struct CallTimes {
  double medianMs = 0;
  double slowestMs = 0;
  int calls = 0;
  int pictures = 0;
};

/// Feeds the stream to a new decoder in 1,000-byte chunks, `rounds` times over, timing each call.
CallTimes timeCalls(const std::vector<uint8_t>& stream, int type, int rounds) {
  FFmpegDecoder decoder;
  decoder.setUp(type);
  std::vector<double> ms;
  CallTimes times;
  for (int round = 0; round < rounds; round++) {
    for (size_t offset = 0; offset < stream.size(); offset += 1000) {
      std::vector<uint8_t> chunk(stream.begin() + offset,
                                 stream.begin() + std::min(stream.size(), offset + 1000));
      const auto start = std::chrono::steady_clock::now();
      const AVFrame* frame = decoder.decode(chunk.data(), int(chunk.size()), 0);
      const auto end = std::chrono::steady_clock::now();
      ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
      if (frame != nullptr && frame->data[0] != nullptr) times.pictures++;
    }
  }
  std::sort(ms.begin(), ms.end());
  times.calls = int(ms.size());
  times.medianMs = ms[ms.size() / 2];
  times.slowestMs = ms.back();
  return times;
}

long peakResidentKib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main() {
  std::printf("| stream | declared size | calls | calls with a picture | ms/call median | ms/call slowest | peak resident size |\n");
  std::printf("|---|---|--:|--:|--:|--:|--:|\n");
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    StreamSpec recipe;
    recipe.codec = codec;
    recipe.frames = 24;
    recipe.gopSize = 8;
    const EncodedStream stream = qn::testing::encodeStream(recipe);
    const char* name = codec == AV_CODEC_ID_H264 ? "H.264 352×288" : "H.265 352×288";
    const int type = codec == AV_CODEC_ID_H264 ? 1 : 2;
    for (auto [width, height] : {std::pair{0, 0}, {8000, 8000}, {16000, 16000}, {65520, 65520}}) {
      const std::vector<uint8_t> bytes =
          width == 0 ? stream.bytes
                     : qn::testing::withDeclaredSize(stream.bytes, codec, width, height);
      const CallTimes times = timeCalls(bytes, type, 20);
      const std::string declared =
          width == 0 ? "as encoded" : std::to_string(width) + "×" + std::to_string(height);
      std::printf("| %s | %s | %d | %d | %.3f | %.3f | %ld MiB |\n", name, declared.c_str(),
                  times.calls, times.pictures, times.medianMs, times.slowestMs,
                  peakResidentKib() / 1024);
    }
  }
  return 0;
}
