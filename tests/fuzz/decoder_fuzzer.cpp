// libFuzzer target of the live decoder core. The first byte picks the codec;
// the rest is a sequence of chunks, each a length byte followed by that many
// stream bytes, so the fuzzer chooses the chunk boundaries as well as the bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "decoder/ffmpeg_decoder.h"
#include "decoder/picture_conversion.h"

namespace {

/// Chunk lengths 1..255 from one byte; 0 stands for a long chunk of 4096 bytes.
size_t chunkLength(uint8_t code) { return code == 0 ? 4096 : code; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  av_log_set_level(AV_LOG_QUIET);
  FFmpegDecoder decoder{};  // value-initialised: every field zero, as create() makes it
  decoder.setUp((data[0] & 1) ? 1 : 0);

  size_t offset = 1;
  int sequence = 0;
  std::vector<uint8_t> chunk;
  std::vector<uint8_t> pixels;
  while (offset < size) {
    const size_t wanted = chunkLength(data[offset++]);
    const size_t length = wanted < size - offset ? wanted : size - offset;
    // An exactly sized heap copy, so a read past the chunk's end is caught.
    chunk.assign(data + offset, data + offset + length);
    offset += length;
    const AVFrame* frame = decoder.decode(chunk.data(), static_cast<int>(chunk.size()), sequence++);
    if (frame != nullptr && qn::canConvert(frame)) {
      // Convert the picture as the binding would, into exactly sized pixels, so
      // a read past a plane or a write past the bitmap is caught.
      pixels.assign(static_cast<size_t>(frame->width) * static_cast<size_t>(frame->height) * 4, 0);
      qn::convertToAbgrPixels(frame, pixels.data(), frame->width * 4);
    }
  }
  return 0;
}
