// Streams as a peer-to-peer network delivers them: damaged, truncated, lost,
// duplicated, oddly chunked, of the wrong codec, changing resolution. Through
// the Java binding, nothing may crash, every bitmap has the stream's current
// size, and pictures are correct again from the first key frame after damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

extern "C" {
#include <libavutil/log.h>
}

#include "tests/support/jvm.h"
#include "tests/support/media.h"
#include "tests/support/stream_edits.h"

namespace qn::testing {
namespace {

constexpr int kGop = 8;

/// One decoder handle fed through Java; collects what each call returns.
class JavaStreamDecoder {
 public:
  explicit JavaStreamDecoder(int type) : handle_(javaCreate(type)) {}
  ~JavaStreamDecoder() { javaDestroy(handle_); }

  /// Decodes one chunk; the bitmap's bytes, or nothing for null.
  bool feed(const std::vector<uint8_t>& chunk, BitmapBytes* out) {
    JNIEnv* env = jniEnv();
    jobject bitmap = javaDecode(handle_, chunk.data(), chunk.size(), sequence_++, false);
    EXPECT_EQ(takeException(env), "");
    if (bitmap == nullptr) return false;
    if (out != nullptr) *out = readBitmap(env, bitmap);
    env->DeleteLocalRef(bitmap);
    return true;
  }

 private:
  jlong handle_;
  int sequence_ = 0;
};

EncodedStream cameraStream(int width, int height, int frames, AVCodecID codec = AV_CODEC_ID_H264) {
  StreamSpec recipe;
  recipe.codec = codec;
  recipe.width = width;
  recipe.height = height;
  recipe.frames = frames;
  recipe.gopSize = kGop;
  return encodeStream(recipe);
}

/// Feeds the access units in `order`, one per call, and checks each bitmap
/// against an independent decode of the same bytes: every bitmap is one of
/// its pictures, none older than the bitmap before. Returns the last bitmap.
BitmapBytes decodeLikeFFmpeg(const std::vector<std::vector<uint8_t>>& units,
                             const std::vector<int>& order) {
  std::vector<uint8_t> fed;
  for (int unit : order) fed.insert(fed.end(), units[unit].begin(), units[unit].end());
  const std::vector<Picture> expected = referenceDecode(fed, AV_CODEC_ID_H264);
  JavaStreamDecoder decoder(1);
  BitmapBytes last;
  size_t latest = 0;
  for (int unit : order) {
    BitmapBytes bitmap;
    if (!decoder.feed(units[unit], &bitmap)) continue;
    size_t shown = latest;
    while (shown < expected.size() && bitmap.bytes != toBitmapBytes(expected[shown])) shown++;
    EXPECT_LT(shown, expected.size()) << "after access unit " << unit << " the bitmap is no decoded picture";
    if (shown < expected.size()) latest = shown;
    last = bitmap;
  }
  return last;
}

/// All access unit indices of a stream, in order.
std::vector<int> inOrder(const EncodedStream& stream) {
  std::vector<int> order(stream.accessUnits.size());
  for (size_t i = 0; i < order.size(); i++) order[i] = static_cast<int>(i);
  return order;
}

/// The clean picture that the last call shows: the one before the last unit fed.
std::vector<uint8_t> cleanBeforeLast(const EncodedStream& stream, const std::vector<int>& order) {
  return toBitmapBytes(referenceDecode(stream.bytes, AV_CODEC_ID_H264)[order[order.size() - 2]]);
}

class DamagedStreams : public ::testing::Test {
 protected:
  void SetUp() override {
    installLineRecorder();
    av_log_set_level(AV_LOG_QUIET);  // FFmpeg's own complaints about the damage
  }
  void TearDown() override { takeJavaLines(); }
};

TEST_F(DamagedStreams, FlippedBytesHealAtALaterKeyFrame) {
  const EncodedStream stream = cameraStream(320, 240, 4 * kGop);
  std::vector<std::vector<uint8_t>> units = stream.accessUnits;
  std::mt19937 random(11);
  for (int unit = kGop + 1; unit < 2 * kGop; unit++) {  // damage the second GOP, not its key frame
    auto& bytes = units[unit];
    for (int flips = 0; flips < 8; flips++) bytes[4 + random() % (bytes.size() - 4)] ^= 0x5a;
  }
  const std::vector<int> order = inOrder(stream);
  EXPECT_TRUE(decodeLikeFFmpeg(units, order).bytes == cleanBeforeLast(stream, order));
}

TEST_F(DamagedStreams, LostAndDuplicatedChunksHealAtTheNextKeyFrame) {
  const EncodedStream stream = cameraStream(320, 240, 4 * kGop);
  std::vector<int> order;
  for (int i = 0; i < 4 * kGop; i++) {
    if (i == kGop + 2 || i == kGop + 5) continue;  // lost
    order.push_back(i);
    if (i == kGop + 3) order.push_back(i);  // delivered twice
  }
  EXPECT_TRUE(decodeLikeFFmpeg(stream.accessUnits, order).bytes == cleanBeforeLast(stream, order));
}

TEST_F(DamagedStreams, TruncatedUnitHealsAtTheNextKeyFrame) {
  const EncodedStream stream = cameraStream(320, 240, 3 * kGop);
  std::vector<std::vector<uint8_t>> units = stream.accessUnits;
  units[kGop + 1].resize(units[kGop + 1].size() / 3);  // cut off mid-unit, the rest never comes
  const std::vector<int> order = inOrder(stream);
  EXPECT_TRUE(decodeLikeFFmpeg(units, order).bytes == cleanBeforeLast(stream, order));
}

TEST_F(DamagedStreams, ZerosAndForeignCodecGiveNullNotCrashes) {
  JavaStreamDecoder h264(1);
  const std::vector<uint8_t> zeros(4096, 0);
  for (int i = 0; i < 64; i++) EXPECT_FALSE(h264.feed(zeros, nullptr));

  // After zeros the decoder still shows a proper H.264 stream once it starts.
  const EncodedStream stream = cameraStream(320, 240, 2 * kGop);
  const std::vector<Picture> clean = referenceDecode(stream.bytes, AV_CODEC_ID_H264);
  BitmapBytes last;
  for (const auto& unit : stream.accessUnits) h264.feed(unit, &last);
  EXPECT_EQ(last.width, 320);
  EXPECT_TRUE(last.bytes == toBitmapBytes(clean[clean.size() - 2]));

  // H.265 fed to an H.264 decoder gives null or bitmaps of the context's size.
  JavaStreamDecoder wrongCodec(1);
  const EncodedStream hevc = cameraStream(320, 240, 2 * kGop, AV_CODEC_ID_HEVC);
  for (const auto& unit : hevc.accessUnits) {
    BitmapBytes bitmap;
    if (wrongCodec.feed(unit, &bitmap)) {
      EXPECT_EQ(bitmap.bytes.size(), 4u * bitmap.width * bitmap.height);
    }
  }
}

TEST_F(DamagedStreams, OneByteAndSixteenMegabyteChunks) {
  const EncodedStream stream = cameraStream(176, 144, kGop);
  const std::vector<Picture> clean = referenceDecode(stream.bytes, AV_CODEC_ID_H264);

  JavaStreamDecoder byByte(1);
  BitmapBytes last;
  int bitmaps = 0;
  for (uint8_t byte : stream.bytes) bitmaps += byByte.feed({byte}, &last) ? 1 : 0;
  EXPECT_GT(bitmaps, 0);
  EXPECT_TRUE(last.bytes == toBitmapBytes(clean[clean.size() - 2]));

  std::vector<uint8_t> huge;
  while (huge.size() < (16u << 20)) huge.insert(huge.end(), stream.bytes.begin(), stream.bytes.end());
  JavaStreamDecoder whole(1);
  ASSERT_TRUE(whole.feed(huge, &last));
  EXPECT_EQ(last.width, 176);
  EXPECT_EQ(last.height, 144);
}

TEST_F(DamagedStreams, FloodsOfFillerNalUnitsAreRefusedAndTheNextPicturesShow) {
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    const EncodedStream stream = cameraStream(640, 360, kGop, codec);
    const std::vector<Picture> clean = referenceDecode(stream.bytes, codec);
    // One picture, then 800,000 filler NAL units (H.264 type 12, H.265 type 38), the
    // stream again after them; in 1,400-byte chunks as a network delivers them.
    std::vector<uint8_t> bytes = stream.accessUnits[0];
    const std::vector<uint8_t> filler = fillerNalUnits(codec, 800000);
    bytes.insert(bytes.end(), filler.begin(), filler.end());
    bytes.insert(bytes.end(), stream.bytes.begin(), stream.bytes.end());
    takeJavaLines();
    JavaStreamDecoder decoder(codec == AV_CODEC_ID_H264 ? 1 : 2);
    BitmapBytes last;
    for (const auto& chunk : cutInto(bytes, 1400)) decoder.feed(chunk, &last);
    EXPECT_TRUE(last.bytes == toBitmapBytes(clean[clean.size() - 2])) << avcodec_get_name(codec);
    const std::vector<std::string> lines = takeJavaLines();
    const std::string refusal =
        "error code -1094995529 Invalid data found when processing input";
    EXPECT_GE(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& line) {
                              return line.find(refusal) != std::string::npos;
                            }),
              97);  // one per 8,192 NAL units
  }
}

