// What a hostile peer's stream costs per decode call: small H.264/H.265
// streams whose parameter sets declare pictures far over the decoder's size
// limit, cut into network-sized chunks, against the same stream unaltered.
// Prints a Markdown table: time per call (median, slowest) and peak resident size.
// A second table gives what streams made to cost work take from one decoder:
// filler and delimiter floods, and pictures that all stay references.
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "decoder/decoder_budget.h"
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

/// A line of /proc/self/status in KiB (VmRSS:, VmHWM:), -1 if missing.
long statusKib(const std::string& key) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
  }
  return -1;
}

/// `count` copies of one NAL unit after `head`.
std::vector<uint8_t> withRepeatedNal(std::vector<uint8_t> head, const std::vector<uint8_t>& nal,
                                     size_t count) {
  for (size_t i = 0; i < count; i++) head.insert(head.end(), nal.begin(), nal.end());
  return head;
}

/// Feeds the chunks to a new decoder and prints one row: slowest call, whole
/// time, growth of the peak resident size, most picture memory held.
void printWorkRow(const char* name, const std::vector<std::vector<uint8_t>>& chunks, int type,
                  bool whole) {
  malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
  const long before = statusKib("VmHWM:");
  double slowestMs = 0;
  int64_t held = 0;
  const auto start = std::chrono::steady_clock::now();
  {
    FFmpegDecoder decoder;
    decoder.setUp(type);
    decoder.setWholeAccessUnits(whole);
    for (const auto& chunk : chunks) {
      const auto callStart = std::chrono::steady_clock::now();
      decoder.decode(const_cast<uint8_t*>(chunk.data()), int(chunk.size()), 0);
      const auto callEnd = std::chrono::steady_clock::now();
      slowestMs = std::max(slowestMs,
                           std::chrono::duration<double, std::milli>(callEnd - callStart).count());
      held = std::max(held, qn::pictureBytesHeld(decoder.context()));
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("| %s | %zu | %.1f | %.2f | %ld MiB | %lld MiB |\n", name, chunks.size(), slowestMs,
              seconds, (statusKib("VmHWM:") - before) / 1024, static_cast<long long>(held >> 20));
}

/// A stream of `frames` solid pictures, every one kept as a reference (up to `refs`).
std::vector<uint8_t> referenceHeavy(int size, AVPixelFormat format, int frames, int refs) {
  StreamSpec recipe;
  recipe.width = recipe.height = size;
  recipe.frames = frames;
  recipe.gopSize = 250;
  recipe.solidY = 90;
  recipe.pixelFormat = format;
  recipe.encoderParams = "ref=" + std::to_string(refs);
  return qn::testing::encodeStream(recipe).bytes;
}

/// The work table: each stream made to cost the decoder work, against its bounds.
void printWorkTable() {
  std::printf("\n| stream | calls | slowest call ms | all calls s | peak resident growth | most picture memory held |\n");
  std::printf("|---|--:|--:|--:|--:|--:|\n");
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    const bool h264 = codec == AV_CODEC_ID_H264;
    StreamSpec recipe;
    recipe.codec = codec;
    recipe.width = 640;
    recipe.height = 360;
    recipe.frames = 1;
    const std::vector<uint8_t> picture = qn::testing::encodeStream(recipe).bytes;
    // The picture again after the flood: the packet that ends the flood is decoded.
    std::vector<uint8_t> bomb = picture;
    const std::vector<uint8_t> filler = qn::testing::fillerNalUnits(codec, 838860);
    bomb.insert(bomb.end(), filler.begin(), filler.end());
    bomb.insert(bomb.end(), picture.begin(), picture.end());
    const std::string label = h264 ? "H.264" : "H.265";
    printWorkRow((label + " 640×360 picture, 838,860 filler NAL units, the picture again; 1,400-byte chunks").c_str(),
                 qn::testing::cutInto(bomb, 1400), h264 ? 1 : 2, false);
    printWorkRow((label + " picture and fillers as one whole-unit chunk, then the picture").c_str(),
                 {std::vector<uint8_t>(bomb.begin(), bomb.end() - picture.size()), picture},
                 h264 ? 1 : 2, true);
    const std::vector<uint8_t> delimiter = h264 ? std::vector<uint8_t>{0, 0, 1, 0x09, 0xf0}
                                                : std::vector<uint8_t>{0, 0, 1, 0x46, 0x01, 0x50};
    printWorkRow((label + " 4 MiB chunk of access unit delimiters, whole-unit switch on").c_str(),
                 {withRepeatedNal({}, delimiter, (4u << 20) / delimiter.size())}, h264 ? 1 : 2,
                 true);
  }
  printWorkRow("H.264 4096×4096 4:4:4 10-bit, 20 pictures, 16 references, 1,400-byte chunks",
               qn::testing::cutInto(referenceHeavy(4096, AV_PIX_FMT_YUV444P10LE, 20, 16), 1400), 1, false);
  printWorkRow("H.264 4096×4096 4:2:0 8-bit, 20 pictures, 8 references, 1,400-byte chunks",
               qn::testing::cutInto(referenceHeavy(4096, AV_PIX_FMT_YUV420P, 20, 8), 1400), 1, false);
}

}  // namespace

int main() {
  qn::limitFfmpegAllocations();  // as the library's load hook does
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
  printWorkTable();
  return 0;
}
