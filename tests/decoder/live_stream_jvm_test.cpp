// The live path through Java as a viewer meets it: joining a camera's stream
// after its key frame, a picture size that changes with pictures held back,
// and a peer that declares a picture far larger than any camera sends. Every
// bitmap is compared with an independent FFmpeg decode of the same bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tests/bridge/jvm_access.h"
#include "tests/support/jvm.h"
#include "tests/support/media.h"
#include "tests/support/stream_edits.h"

namespace qn::testing {
namespace {

using Lines = std::vector<std::string>;

/// Chunk boundaries: whole access units `perCall` at a time, or random sizes up to `maxSize`.
std::vector<std::vector<uint8_t>> chunksOf(const EncodedStream& stream, int perCall,
                                           size_t maxSize = 0) {
  std::vector<std::vector<uint8_t>> chunks;
  if (maxSize == 0) {
    for (size_t i = 0; i < stream.accessUnits.size(); i += perCall) {
      std::vector<uint8_t> chunk;
      for (size_t j = i; j < std::min(stream.accessUnits.size(), i + perCall); j++) {
        chunk.insert(chunk.end(), stream.accessUnits[j].begin(), stream.accessUnits[j].end());
      }
      chunks.push_back(chunk);
    }
    return chunks;
  }
  std::mt19937 random(static_cast<unsigned>(maxSize));
  for (size_t offset = 0; offset < stream.bytes.size();) {
    const size_t size = std::min(stream.bytes.size() - offset, 1 + random() % maxSize);
    chunks.emplace_back(stream.bytes.begin() + offset, stream.bytes.begin() + offset + size);
    offset += size;
  }
  return chunks;
}

/// What the app saw: each bitmap matched to the reference picture it shows.
struct Viewing {
  int bitmaps = 0;
  int unmatched = 0;     // a bitmap equal to no reference picture at or after the last one shown
  int lastShown = -1;    // index of the newest reference picture shown
};

/// Feeds the chunks through Java; every bitmap must show, in order, a reference
/// picture at that picture's own size (the same one again when nothing new came).
Viewing watch(JNIEnv* env, int type, const std::vector<std::vector<uint8_t>>& chunks,
              const std::vector<Picture>& reference) {
  Viewing seen;
  std::vector<std::vector<uint8_t>> expected;
  for (const Picture& picture : reference) expected.push_back(toBitmapBytes(picture));
  const jlong handle = javaCreate(type);
  for (size_t i = 0; i < chunks.size(); i++) {
    LocalRef bitmap(env, javaDecode(handle, chunks[i].data(), chunks[i].size(), int(i), false));
    if (!bitmap) continue;
    seen.bitmaps++;
    const BitmapBytes bytes = readBitmap(env, bitmap.get());
    int match = -1;
    for (int j = std::max(seen.lastShown, 0); j < int(reference.size()) && match < 0; j++) {
      if (reference[j].width == bytes.width && reference[j].height == bytes.height &&
          expected[j] == bytes.bytes) {
        match = j;
      }
    }
    if (match < 0) {
      seen.unmatched++;
    } else {
      seen.lastShown = match;
    }
  }
  javaDestroy(handle);
  return seen;
}

class LiveStreamInJava : public ::testing::Test {
 protected:
  void SetUp() override {
    installLineRecorder();
    env = jniEnv();
  }
  void TearDown() override {
    takeJavaLines();
    EXPECT_EQ(takeException(env), "");
  }
  JNIEnv* env = nullptr;
};

TEST_F(LiveStreamInJava, AViewerJoiningMidStreamSeesEveryPictureFromTheNextKeyFrame) {
  struct Case {
    AVCodecID codec;
    int bFrames;
  };
  for (const Case c : {Case{AV_CODEC_ID_H264, 0}, Case{AV_CODEC_ID_H264, 2},
                       Case{AV_CODEC_ID_HEVC, 2}}) {
    const EncodedStream full = cameraStream(c.codec, c.bFrames, 320, 240, 30);
    const int type = c.codec == AV_CODEC_ID_H264 ? 1 : 0;
    for (size_t join : {3u, 6u}) {
      const EncodedStream joined = joinedAt(full, join);
      const auto reference = referenceDecode(joined.bytes, c.codec);
      const std::string what = std::string(c.codec == AV_CODEC_ID_H264 ? "H.264" : "H.265") +
                               (c.bFrames ? " with B-frames" : "") + ", joined at " +
                               std::to_string(join);
      // One access unit a call: every picture from the first key frame on, but
      // those the parser and the reordering delay still hold when the data stop.
      const Viewing one = watch(env, type, chunksOf(joined, 1), reference);
      EXPECT_EQ(one.unmatched, 0) << what;
      EXPECT_EQ(one.bitmaps, one.lastShown + 1) << what;
      EXPECT_GE(one.lastShown + 1, int(reference.size()) - (c.bFrames ? 4 : 1)) << what;
      for (const auto& chunks : {chunksOf(joined, 2), chunksOf(joined, 0, 3000),
                                 chunksOf(joined, 0, 200)}) {
        const Viewing seen = watch(env, type, chunks, reference);
        EXPECT_EQ(seen.unmatched, 0) << what;
        EXPECT_GE(seen.lastShown + 1, int(reference.size()) - (c.bFrames ? 4 : 1)) << what;
      }
    }
  }
}

TEST_F(LiveStreamInJava, EveryBitmapHasTheSizeOfThePictureItShowsAcrossSizeChanges) {
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    // Down and up again, B-frames throughout: pictures of the old size come out
    // after the new size has been announced.
    const EncodedStream changing = spliced({cameraStream(codec, 2, 640, 360, 10),
                                            cameraStream(codec, 2, 320, 180, 10),
                                            cameraStream(codec, 2, 640, 360, 10)});
    const auto reference = referenceDecode(changing.bytes, codec);
    ASSERT_EQ(reference.size(), 30u);
    const int type = codec == AV_CODEC_ID_H264 ? 1 : 0;
    const Viewing one = watch(env, type, chunksOf(changing, 1), reference);
    EXPECT_EQ(one.unmatched, 0);
    EXPECT_EQ(one.bitmaps, one.lastShown + 1);  // none lost, none twice
    EXPECT_GE(one.lastShown + 1, 26);
    const Viewing chunked = watch(env, type, chunksOf(changing, 0, 2500), reference);
    EXPECT_EQ(chunked.unmatched, 0);
    EXPECT_GE(chunked.lastShown + 1, 26);
  }
}

TEST_F(LiveStreamInJava, AHugeDeclaredPictureMakesNoBitmapAndOneLineThenA4kStreamDecodes) {
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    const EncodedStream small = cameraStream(codec, 0, 352, 288, 10);
    const std::vector<uint8_t> hostile = withDeclaredSize(small.bytes, codec, 16000, 16000);
    const int type = codec == AV_CODEC_ID_H264 ? 1 : 0;
    const jlong handle = javaCreate(type);
    takeJavaLines();
    const long madeBefore = bitmapsCreated(env);
    for (size_t offset = 0; offset < hostile.size(); offset += 1000) {
      const size_t size = std::min<size_t>(1000, hostile.size() - offset);
      LocalRef bitmap(env, javaDecode(handle, hostile.data() + offset, size, 1, false));
      EXPECT_FALSE(bitmap);
    }
    EXPECT_EQ(bitmapsCreated(env), madeBefore);
    const Lines lines = takeJavaLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "D:picture 16000x16000 exceeds the limit of 16777216 pixels"),
              1);
    javaDestroy(handle);
  }
  // A 4K camera is well within the limit.
  const EncodedStream uhd = cameraStream(AV_CODEC_ID_H264, 0, 3840, 2160, 3);
  const auto reference = referenceDecode(uhd.bytes, AV_CODEC_ID_H264);
  const Viewing seen = watch(env, 1, chunksOf(uhd, 1), reference);
  EXPECT_EQ(seen.bitmaps, 2);
  EXPECT_EQ(seen.unmatched, 0);
}

}  // namespace
}  // namespace qn::testing
