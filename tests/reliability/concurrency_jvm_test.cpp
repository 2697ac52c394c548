// Several cameras at once: decoders on their own Java threads, each call
// flipping the process-wide detail switch, every picture still correct.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/jvm.h"
#include "tests/support/media.h"

namespace qn::testing {
namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 3;

/// Decodes the stream kRounds times on a new attached thread; counts wrong or missing pictures.
void decodeOnJavaThread(const EncodedStream& stream, const std::vector<Picture>& expected,
                        std::atomic<int>* wrong, std::atomic<int>* shown) {
  JNIEnv* env = nullptr;
  jvm()->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr);
  const jlong handle = javaCreate(1);
  int call = 0;
  for (int round = 0; round < kRounds; round++) {
    for (size_t unit = 0; unit < stream.accessUnits.size(); unit++, call++) {
      const auto& bytes = stream.accessUnits[unit];
      jobject bitmap = javaDecode(handle, bytes.data(), bytes.size(), call, call % 2 == 0);
      if (!takeException(env).empty()) (*wrong)++;
      // Once the stream runs, each call shows the access unit fed before it.
      const size_t fedBefore = unit == 0 ? expected.size() - 1 : unit - 1;
      if (bitmap == nullptr) {
        if (round > 0 || unit > 0) (*wrong)++;
        continue;
      }
      if (readBitmap(env, bitmap).bytes != toBitmapBytes(expected[fedBefore])) (*wrong)++;
      (*shown)++;
      env->DeleteLocalRef(bitmap);
    }
  }
  javaDestroy(handle);
  jvm()->DetachCurrentThread();
}

TEST(Concurrency, EightDecodersOnEightJavaThreadsToggleDetailAndStayCorrect) {
  installLineRecorder();
  std::vector<EncodedStream> streams;
  std::vector<std::vector<Picture>> expected;
  for (int t = 0; t < kThreads; t++) {
    StreamSpec recipe;
    recipe.width = 160 + 16 * t;
    recipe.height = 120 + 8 * t;
    recipe.frames = 12;
    recipe.gopSize = 6;
    streams.push_back(encodeStream(recipe));
    expected.push_back(referenceDecode(streams.back().bytes, AV_CODEC_ID_H264));
  }
  // One round's last unit is held by the parser; the next round's first unit
  // releases it, so the repeated stream shows it again in order.
  std::atomic<int> wrong{0};
  std::atomic<int> shown{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back(decodeOnJavaThread, std::cref(streams[t]), std::cref(expected[t]), &wrong, &shown);
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(shown.load(), kThreads * (kRounds * 12 - 1));
  EXPECT_FALSE(takeJavaLines().empty());
}

}  // namespace
}  // namespace qn::testing
