// The stream decoder core on its own (no JVM): codec selection, illegal input,
// any chunking of a stream giving every picture in order, the reordering delay
// of B-frame streams, and FFmpeg's padded line sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "bridge/ffmpeg_compat.h"
#include "decoder/ffmpeg_decoder.h"
#include "tests/bridge/fake_jvm.h"
#include "tests/support/media.h"
#include "tests/support/stream_edits.h"

namespace qn::testing {
namespace {

/// A decoder as the binding's create() makes it: value-initialised, then set up.
std::unique_ptr<FFmpegDecoder> makeDecoder(int type) {
  auto decoder = std::make_unique<FFmpegDecoder>();
  decoder->setUp(type);
  return decoder;
}

/// The codec type of create() for an FFmpeg codec ID.
int typeOf(AVCodecID codec) { return codec == AV_CODEC_ID_H264 ? 1 : 0; }

/// How many pictures the decoder has handed out so far.
int picturesReceived(const FFmpegDecoder& decoder) {
  return static_cast<int>(picturesReturned(decoder.codecContext));
}

/// True if the frame's visible planes equal the picture's.
bool samePicture(const AVFrame* frame, const Picture& expected) {
  const Picture actual = copyPicture(frame);
  return actual.width == expected.width && actual.height == expected.height &&
         actual.y == expected.y && actual.u == expected.u && actual.v == expected.v;
}

/// What feeding a stream chunk by chunk gave.
struct FeedResult {
  int nullResults = 0;
  int emptyFrames = 0;                // calls whose frame held no picture
  int emptyAfterPicture = 0;          // of those, after a picture had been received
  int mismatches = 0;                 // new pictures unequal to the reference's
  std::vector<int> receivedAfterCall; // pictures handed out so far, after each call
  int received() const { return receivedAfterCall.empty() ? 0 : receivedAfterCall.back(); }
};

/// Feeds the stream in chunks of the given sizes, one decode call each. Every
/// chunk is its own exactly sized heap copy, so a read past its end shows under
/// the sanitizers. Each new picture is checked against the reference picture of
/// the same number; a call that completes nothing must return the frame untouched.
FeedResult feed(FFmpegDecoder& decoder, const std::vector<uint8_t>& stream,
                const std::vector<size_t>& sizes, const std::vector<Picture>& reference) {
  FeedResult result;
  size_t offset = 0;
  int received = 0;
  const uint8_t* lastPlane = nullptr;
  for (size_t i = 0; i < sizes.size(); i++) {
    std::vector<uint8_t> chunk(stream.begin() + offset, stream.begin() + offset + sizes[i]);
    offset += sizes[i];
    const AVFrame* frame = decoder.decode(chunk.data(), static_cast<int>(chunk.size()), int(i));
    const int now = picturesReceived(decoder);
    result.receivedAfterCall.push_back(now);
    if (frame == nullptr) {
      result.nullResults++;
    } else if (frame->data[0] == nullptr) {
      result.emptyFrames++;
      if (received > 0) result.emptyAfterPicture++;
    } else if (now != received) {
      const bool known = now >= 1 && now <= static_cast<int>(reference.size());
      if (!known || !samePicture(frame, reference[now - 1])) result.mismatches++;
    } else if (frame->data[0] != lastPlane) {
      result.mismatches++;  // no new picture, yet the frame changed
    }
    received = now;
    if (frame != nullptr) lastPlane = frame->data[0];  // a null call leaves the picture held
  }
  return result;
}

/// Chunk sizes: the stream whole.
std::vector<size_t> whole(const EncodedStream& stream) { return {stream.bytes.size()}; }

/// Chunk sizes: one byte each.
std::vector<size_t> byteByByte(const EncodedStream& stream) {
  return std::vector<size_t>(stream.bytes.size(), 1);
}

/// Chunk sizes: one access unit each, as a camera sends them.
std::vector<size_t> perAccessUnit(const EncodedStream& stream) {
  std::vector<size_t> sizes;
  for (const auto& unit : stream.accessUnits) sizes.push_back(unit.size());
  return sizes;
}

/// Chunk sizes: two access units each.
std::vector<size_t> twoPerChunk(const EncodedStream& stream) {
  std::vector<size_t> sizes;
  for (size_t i = 0; i < stream.accessUnits.size(); i += 2) {
    size_t size = stream.accessUnits[i].size();
    if (i + 1 < stream.accessUnits.size()) size += stream.accessUnits[i + 1].size();
    sizes.push_back(size);
  }
  return sizes;
}

/// Chunk sizes: random, 1 to maxSize bytes, from a fixed seed so a failure repeats.
std::vector<size_t> randomChunks(const EncodedStream& stream, unsigned seed, size_t maxSize) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<size_t> size(1, maxSize);
  std::vector<size_t> sizes;
  for (size_t left = stream.bytes.size(); left > 0;) {
    const size_t next = std::min(left, size(random));
    sizes.push_back(next);
    left -= next;
  }
  return sizes;
}

// ---- Codec selection ----

TEST(CodecSelection, TypeOneIsH264) {
  auto decoder = makeDecoder(1);
  ASSERT_TRUE(decoder->ready);
  EXPECT_EQ(decoder->codec->id, AV_CODEC_ID_H264);
  EXPECT_EQ(decoder->codecContext->codec_id, AV_CODEC_ID_H264);
  EXPECT_NE(decoder->parser, nullptr);
  EXPECT_NE(decoder->frame, nullptr);
  EXPECT_EQ(decoder->inputRemaining, 0);
}

TEST(CodecSelection, EveryOtherTypeIsH265) {
  for (int type : {0, 2, 5, -1, 27, 173}) {
    auto decoder = makeDecoder(type);
    ASSERT_TRUE(decoder->ready) << "type " << type;
    EXPECT_EQ(decoder->codec->id, AV_CODEC_ID_HEVC) << "type " << type;
    EXPECT_EQ(decoder->codecContext->codec_id, AV_CODEC_ID_HEVC) << "type " << type;
  }
}

TEST(CodecSelection, TheVariableFrameSizeCapabilityIsMirroredIntoTheFlags) {
  // Neither H.264 nor H.265 decoding has the capability, so a stub codec shows the rule.
  AVCodec codec{};
  AVCodecContext* context = avcodec_alloc_context3(nullptr);
  context->flags = AV_CODEC_FLAG_LOW_DELAY;
  mirrorVariableFrameSize(&codec, context);
  EXPECT_EQ(context->flags, AV_CODEC_FLAG_LOW_DELAY);
  codec.capabilities = 0x10000;
  mirrorVariableFrameSize(&codec, context);
  EXPECT_EQ(context->flags, AV_CODEC_FLAG_LOW_DELAY | 0x10000);
  avcodec_free_context(&context);
}

TEST(CodecSelection, TheDecoderRefusesPicturesOverTheSizeLimit) {
  auto decoder = makeDecoder(1);
  EXPECT_EQ(decoder->codecContext->max_pixels, 4096 * 4096);
  EXPECT_EQ(FFmpegDecoder::kMaxPixels, 4096 * 4096);
}

// ---- Illegal input; the lines go into a scripted VM ----

class IllegalInput : public ::testing::Test {
 protected:
  void SetUp() override { g_vm = fake.vm(); }
  void TearDown() override {
    g_vm = nullptr;
    setDetailLogging(false);
  }
  std::vector<std::string> lines() { return fake.textsOf("printDFromNative"); }
  FakeJvm fake;
};

TEST_F(IllegalInput, NullDataZeroOrNegativeLengthGiveNullWithDecodeIllegal) {
  auto decoder = makeDecoder(1);
  fake.lines.clear();
  uint8_t byte = 0;
  EXPECT_EQ(decoder->decode(nullptr, 100, 1), nullptr);
  EXPECT_EQ(decoder->decode(&byte, 0, 2), nullptr);
  EXPECT_EQ(decoder->decode(&byte, -5, 3), nullptr);
  EXPECT_EQ(lines(), std::vector<std::string>(3, "decode illegal"));
}

TEST_F(IllegalInput, AnObjectNeverSetUpRefusesEveryChunk) {
  FFmpegDecoder decoder{};
  uint8_t bytes[8] = {0, 0, 0, 1, 0x67, 0, 0, 0};
  EXPECT_EQ(decoder.decode(bytes, sizeof bytes, 1), nullptr);
  EXPECT_EQ(lines(), std::vector<std::string>{"decode illegal"});
}

TEST_F(IllegalInput, TheEntryDetailLineGivesTheSequenceBeforeTheLength) {
  auto decoder = makeDecoder(0);
  setDetailLogging(true);
  decoder->decode(nullptr, 0, 42);
  EXPECT_EQ(fake.textsOf("printDetailFromNative"),
            std::vector<std::string>{"decode sequence => 42 length => 0 "});
}

TEST_F(IllegalInput, SetUpNamesTheCodec) {
  makeDecoder(1);
  makeDecoder(5);
  EXPECT_EQ(lines(), (std::vector<std::string>{"decoder type h264", "decoder type h265"}));
}

TEST_F(IllegalInput, GarbageNeverCrashesAndLeavesTheDecoderUsable) {
  StreamSpec recipe;
  recipe.frames = 4;
  const EncodedStream stream = encodeStream(recipe);
  const auto reference = referenceDecode(stream.bytes, AV_CODEC_ID_H264);
  auto decoder = makeDecoder(1);
  std::mt19937 random(7);
  for (int i = 0; i < 50; i++) {
    std::vector<uint8_t> junk(1 + random() % 3000);
    for (auto& byte : junk) byte = static_cast<uint8_t>(random());
    if (i % 5 == 0) junk[0] = junk[1] = junk[2] = 0, junk[3] = 1;  // start codes now and then
    decoder->decode(junk.data(), static_cast<int>(junk.size()), i);
  }
  auto fresh = makeDecoder(1);
  const FeedResult result = feed(*fresh, stream.bytes, perAccessUnit(stream), reference);
  EXPECT_EQ(result.mismatches, 0);
  EXPECT_EQ(result.received(), 3);
}

TEST(LoggingWithoutVm, TheCoreRunsWithItsLinesDropped) {
  ASSERT_EQ(g_vm, nullptr);
  auto decoder = makeDecoder(1);
  EXPECT_EQ(decoder->decode(nullptr, 0, 0), nullptr);
}

// ---- Chunkings: every picture arrives, in order, equal to an independent decode ----

struct Chunking {
  const char* name;
  std::vector<size_t> (*sizes)(const EncodedStream&);
};

class ChunkingOfAStream : public ::testing::TestWithParam<AVCodecID> {
 protected:
  static void SetUpTestSuite() {
    for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
      StreamSpec recipe;
      recipe.codec = codec;
      recipe.frames = 24;
      recipe.gopSize = 10;
      Media& media = mediaOf(codec);
      media.stream = encodeStream(recipe);
      media.reference = referenceDecode(media.stream.bytes, codec);
    }
  }
  struct Media {
    EncodedStream stream;
    std::vector<Picture> reference;
  };
  static Media& mediaOf(AVCodecID codec) {
    static Media h264, h265;
    return codec == AV_CODEC_ID_H264 ? h264 : h265;
  }
  const Media& media() const { return mediaOf(GetParam()); }
  FeedResult feedWith(const std::vector<size_t>& sizes) const {
    auto decoder = makeDecoder(typeOf(GetParam()));
    return feed(*decoder, media().stream.bytes, sizes, media().reference);
  }
  /// The parser completes an access unit when the next one begins, so it still holds the last.
  int deliverable() const { return static_cast<int>(media().reference.size()) - 1; }
};