TEST_F(DamagedStreams, ResolutionChangesAtKeyFramesResizeTheBitmaps) {
  struct Segment {
    int width, height;
  };
  const Segment segments[] = {{1280, 720}, {1920, 1080}, {640, 360}};
  std::vector<std::vector<uint8_t>> units;
  std::vector<Picture> clean;
  for (const Segment& segment : segments) {
    const EncodedStream stream = cameraStream(segment.width, segment.height, 4);
    for (const Picture& picture : referenceDecode(stream.bytes, AV_CODEC_ID_H264)) clean.push_back(picture);
    units.insert(units.end(), stream.accessUnits.begin(), stream.accessUnits.end());
  }
  ASSERT_EQ(clean.size(), units.size());

  JavaStreamDecoder decoder(1);
  for (size_t k = 0; k < units.size(); k++) {
    BitmapBytes bitmap;
    if (!decoder.feed(units[k], &bitmap)) continue;
    ASSERT_GT(k, 0u);
    const Picture& shown = clean[k - 1];
    EXPECT_EQ(bitmap.width, shown.width) << "call " << k;
    EXPECT_EQ(bitmap.height, shown.height) << "call " << k;
    EXPECT_TRUE(bitmap.bytes == toBitmapBytes(shown)) << "call " << k;
  }
}

}  // namespace
}  // namespace qn::testing
