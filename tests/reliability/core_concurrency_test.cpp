// Decoder cores on several native threads share only the detail switch; run
// under ThreadSanitizer this shows its reads and writes race-free.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "bridge/bridge.h"
#include "decoder/ffmpeg_decoder.h"
#include "tests/support/media.h"

namespace qn::testing {
namespace {

TEST(CoreConcurrency, DecodersOnEightThreadsFlipTheDetailSwitchAndDecodeEveryPicture) {
  StreamSpec recipe;
  recipe.width = 128;
  recipe.height = 96;
  recipe.frames = 10;
  const EncodedStream stream = encodeStream(recipe);
  const std::vector<Picture> expected = referenceDecode(stream.bytes, AV_CODEC_ID_H264);

  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([&, t] {
      FFmpegDecoder decoder{};
      decoder.setUp(1);
      for (size_t unit = 0; unit < stream.accessUnits.size(); unit++) {
        qn::setDetailLogging((unit + t) % 2 == 0);
        std::vector<uint8_t> chunk = stream.accessUnits[unit];
        const AVFrame* frame = decoder.decode(chunk.data(), static_cast<int>(chunk.size()), t);
        if (unit == 0) continue;  // the parser still holds the first unit
        if (frame == nullptr || frame->data[0] == nullptr ||
            copyPicture(frame).y != expected[unit - 1].y) {
          wrong++;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace qn::testing