TEST_P(ChunkingOfAStream, TheReferenceHasEveryPicture) {
  EXPECT_EQ(media().reference.size(), 24u);
}

TEST_P(ChunkingOfAStream, WholeStreamInOneCallEndsOnTheLastCompletedPicture) {
  const FeedResult result = feedWith(whole(media().stream));
  EXPECT_EQ(result.nullResults, 0);
  EXPECT_EQ(result.mismatches, 0);
  EXPECT_EQ(result.received(), deliverable());
}

TEST_P(ChunkingOfAStream, OneAccessUnitPerCallGivesEveryPictureOneCallLater) {
  const FeedResult result = feedWith(perAccessUnit(media().stream));
  EXPECT_EQ(result.nullResults, 0);
  EXPECT_EQ(result.mismatches, 0);
  EXPECT_EQ(result.emptyFrames, 1);  // the first call completes nothing yet
  for (size_t i = 0; i < result.receivedAfterCall.size(); i++) {
    EXPECT_EQ(result.receivedAfterCall[i], static_cast<int>(i)) << "call " << i;
  }
}

TEST_P(ChunkingOfAStream, ByteByByteGivesEveryPictureInOrder) {
  const FeedResult result = feedWith(byteByByte(media().stream));
  EXPECT_EQ(result.nullResults, 0);
  EXPECT_EQ(result.mismatches, 0);
  EXPECT_EQ(result.received(), deliverable());
  // At most one new picture per byte, so every one of them was looked at.
  for (size_t i = 1; i < result.receivedAfterCall.size(); i++) {
    ASSERT_LE(result.receivedAfterCall[i] - result.receivedAfterCall[i - 1], 1) << "byte " << i;
  }
}

