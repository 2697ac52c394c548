// The live path end to end: one access unit per decode call gives every picture, in order.
#include <gtest/gtest.h>

#include "tests/support/jvm.h"
#include "tests/support/media.h"

namespace qn::testing {
namespace {

TEST(LiveDecodeThroughJava, OneAccessUnitPerChunkGivesEveryPictureInOrder) {
  installLineRecorder();
  StreamSpec spec;
  spec.frames = 10;
  const EncodedStream stream = encodeStream(spec);
  const std::vector<Picture> expected = referenceDecode(stream.bytes, AV_CODEC_ID_H264);
  ASSERT_EQ(expected.size(), 10u);

  JNIEnv* env = jniEnv();
  const jlong handle = javaCreate(1);
  ASSERT_NE(handle, 0);
  std::vector<BitmapBytes> bitmaps;
  for (size_t i = 0; i < stream.accessUnits.size(); i++) {
    const auto& unit = stream.accessUnits[i];
    jobject bitmap = javaDecode(handle, unit.data(), unit.size(), static_cast<int>(i), false);
    ASSERT_EQ(takeException(env), "");
    if (bitmap != nullptr) bitmaps.push_back(readBitmap(env, bitmap));
    env->DeleteLocalRef(bitmap);
  }
  javaDestroy(handle);

  // The parser completes a packet when it sees the next one begin, so the
  // last access unit is still held when the stream stops.
  ASSERT_EQ(bitmaps.size(), expected.size() - 1);
  for (size_t i = 0; i < bitmaps.size(); i++) {
    EXPECT_EQ(bitmaps[i].width, 352);
    EXPECT_EQ(bitmaps[i].height, 288);
    EXPECT_EQ(bitmaps[i].config, "ARGB_8888");
    EXPECT_TRUE(bitmaps[i].bytes == toBitmapBytes(expected[i])) << "picture " << i;
  }
}

}  // namespace
}  // namespace qn::testing
