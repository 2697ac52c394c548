// libFuzzer target of the live decoder core. The first byte picks the codec
// (bit 0: H.264, else H.265) and whether the app promises whole access units
// (bit 1: the switch is set before every chunk, so it comes back after each
// chunk that breaks the promise), bit 2 decodes key frames only, bit 3 makes a
// length byte of 255 a pause (the decoder is drained instead), and the high
// four bits pick a tile size (0: the picture's own; k: 16k x 9k, the picture
// box-scaled into it); the next two give the join offset, little-endian:
// how many stream bytes the viewer missed before joining, as one who connects
// to a running camera does. The rest is a sequence of chunks, each a length byte
// followed by that many stream bytes, so the fuzzer chooses the chunk boundaries
// as well as the bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "bridge/bridge.h"
#include "decoder/ffmpeg_decoder.h"
#include "decoder/picture_conversion.h"

namespace {

constexpr size_t kHeaderBytes = 3;

/// Chunk lengths 1..255 from one byte; 0 stands for a long chunk of 4096 bytes.
size_t chunkLength(uint8_t code) { return code == 0 ? 4096 : code; }

/// The length byte that stands for a pause when pauses are on.
constexpr uint8_t kPause = 255;

/// Converts the picture as the binding would (scaled to the tile, if one is set),
/// into exactly sized pixels, so a read past a plane or a write past the bitmap is caught.
void convertAsTheBindingWould(FFmpegDecoder& decoder, const AVFrame* frame,
                              std::vector<uint8_t>& pixels) {
  if (frame == nullptr || !qn::canConvert(frame)) return;
  int width = 0;
  int height = 0;
  decoder.outputSizeFor(frame->width, frame->height, &width, &height);
  const AVFrame* picture = decoder.pictureToConvert(frame, width, height);
  if (picture == nullptr) return;
  pixels.assign(static_cast<size_t>(width) * static_cast<size_t>(height) * 4, 0);
  qn::convertToAbgrPixels(picture, pixels.data(), width * 4);
}

}  // namespace

// FFmpeg's allocation limit, as the library's load hook sets it in the app.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  qn::limitFfmpegAllocations();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeaderBytes) return 0;
  av_log_set_level(AV_LOG_QUIET);
  FFmpegDecoder decoder{};  // value-initialised: every field zero, as create() makes it
  decoder.setUp((data[0] & 1) ? 1 : 0);
  const bool wholeUnits = (data[0] & 2) != 0;
  decoder.setKeyFramesOnly((data[0] & 4) != 0);
  const bool pauses = (data[0] & 8) != 0;
  const int tile = data[0] >> 4;
  decoder.setOutputSize(16 * tile, 9 * tile);
  size_t missed = data[1] | static_cast<size_t>(data[2]) << 8;

  size_t offset = kHeaderBytes;
  int sequence = 0;
  std::vector<uint8_t> chunk;
  std::vector<uint8_t> pixels;
  while (offset < size) {
    if (pauses && data[offset] == kPause) {
      offset++;
      convertAsTheBindingWould(decoder, decoder.drain(), pixels);
      continue;
    }
    const size_t wanted = chunkLength(data[offset++]);
    size_t length = wanted < size - offset ? wanted : size - offset;
    const uint8_t* bytes = data + offset;
    offset += length;
    // Bytes before the join offset never reach the decoder; the chunk that holds
    // the offset arrives from there on.
    const size_t skipped = missed < length ? missed : length;
    missed -= skipped;
    bytes += skipped;
    length -= skipped;
    if (length == 0) continue;
    // An exactly sized heap copy, so a read past the chunk's end is caught.
    chunk.assign(bytes, bytes + length);
    if (wholeUnits) decoder.setWholeAccessUnits(true);
    const AVFrame* frame = decoder.decode(chunk.data(), static_cast<int>(chunk.size()), sequence++);
    convertAsTheBindingWould(decoder, frame, pixels);
  }
  return 0;
}