TEST_P(ChunkingOfAStream, RandomChunkSizesLoseNoPacket) {
  for (unsigned seed : {1u, 2u, 3u}) {
    for (size_t maxSize : {16u, 700u, 9000u}) {
      const FeedResult result = feedWith(randomChunks(media().stream, seed, maxSize));
      EXPECT_EQ(result.nullResults, 0) << "seed " << seed << " max " << maxSize;
      EXPECT_EQ(result.mismatches, 0) << "seed " << seed << " max " << maxSize;
      EXPECT_EQ(result.received(), deliverable()) << "seed " << seed << " max " << maxSize;
    }
  }
}

TEST_P(ChunkingOfAStream, TwoAccessUnitsPerCallReturnTheSecondPicture) {
  const FeedResult result = feedWith(twoPerChunk(media().stream));
  EXPECT_EQ(result.nullResults, 0);
  EXPECT_EQ(result.mismatches, 0);
  // Call i completes the unit held from before and the first of its own two.
  for (size_t i = 0; i < result.receivedAfterCall.size(); i++) {
    EXPECT_EQ(result.receivedAfterCall[i], static_cast<int>(2 * i + 1)) << "call " << i;
  }
}

TEST_P(ChunkingOfAStream, AChunkInsideAFrameReturnsTheFrameUntouched) {
  const EncodedStream& stream = media().stream;
  auto decoder = makeDecoder(typeOf(GetParam()));
  const auto& first = stream.accessUnits[0];
  const auto& second = stream.accessUnits[1];
  decoder->decode(const_cast<uint8_t*>(first.data()), int(first.size()), 0);
  std::vector<uint8_t> head(second.begin(), second.begin() + second.size() / 2);
  const AVFrame* frame = decoder->decode(head.data(), int(head.size()), 1);
  ASSERT_NE(frame, nullptr);
  ASSERT_NE(frame->data[0], nullptr);
  const uint8_t* plane = frame->data[0];
  std::vector<uint8_t> tail(second.begin() + second.size() / 2, second.begin() + second.size() - 1);
  frame = decoder->decode(tail.data(), int(tail.size()), 2);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->data[0], plane);
  EXPECT_EQ(picturesReceived(*decoder), 1);
  EXPECT_TRUE(samePicture(frame, media().reference[0]));
}

