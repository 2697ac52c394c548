// The decoder reads nothing past the end of a chunk: every chunk here ends
// right at an inaccessible page, so a single byte read beyond it crashes.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "decoder/ffmpeg_decoder.h"
#include "tests/support/media.h"

namespace qn::testing {
namespace {

/// A copy of some bytes that ends where an inaccessible guard page begins.
class GuardedChunk {
 public:
  explicit GuardedChunk(const uint8_t* data, size_t size) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    mapped_ = ((size + page - 1) / page + 1) * page;
    base_ = static_cast<uint8_t*>(
        mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base_ + mapped_ - page, page, PROT_NONE);
    data_ = base_ + mapped_ - page - size;
    std::memcpy(data_, data, size);
  }
  ~GuardedChunk() { munmap(base_, mapped_); }
  GuardedChunk(const GuardedChunk&) = delete;
  GuardedChunk& operator=(const GuardedChunk&) = delete;

  uint8_t* data() const { return data_; }

 private:
  uint8_t* base_ = nullptr;
  uint8_t* data_ = nullptr;
  size_t mapped_ = 0;
};

/// Feeds a stream in chunks of the given sizes (cycled), each at a guard page; counts pictures.
int decodeGuarded(const std::vector<uint8_t>& stream, AVCodecID codec, std::vector<size_t> sizes) {
  FFmpegDecoder decoder{};
  decoder.setUp(codec == AV_CODEC_ID_H264 ? 1 : 0);
  int pictures = 0;
  size_t offset = 0;
  for (size_t i = 0; offset < stream.size(); i++) {
    const size_t length = std::min(sizes[i % sizes.size()], stream.size() - offset);
    GuardedChunk chunk(stream.data() + offset, length);
    const AVFrame* frame = decoder.decode(chunk.data(), static_cast<int>(length), static_cast<int>(i));
    if (frame != nullptr && frame->data[0] != nullptr) pictures++;
    offset += length;
  }
  return pictures;
}

TEST(ChunkBounds, ParsingNeverReadsPastTheChunkWhateverItsSize) {
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    StreamSpec recipe;
    recipe.codec = codec;
    recipe.width = 96;
    recipe.height = 64;
    recipe.frames = 8;
    const EncodedStream stream = encodeStream(recipe);
    EXPECT_GT(decodeGuarded(stream.bytes, codec, {1, 7, 63, 64, 65, 200, 4096}), 0);
    // One access unit per chunk: complete packets often lie wholly in the chunk.
    FFmpegDecoder decoder{};
    decoder.setUp(codec == AV_CODEC_ID_H264 ? 1 : 0);
    for (size_t i = 0; i < stream.accessUnits.size(); i++) {
      GuardedChunk chunk(stream.accessUnits[i].data(), stream.accessUnits[i].size());
      decoder.decode(chunk.data(), static_cast<int>(stream.accessUnits[i].size()), static_cast<int>(i));
    }
  }
}

TEST(ChunkBounds, RandomBytesInRandomChunksNeverReadPastTheChunk) {
  std::mt19937 random(5);
  std::vector<uint8_t> noise(1 << 16);
  for (auto& byte : noise) byte = static_cast<uint8_t>(random() % 4 == 0 ? 0 : random());
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    decodeGuarded(noise, codec, {3, 90, 1000, 17, 64});
  }
}

}  // namespace
}  // namespace qn::testing