INSTANTIATE_TEST_SUITE_P(H264AndH265, ChunkingOfAStream,
                         ::testing::Values(AV_CODEC_ID_H264, AV_CODEC_ID_HEVC),
                         [](const auto& info) {
                           return std::string(info.param == AV_CODEC_ID_H264 ? "H264" : "H265");
                         });

// ---- Sizes, B-frames and padded line sizes ----

struct Shape {
  AVCodecID codec;
  int width;
  int height;
  int bFrames;
};

/// "H264_352x288_BFrames" and the like.
std::string nameOf(const Shape& s) {
  return std::string(s.codec == AV_CODEC_ID_H264 ? "H264_" : "H265_") + std::to_string(s.width) +
         "x" + std::to_string(s.height) + (s.bFrames > 0 ? "_BFrames" : "");
}

std::string shapeName(const ::testing::TestParamInfo<Shape>& info) { return nameOf(info.param); }

void PrintTo(const Shape& shape, std::ostream* out) { *out << nameOf(shape); }

class StreamShape : public ::testing::TestWithParam<Shape> {};

TEST_P(StreamShape, EveryPictureArrivesInOrderAnyChunkingWithPaddedLineSizes) {
  const Shape shape = GetParam();
  StreamSpec recipe;
  recipe.codec = shape.codec;
  recipe.width = shape.width;
  recipe.height = shape.height;
  recipe.bFrames = shape.bFrames;
  recipe.frames = 10;
  const EncodedStream stream = encodeStream(recipe);
  const auto reference = referenceDecode(stream.bytes, shape.codec);
  ASSERT_EQ(reference.size(), 10u);

  auto decoder = makeDecoder(typeOf(shape.codec));
  const FeedResult result = feed(*decoder, stream.bytes, perAccessUnit(stream), reference);
  EXPECT_EQ(result.mismatches, 0);
  EXPECT_EQ(decoder->codecContext->width, shape.width);
  EXPECT_EQ(decoder->codecContext->height, shape.height);

  // The decoder may hold pictures back (EAGAIN), but only at the start: once
  // pictures flow, every further access unit gives exactly one.
  const auto& after = result.receivedAfterCall;
  const auto firstPicture = std::find_if(after.begin(), after.end(), [](int n) { return n > 0; });
  ASSERT_NE(firstPicture, after.end());
  const int heldBack = static_cast<int>(firstPicture - after.begin()) - 1;
  // The first call completes nothing; the held-back ones give null.
  EXPECT_EQ(result.emptyFrames, 1);
  EXPECT_EQ(result.nullResults, heldBack);
  if (shape.bFrames == 0) {
    EXPECT_EQ(heldBack, 0);
  } else {
    EXPECT_GE(heldBack, 1);
    EXPECT_LE(heldBack, 4);
  }
  for (auto it = firstPicture + 1; it != after.end(); ++it) EXPECT_EQ(*it, *(it - 1) + 1);

  const AVFrame* frame = decoder->frame;
  EXPECT_TRUE(frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P);
  EXPECT_GE(frame->linesize[0], shape.width);
  EXPECT_GE(frame->linesize[1], (shape.width + 1) / 2);
  // FFmpeg aligns lines to its SIMD width (64 bytes on x86 with AVX-512, 16 on ARM).
  EXPECT_EQ(frame->linesize[0] % 16, 0);

  // Random chunks of the same stream give the same pictures, none lost.
  auto byChunk = makeDecoder(typeOf(shape.codec));
  const FeedResult chunked = feed(*byChunk, stream.bytes, randomChunks(stream, 11, 3000), reference);
  EXPECT_EQ(chunked.mismatches, 0);
  EXPECT_EQ(chunked.received(), result.received());
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, StreamShape,
    ::testing::Values(Shape{AV_CODEC_ID_H264, 352, 288, 0}, Shape{AV_CODEC_ID_H264, 352, 288, 2},
                      Shape{AV_CODEC_ID_HEVC, 352, 288, 0}, Shape{AV_CODEC_ID_HEVC, 352, 288, 2},
                      Shape{AV_CODEC_ID_H264, 320, 240, 2}, Shape{AV_CODEC_ID_HEVC, 320, 240, 0},
                      Shape{AV_CODEC_ID_H264, 704, 576, 0}, Shape{AV_CODEC_ID_HEVC, 704, 576, 2},
                      Shape{AV_CODEC_ID_H264, 800, 448, 2}, Shape{AV_CODEC_ID_HEVC, 800, 448, 0},
                      Shape{AV_CODEC_ID_H264, 1280, 720, 0}, Shape{AV_CODEC_ID_HEVC, 1280, 720, 2}),
    shapeName);

// ---- Live streams: joined mid-stream, refused packets, size changes, hostile sizes ----

struct LiveCase {
  AVCodecID codec;
  int bFrames;
};

std::string liveCaseName(const ::testing::TestParamInfo<LiveCase>& info) {
  return std::string(info.param.codec == AV_CODEC_ID_H264 ? "H264" : "H265") +
         (info.param.bFrames > 0 ? "_BFrames" : "");
}

class LiveStream : public ::testing::TestWithParam<LiveCase> {
 protected:
  EncodedStream stream() const {
    return cameraStream(GetParam().codec, GetParam().bFrames, 352, 288, 34);
  }
  /// Pictures the decoder may still hold when the stream stops: the parser's last
  /// access unit and, with B-frames, the reordering delay.
  size_t mayBeHeld() const { return GetParam().bFrames > 0 ? 4 : 1; }
};

TEST_P(LiveStream, AViewerJoiningAfterAKeyFrameGetsEveryPictureFromTheNextOne) {
  const EncodedStream full = stream();
  for (size_t join : {3u, 5u, 11u}) {
    const EncodedStream joined = joinedAt(full, join);
    const auto reference = referenceDecode(joined.bytes, GetParam().codec);
    ASSERT_GE(reference.size(), 16u) << "join " << join;
    const std::vector<std::pair<const char*, std::vector<size_t>>> chunkings = {
        {"one unit", perAccessUnit(joined)},
        {"two units", twoPerChunk(joined)},
        {"network", randomChunks(joined, unsigned(join), 6000)},
        {"tiny", randomChunks(joined, unsigned(join), 16)}};
    for (const auto& [name, sizes] : chunkings) {
      auto decoder = makeDecoder(typeOf(GetParam().codec));
      const FeedResult result = feed(*decoder, joined.bytes, sizes, reference);
      EXPECT_EQ(result.mismatches, 0) << "join " << join << ", " << name;
      EXPECT_GE(size_t(result.received()), reference.size() - mayBeHeld())
          << "join " << join << ", " << name;
    }
  }
}

TEST_P(LiveStream, PacketsAfterARefusedOneInTheSameChunkStillDecode) {
  const EncodedStream full = stream();
  // From picture 3 to the first access unit after the key frame at 8, in one
  // chunk: the packets before the key frame name parameter sets not yet seen.
  EncodedStream head = joinedAt(full, 3);
  head.accessUnits.resize(7);
  const EncodedStream chunk = spliced({head});
  std::vector<uint8_t> bytes;
  for (const auto& unit : head.accessUnits) bytes.insert(bytes.end(), unit.begin(), unit.end());
  auto decoder = makeDecoder(typeOf(GetParam().codec));
  const AVFrame* frame = decoder->decode(bytes.data(), int(bytes.size()), 1);
  if (GetParam().bFrames == 0) {
    ASSERT_NE(frame, nullptr);
    const auto reference = referenceDecode(joinedAt(full, 3).bytes, GetParam().codec);
    EXPECT_TRUE(samePicture(frame, reference[0]));
  }
  // Whatever the delay, the key frame reached the decoder: the rest of the
  // stream gives pictures from the first call on.
  const EncodedStream rest = joinedAt(full, 10);
  const AVFrame* next = decoder->decode(const_cast<uint8_t*>(rest.bytes.data()),
                                        int(rest.bytes.size()), 2);
  ASSERT_NE(next, nullptr);
  EXPECT_NE(next->data[0], nullptr);
}

INSTANTIATE_TEST_SUITE_P(Codecs, LiveStream,
                         ::testing::Values(LiveCase{AV_CODEC_ID_H264, 0},
                                           LiveCase{AV_CODEC_ID_H264, 2},
                                           LiveCase{AV_CODEC_ID_HEVC, 2}),
                         liveCaseName);

TEST(SizeChange, PicturesHeldAcrossASizeChangeArriveWholeAtTheirOwnSize) {
  // The middle part has B-frames, the others none: at each splice the
  // decoder's delay changes, so packets answer EAGAIN after pictures came out.
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    const EncodedStream changing = spliced({cameraStream(codec, 0, 640, 360, 12),
                                            cameraStream(codec, 2, 320, 180, 12),
                                            cameraStream(codec, 0, 640, 360, 12)});
    const auto reference = referenceDecode(changing.bytes, codec);
    ASSERT_EQ(reference.size(), 36u);
    for (const auto& sizes : {perAccessUnit(changing), twoPerChunk(changing),
                              randomChunks(changing, 5, 4000)}) {
      auto decoder = makeDecoder(typeOf(codec));
      const FeedResult result = feed(*decoder, changing.bytes, sizes, reference);
      EXPECT_EQ(result.mismatches, 0);  // sizes are compared too
      EXPECT_EQ(result.emptyAfterPicture, 0);  // a later EAGAIN never empties a picture received
      // All but the parser's last access unit and the B-frame delay, which stays.
      EXPECT_GE(result.received(), 32);
    }
  }
}

class HostileSize : public IllegalInput {};

TEST_F(HostileSize, AStreamDeclaringAHugePictureGivesNoPictureAndOneLine) {
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    const EncodedStream small = cameraStream(codec, 0, 352, 288, 12);
    for (auto [width, height] : {std::pair{16000, 16000}, {8000, 8000}, {4112, 4096}}) {
      const std::vector<uint8_t> hostile = withDeclaredSize(small.bytes, codec, width, height);
      auto decoder = makeDecoder(typeOf(codec));
      fake.lines.clear();
      for (const auto& sizes : {std::vector<size_t>{hostile.size()},
                                std::vector<size_t>(hostile.size() / 997, 997)}) {
        size_t offset = 0;
        for (size_t size : sizes) {
          std::vector<uint8_t> chunk(hostile.begin() + offset, hostile.begin() + offset + size);
          offset += size;
          const AVFrame* frame = decoder->decode(chunk.data(), int(size), 1);
          if (frame != nullptr) {
            EXPECT_LE(int64_t{frame->width} * frame->height, 4096 * 4096);
          }
        }
      }
      const std::string line = "picture " + std::to_string(width) + "x" + std::to_string(height) +
                               " exceeds the limit of 16777216 pixels";
      const auto said = lines();
      EXPECT_EQ(std::count(said.begin(), said.end(), line), 1) << line;
    }
  }
}

TEST_F(HostileSize, A4096x4096PictureIsWithinTheLimit) {
  auto decoder = makeDecoder(1);
  fake.lines.clear();
  EXPECT_FALSE(decoder->isOversize(4096, 4096));
  EXPECT_FALSE(decoder->isOversize(3840, 2160));
  EXPECT_TRUE(decoder->isOversize(4097, 4096));
  EXPECT_TRUE(decoder->isOversize(65536, 65536));  // the product does not wrap
  EXPECT_EQ(lines(), std::vector<std::string>{"picture 4097x4096 exceeds the limit of 16777216 pixels"});
}

}  // namespace
}  // namespace qn::testing
