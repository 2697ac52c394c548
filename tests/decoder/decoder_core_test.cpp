// The stream decoder core on its own (no JVM): codec selection, illegal input,
// any chunking of a stream giving every picture in order, the reordering delay
// of B-frame streams, FFmpeg's padded line sizes, whole access units and the
// promise they rest on, exact cropping, and FFmpeg's send/receive contract.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cerrno>
#include <cstddef>
#include <iterator>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <dlfcn.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <malloc.h>

#include "bridge/bridge.h"
#include "bridge/ffmpeg_compat.h"
#include "decoder/access_unit_check.h"
#include "decoder/decoder_budget.h"
#include "decoder/ffmpeg_decoder.h"
#include "tests/bridge/fake_jvm.h"
#include "tests/support/media.h"
#include "tests/support/stream_edits.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace {

/// A decoder as newer FFmpeg releases may act, in one of two forms. Either it
/// keeps every third picture waiting and refuses packets until it is taken
/// out; or (FFmpeg 7.1's H.265 while it hands out pictures) it keeps every
/// third packet back untaken, refuses packets while it holds one, and takes it
/// at the receive after a refusal, which answers EAGAIN. Off outside its test.
struct WaitingDecoder {
  bool armed = false;
  bool holdsPackets = false;  // the second form
  int receives = 0;
  int sends = 0;
  int refusals = 0;           // packets answered with EAGAIN
  bool pictureWaiting = false;
  AVPacket* held = nullptr;   // the packet kept back, in the second form
  bool heldRefused = false;   // a packet was refused since: the next receive takes `held`
  std::vector<qn::testing::Picture> handedOut;  // every picture taken out while armed
};

WaitingDecoder& waitingDecoder() {
  static WaitingDecoder decoder;
  return decoder;
}

}  // namespace

// This executable's avcodec_send_packet and avcodec_receive_frame stand in
// front of FFmpeg's (it exports them), for the core and the reference alike.
#define INTERPOSED extern "C" __attribute__((visibility("default")))

INTERPOSED int avcodec_send_packet(AVCodecContext* context, const AVPacket* packet) {
  using Real = int (*)(AVCodecContext*, const AVPacket*);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "avcodec_send_packet"));
  WaitingDecoder& waiting = waitingDecoder();
  if (waiting.armed && (waiting.pictureWaiting || waiting.held != nullptr)) {
    waiting.refusals++;
    waiting.heldRefused = waiting.held != nullptr;
    return AVERROR(EAGAIN);
  }
  if (waiting.armed && waiting.holdsPackets && packet != nullptr && ++waiting.sends % 3 == 0) {
    waiting.held = av_packet_clone(packet);
    return 0;
  }
  return real(context, packet);
}

INTERPOSED int avcodec_receive_frame(AVCodecContext* context, AVFrame* frame) {
  using Real = int (*)(AVCodecContext*, AVFrame*);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "avcodec_receive_frame"));
  WaitingDecoder& waiting = waitingDecoder();
  if (waiting.armed && waiting.held != nullptr && waiting.heldRefused) {
    waiting.armed = false;  // the decoder itself takes the packet it held, if it has room
    const int sent = avcodec_send_packet(context, waiting.held);
    waiting.armed = true;
    if (sent != AVERROR(EAGAIN)) {
      av_packet_free(&waiting.held);
      waiting.heldRefused = false;
      return AVERROR(EAGAIN);  // its picture stays inside for a later receive
    }
  }
  if (waiting.armed && !waiting.holdsPackets && !waiting.pictureWaiting &&
      ++waiting.receives % 3 == 0) {
    waiting.pictureWaiting = true;  // the packet just sent has made a picture: it stays inside
    return AVERROR(EAGAIN);
  }
  const int ret = real(context, frame);
  if (waiting.armed && ret == 0) {
    waiting.pictureWaiting = false;
    waiting.handedOut.push_back(qn::testing::copyPicture(frame));
  }
  return ret;
}

/// Reaches the core's private fields, for the checks that look inside it.
struct FFmpegDecoderInternals {
  static bool ready(const FFmpegDecoder& d) { return d.ready; }
  static const AVCodec* codec(const FFmpegDecoder& d) { return d.codec; }
  static const AVCodecParserContext* parser(const FFmpegDecoder& d) { return d.parser; }
  static int inputRemaining(const FFmpegDecoder& d) { return d.inputRemaining; }
  static bool wholeAccessUnits(const FFmpegDecoder& d) { return d.wholeAccessUnits; }
  static AVFrame* spareFrame(FFmpegDecoder& d) { return d.spareFrame; }
};

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
int picturesReceived(FFmpegDecoder& decoder) {
  return static_cast<int>(picturesReturned(decoder.context()));
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

/// Feeds the stream in chunks of the given sizes, one decode call each, with
/// whole access units switched on before the calls listed in `wholeFrom`. Every
/// chunk is its own exactly sized heap copy, so a read past its end shows under
/// the sanitizers. Each new picture is checked against the reference picture of
/// the same number; a call that completes nothing must return the frame untouched.
FeedResult feed(FFmpegDecoder& decoder, const std::vector<uint8_t>& stream,
                const std::vector<size_t>& sizes, const std::vector<Picture>& reference,
                const std::vector<size_t>& wholeFrom = {}) {
  FeedResult result;
  size_t offset = 0;
  int received = 0;
  const uint8_t* lastPlane = nullptr;
  for (size_t i = 0; i < sizes.size(); i++) {
    if (std::count(wholeFrom.begin(), wholeFrom.end(), i) > 0) decoder.setWholeAccessUnits(true);
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
  ASSERT_TRUE(FFmpegDecoderInternals::ready(*decoder));
  EXPECT_EQ(FFmpegDecoderInternals::codec(*decoder)->id, AV_CODEC_ID_H264);
  EXPECT_EQ(decoder->context()->codec_id, AV_CODEC_ID_H264);
  EXPECT_NE(FFmpegDecoderInternals::parser(*decoder), nullptr);
  EXPECT_NE(decoder->currentFrame(), nullptr);
  EXPECT_EQ(FFmpegDecoderInternals::inputRemaining(*decoder), 0);
}

TEST(CodecSelection, EveryOtherTypeIsH265) {
  for (int type : {0, 2, 5, -1, 27, 173}) {
    auto decoder = makeDecoder(type);
    ASSERT_TRUE(FFmpegDecoderInternals::ready(*decoder)) << "type " << type;
    EXPECT_EQ(FFmpegDecoderInternals::codec(*decoder)->id, AV_CODEC_ID_HEVC) << "type " << type;
    EXPECT_EQ(decoder->context()->codec_id, AV_CODEC_ID_HEVC) << "type " << type;
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
  EXPECT_EQ(decoder->context()->max_pixels, 4096 * 4096);
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
  EXPECT_EQ(decoder->context()->width, shape.width);
  EXPECT_EQ(decoder->context()->height, shape.height);

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

  const AVFrame* frame = decoder->currentFrame();
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
    using Sizes = std::vector<size_t>;
    const std::vector<std::tuple<const char*, Sizes, Sizes>> chunkings = {
        {"one unit", perAccessUnit(joined), {}},
        {"two units", twoPerChunk(joined), {}},
        {"network", randomChunks(joined, unsigned(join), 6000), {}},
        {"tiny", randomChunks(joined, unsigned(join), 16), {}},
        {"whole units", perAccessUnit(joined), {0}}};
    for (const auto& [name, sizes, wholeFrom] : chunkings) {
      auto decoder = makeDecoder(typeOf(GetParam().codec));
      const FeedResult result = feed(*decoder, joined.bytes, sizes, reference, wholeFrom);
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
    const std::vector<std::pair<std::vector<size_t>, std::vector<size_t>>> chunkings = {
        {perAccessUnit(changing), {}},
        {twoPerChunk(changing), {}},
        {randomChunks(changing, 5, 4000), {}},
        {perAccessUnit(changing), {0}}};  // whole access units
    for (const auto& [sizes, wholeFrom] : chunkings) {
      auto decoder = makeDecoder(typeOf(codec));
      const FeedResult result = feed(*decoder, changing.bytes, sizes, reference, wholeFrom);
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
      // One decoder takes the stream whole, then in 997-byte chunks; another
      // takes it as whole access units.
      std::vector<std::vector<uint8_t>> chunks = {hostile}, units;
      for (size_t at = 0; at + 997 <= hostile.size(); at += 997) {
        chunks.emplace_back(hostile.begin() + at, hostile.begin() + at + 997);
      }
      for (const auto& unit : small.accessUnits) {
        units.push_back(withDeclaredSize(unit, codec, width, height));
      }
      const std::string line = "picture " + std::to_string(width) + "x" + std::to_string(height) +
                               " exceeds the limit of 16777216 pixels";
      for (bool whole : {false, true}) {
        auto decoder = makeDecoder(typeOf(codec));
        decoder->setWholeAccessUnits(whole);
        fake.lines.clear();
        for (auto& chunk : whole ? units : chunks) {
          const AVFrame* frame = decoder->decode(chunk.data(), int(chunk.size()), 1);
          if (frame != nullptr) {
            EXPECT_LE(int64_t{frame->width} * frame->height, 4096 * 4096);
          }
        }
        const auto said = lines();
        EXPECT_EQ(std::count(said.begin(), said.end(), line), 1) << line << " whole " << whole;
        EXPECT_EQ(FFmpegDecoderInternals::wholeAccessUnits(*decoder), whole);
      }
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

// ---- Whole access units: each chunk's picture in the call that brings it ----

/// The first call after which a picture had been received (the calls' count if none).
size_t firstPictureCall(const FeedResult& result) {
  const auto& after = result.receivedAfterCall;
  const auto first = std::find_if(after.begin(), after.end(), [](int n) { return n > 0; });
  return size_t(first - after.begin());
}

/// NAL unit types of an access unit, in order.
std::vector<int> nalTypes(const std::vector<uint8_t>& unit, bool hevc) {
  std::vector<int> types;
  for (size_t at = nextNalHeader(unit.data(), unit.size(), 0); at < unit.size();
       at = nextNalHeader(unit.data(), unit.size(), at)) {
    types.push_back(hevc ? (unit[at] >> 1) & 0x3f : unit[at] & 0x1f);
  }
  return types;
}

struct WholeCase {
  const char* name;
  AVCodecID codec;
  int bFrames;
  const char* encoderParams;
  std::vector<int> nalsOfASecondUnit;  // what the encoder must have made, or the case tests nothing
  bool withoutNuma = false;  // the stream is made where libnuma finds no NUMA node
};

/// Makes get_mempolicy answer ENOSYS in this process, as it does under qemu-user and
/// on kernels without NUMA (most phones'): libnuma then reports no node. True if it does.
bool takeNumaAway() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_get_mempolicy, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  // qemu-user takes no filter but answers ENOSYS already; the call below tells.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0) {
    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program);
  }
  return syscall(SYS_get_mempolicy, nullptr, nullptr, 0, nullptr, 0) != 0 && errno == ENOSYS;
}

/// The recipe encoded in a child process that has no NUMA node; nullopt if none could be
/// taken away. A crash of the encoder gives an empty stream.
std::optional<EncodedStream> encodeWithoutNuma(const StreamSpec& recipe) {
  const ChildReport child = runInChild([&] {
    if (!takeNumaAway()) return std::string("numa");
    std::string units;  // each access unit as its 4-byte size, then its bytes
    for (const auto& unit : encodeStream(recipe).accessUnits) {
      const uint32_t size = static_cast<uint32_t>(unit.size());
      units.append(reinterpret_cast<const char*>(&size), sizeof size);
      units.append(unit.begin(), unit.end());
    }
    return units;
  });
  if (child.exited && child.text == "numa") return std::nullopt;
  EncodedStream stream;
  for (size_t at = 0; child.exited && at + 4 <= child.text.size();) {
    uint32_t size = 0;
    std::memcpy(&size, child.text.data() + at, sizeof size);
    const auto* unit = reinterpret_cast<const uint8_t*>(child.text.data() + at + 4);
    stream.accessUnits.emplace_back(unit, unit + size);
    stream.bytes.insert(stream.bytes.end(), unit, unit + size);
    at += 4 + size;
  }
  return stream;
}

void PrintTo(const WholeCase& c, std::ostream* out) { *out << c.name; }

class WholeAccessUnits : public ::testing::TestWithParam<WholeCase> {};

TEST_P(WholeAccessUnits, EachPictureComesOutInTheCallOfItsAccessUnit) {
  const WholeCase& c = GetParam();
  StreamSpec recipe;
  recipe.codec = c.codec;
  recipe.width = 320;
  recipe.height = 256;
  recipe.frames = 20;
  recipe.gopSize = 10;
  recipe.bFrames = c.bFrames;
  recipe.encoderParams = c.encoderParams;
  EncodedStream stream;
  if (c.withoutNuma) {
    const auto made = encodeWithoutNuma(recipe);
    if (!made) GTEST_SKIP() << "this process cannot hide its NUMA nodes";
    stream = *made;
    ASSERT_FALSE(stream.bytes.empty()) << "the encoder crashed";
  } else {
    stream = encodeStream(recipe);
  }
  const auto reference = referenceDecode(stream.bytes, c.codec);
  ASSERT_EQ(reference.size(), 20u);
  if (!c.nalsOfASecondUnit.empty()) {
    ASSERT_EQ(nalTypes(stream.accessUnits[1], c.codec == AV_CODEC_ID_HEVC), c.nalsOfASecondUnit);
  }

  auto parsed = makeDecoder(typeOf(c.codec));
  const FeedResult byParser = feed(*parsed, stream.bytes, perAccessUnit(stream), reference);
  auto whole = makeDecoder(typeOf(c.codec));
  const FeedResult result = feed(*whole, stream.bytes, perAccessUnit(stream), reference, {0});
  EXPECT_TRUE(FFmpegDecoderInternals::wholeAccessUnits(*whole)) << "a whole access unit was taken for a broken one";
  EXPECT_EQ(result.mismatches, 0);
  EXPECT_EQ(result.emptyFrames, 0);
  // One call ahead of the parser's framing: only the decoder's reordering holds pictures back.
  const size_t delay = firstPictureCall(result);
  EXPECT_EQ(delay + 1, firstPictureCall(byParser));
  if (c.bFrames == 0) {
    EXPECT_EQ(delay, 0u);
  }
  for (size_t i = delay; i < result.receivedAfterCall.size(); i++) {
    EXPECT_EQ(result.receivedAfterCall[i], int(i + 1 - delay)) << "call " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, WholeAccessUnits,
    ::testing::Values(
        WholeCase{"H264Baseline", AV_CODEC_ID_H264, 0, "", {1}},
        WholeCase{"H264Main", AV_CODEC_ID_H264, 0, "cabac=1", {1}},
        WholeCase{"H264High", AV_CODEC_ID_H264, 0, "cabac=1:8x8dct=1", {1}},
        WholeCase{"H264FourSlices", AV_CODEC_ID_H264, 0, "slices=4", {1, 1, 1, 1}},
        WholeCase{"H264AudAndSei", AV_CODEC_ID_H264, 0,
                  "aud=1:nal-hrd=vbr:bitrate=400:vbv-maxrate=500:vbv-bufsize=500", {9, 6, 1}},
        WholeCase{"H264BFrames", AV_CODEC_ID_H264, 2, "", {}},
        WholeCase{"H265", AV_CODEC_ID_HEVC, 0, "", {}},
        WholeCase{"H265FourSlices", AV_CODEC_ID_HEVC, 0, "slices=4", {1, 1, 1, 1}},
        WholeCase{"H265FourSlicesWithoutNuma", AV_CODEC_ID_HEVC, 0, "slices=4", {1, 1, 1, 1}, true},
        WholeCase{"H265BFrames", AV_CODEC_ID_HEVC, 2, "", {}}),
    [](const auto& info) { return std::string(info.param.name); });

class BrokenPromise : public IllegalInput, public ::testing::WithParamInterface<AVCodecID> {};

TEST_P(BrokenPromise, TheParsersFramingTakesOverAndNoPictureOfACaughtBreakIsDamaged) {
  const AVCodecID codec = GetParam();
  StreamSpec recipe;
  recipe.codec = codec;
  recipe.width = 320;
  recipe.height = 256;
  recipe.frames = 16;
  recipe.gopSize = 8;
  recipe.encoderParams = "slices=4:aud=1";
  const EncodedStream stream = encodeStream(recipe);
  const auto reference = referenceDecode(stream.bytes, codec);
  ASSERT_EQ(reference.size(), 16u);
  const std::vector<size_t> units = perAccessUnit(stream);
  // Unit 7, the last before a key frame: where its second slice starts.
  const auto& unit7 = stream.accessUnits[7];
  std::vector<size_t> slices;
  for (size_t at = nextNalHeader(unit7.data(), unit7.size(), 0); at < unit7.size();
       at = nextNalHeader(unit7.data(), unit7.size(), at)) {
    if (isPictureNal(unit7[at], codec == AV_CODEC_ID_HEVC)) {
      slices.push_back(startCodeOf(unit7.data(), at));
    }
  }
  ASSERT_EQ(slices.size(), 4u);
  /// The unit sizes with units [first, last) replaced by `chunks`.
  auto replaced = [&](size_t first, size_t last, std::vector<size_t> chunks) {
    std::vector<size_t> sizes(units.begin(), units.begin() + first);
    sizes.insert(sizes.end(), chunks.begin(), chunks.end());
    sizes.insert(sizes.end(), units.begin() + last, units.end());
    return sizes;
  };
  struct Break {
    const char* name;
    std::vector<size_t> sizes;
    std::vector<size_t> wholeFrom;  // the app sets the switch (again) before these calls
    const char* line;
    int damaged;  // pictures of a break no check can see: a unit that stops short
    int received;
  };
  const Break breaks[] = {
      // Caught before any damage; the app sets the switch again at unit 6, while
      // the parser holds unit 5: nothing is lost, and the last picture comes with its unit.
      {"two units in one chunk", replaced(3, 5, {units[3] + units[4]}), {0, 5},
       "whole access units off at sequence 3: the chunk holds more than one access unit", 0, 16},
      // Unit 7 up to its second slice looks whole (its picture is damaged); the rest is caught.
      {"a chunk from a later slice", replaced(7, 8, {slices[1], units[7] - slices[1]}), {0},
       "whole access units off at sequence 8: the chunk starts in the middle of an access unit",
       1, 15},
      // Cut inside unit 7's delimiter: its slices still make their picture.
      {"a chunk from the middle of a NAL unit", replaced(7, 9, {5, units[7] - 5 + units[8]}), {0},
       "whole access units off at sequence 8: the chunk does not start with a start code", 0, 15},
  };
  for (const Break& b : breaks) {
    fake.lines.clear();
    auto decoder = makeDecoder(typeOf(codec));
    const FeedResult result = feed(*decoder, stream.bytes, b.sizes, reference, b.wholeFrom);
    std::vector<std::string> said;
    for (const std::string& line : lines()) {
      if (line.rfind("whole access units", 0) == 0) said.push_back(line);
    }
    EXPECT_EQ(said, std::vector<std::string>{b.line}) << b.name;
    EXPECT_EQ(result.mismatches, b.damaged) << b.name;
    EXPECT_EQ(result.received(), b.received) << b.name;
  }
}

INSTANTIATE_TEST_SUITE_P(H264AndH265, BrokenPromise,
                         ::testing::Values(AV_CODEC_ID_H264, AV_CODEC_ID_HEVC),
                         [](const auto& info) {
                           return std::string(info.param == AV_CODEC_ID_H264 ? "H264" : "H265");
                         });

// ---- Work bounds: what one packet and one decoder may hold ----

/// `count` copies of one NAL unit, start code included.
std::vector<uint8_t> repeatedNal(const std::vector<uint8_t>& nal, size_t count) {
  std::vector<uint8_t> bytes;
  bytes.reserve(nal.size() * count);
  for (size_t i = 0; i < count; i++) bytes.insert(bytes.end(), nal.begin(), nal.end());
  return bytes;
}

/// A 640x360 camera stream: the sound pictures that follow each hostile input.
EncodedStream soundStream(AVCodecID codec) { return cameraStream(codec, 0, 640, 360, 10); }

/// One picture, then about 800,000 filler NAL units.
std::vector<uint8_t> pictureAndFillers(AVCodecID codec) {
  std::vector<uint8_t> bytes = soundStream(codec).accessUnits[0];
  const std::vector<uint8_t> filler = fillerNalUnits(codec, 800000);
  bytes.insert(bytes.end(), filler.begin(), filler.end());
  return bytes;
}

/// The filler bomb in 1,400-byte chunks.
std::vector<std::vector<uint8_t>> fillerBomb(AVCodecID codec) {
  return cutInto(pictureAndFillers(codec), 1400);
}

/// The filler bomb as one chunk: an access unit that looks whole.
std::vector<std::vector<uint8_t>> fillerBombWhole(AVCodecID codec) {
  return {pictureAndFillers(codec)};
}

/// One 4 MiB chunk of access unit delimiters only.
std::vector<std::vector<uint8_t>> delimitersOnly(AVCodecID codec) {
  const auto delimiter = codec == AV_CODEC_ID_H264 ? std::vector<uint8_t>{0, 0, 1, 0x09, 0xf0}
                                                   : std::vector<uint8_t>{0, 0, 1, 0x46, 0x01, 0x50};
  return {repeatedNal(delimiter, (4u << 20) / delimiter.size())};
}

/// 4096x4096 4:4:4 10-bit pictures that each stay a reference (16 of them).
std::vector<std::vector<uint8_t>> manyLargeReferences(AVCodecID codec) {
  StreamSpec recipe;
  recipe.codec = codec;
  recipe.width = recipe.height = 4096;
  recipe.frames = 5;
  recipe.gopSize = 250;
  recipe.solidY = 90;
  recipe.pixelFormat = AV_PIX_FMT_YUV444P10LE;
  recipe.encoderParams = "ref=16";
  return cutInto(encodeStream(recipe).bytes, 1400);
}

/// Nothing hostile.
std::vector<std::vector<uint8_t>> nothing(AVCodecID) { return {}; }

/// A real 4096x4096 8-bit 4:2:0 stream keeping 8 reference pictures.
EncodedStream largeStream(AVCodecID codec) {
  StreamSpec recipe;
  recipe.codec = codec;
  recipe.width = recipe.height = 4096;
  recipe.frames = 10;
  recipe.gopSize = 250;
  recipe.encoderParams = "ref=8";
  return encodeStream(recipe);
}

struct WorkCase {
  const char* name;
  AVCodecID codec;
  std::vector<std::vector<uint8_t>> (*hostile)(AVCodecID);  // chunks fed first
  EncodedStream (*sound)(AVCodecID);                         // then this, one unit per chunk
  bool whole;         // whole access units switched on for every chunk
  bool refused;       // the hostile chunks give the refusal line
  long maxGrowthMiB;  // growth of the peak resident size, the whole row
};

void PrintTo(const WorkCase& c, std::ostream* out) { *out << c.name; }

/// What one row did, reported from its child process.
struct WorkOutcome {
  long growthMiB = -1;
  int refusals = 0;      // refusal lines logged
  int soundPictures = 0; // pictures of the sound stream shown, each equal to the reference's
  int wrongPictures = 0; // pictures after the hostile chunks that are none of the reference's
  long heldMiB = 0;      // most picture memory the decoder held
};

class WorkBounds : public IllegalInput, public ::testing::WithParamInterface<WorkCase> {
 protected:
  /// Feeds the hostile chunks, then the sound stream, in a child process as the app sets it up.
  WorkOutcome run(const WorkCase& c, const std::vector<std::vector<uint8_t>>& hostile,
                  const EncodedStream& sound, const std::vector<Picture>& reference) {
    const ChildReport child = runInChild([&] {
      limitFfmpegAllocations();
      malloc_trim(0);  // pages the parent freed would hide this row's growth
      resetPeakResident();  // nor is the parent's peak (its encoding) this row's
      const long before = peakResidentKiB();
      auto decoder = makeDecoder(typeOf(c.codec));
      WorkOutcome outcome;
      int64_t held = 0;
      auto decode = [&](const std::vector<uint8_t>& chunk, int sequence) {
        decoder->setWholeAccessUnits(c.whole);
        const AVFrame* frame = decoder->decode(const_cast<uint8_t*>(chunk.data()),
                                               int(chunk.size()), sequence);
        held = std::max(held, pictureBytesHeld(decoder->context()));
        return frame;
      };
      for (size_t i = 0; i < hostile.size(); i++) decode(hostile[i], int(i));
      int seen = picturesReceived(*decoder);
      size_t next = 0;
      for (const auto& unit : sound.accessUnits) {
        const AVFrame* frame = decode(unit, 1000);
        if (frame == nullptr || picturesReceived(*decoder) == seen) continue;
        seen = picturesReceived(*decoder);
        while (next < reference.size() && !samePicture(frame, reference[next])) next++;
        if (next == reference.size()) {
          outcome.wrongPictures++;
          next = 0;
        } else {
          outcome.soundPictures++;
        }
      }
      const std::string refusal = "avcodec_send_packet sequence => ";
      for (const std::string& line : lines()) outcome.refusals += line.rfind(refusal, 0) == 0;
      outcome.growthMiB = (peakResidentKiB() - before) / 1024;
      outcome.heldMiB = long(held >> 20);
      return std::to_string(outcome.growthMiB) + " " + std::to_string(outcome.refusals) + " " +
             std::to_string(outcome.soundPictures) + " " + std::to_string(outcome.wrongPictures) +
             " " + std::to_string(outcome.heldMiB);
    });
    WorkOutcome outcome;
    if (!child.exited) return outcome;
    std::istringstream(child.text) >> outcome.growthMiB >> outcome.refusals >>
        outcome.soundPictures >> outcome.wrongPictures >> outcome.heldMiB;
    return outcome;
  }

  /// Peak resident size of this process (VmHWM) since the last resetPeakResident.
  static long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
  }
  /// Starts the peak resident size again from the present one.
  static void resetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }
};

TEST_P(WorkBounds, AHostileInputCostsNoMoreThanItsBoundAndTheNextSoundPictureDecodes) {
  const WorkCase& c = GetParam();
  const auto hostile = c.hostile(c.codec);
  const EncodedStream sound = c.sound(c.codec);
  const auto reference = referenceDecode(sound.bytes, c.codec);
  ASSERT_EQ(reference.size(), sound.accessUnits.size());
  const WorkOutcome outcome = run(c, hostile, sound, reference);
  ASSERT_GE(outcome.growthMiB, 0) << "the child crashed or hung";
  EXPECT_LE(outcome.growthMiB, c.maxGrowthMiB);
  EXPECT_LE(outcome.heldMiB, qn::kMaxPictureBytes >> 20);
  EXPECT_EQ(outcome.refusals > 0, c.refused) << outcome.refusals << " refusal lines";
  EXPECT_EQ(outcome.wrongPictures, 0);
  // Every picture of the sound stream, but the one the parser's framing holds.
  EXPECT_GE(outcome.soundPictures, int(reference.size()) - (c.whole ? 0 : 1));
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, WorkBounds,
    ::testing::Values(
        WorkCase{"H264FillerBomb", AV_CODEC_ID_H264, fillerBomb, soundStream, false, true, 96},
        WorkCase{"H265FillerBomb", AV_CODEC_ID_HEVC, fillerBomb, soundStream, false, true, 96},
        WorkCase{"H264FillerBombWholeChunk", AV_CODEC_ID_H264, fillerBombWhole, soundStream,
                 true, true, 96},
        WorkCase{"H265FillerBombWholeChunk", AV_CODEC_ID_HEVC, fillerBombWhole, soundStream,
                 true, true, 96},
        WorkCase{"H264DelimitersOnlyWholeChunk", AV_CODEC_ID_H264, delimitersOnly, soundStream,
                 true, true, 96},
        WorkCase{"H265DelimitersOnlyWholeChunk", AV_CODEC_ID_HEVC, delimitersOnly, soundStream,
                 true, true, 96},
        WorkCase{"H264ManyLargeReferences", AV_CODEC_ID_H264, manyLargeReferences, soundStream,
                 false, true, 320},
        WorkCase{"H264Real4096x4096", AV_CODEC_ID_H264, nothing, largeStream, true, false, 448}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WholeUnitCheck, TakesOnlyAChunkThatHoldsAPicture) {
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    const bool hevc = codec == AV_CODEC_ID_HEVC;
    const std::vector<uint8_t> delimiters = delimitersOnly(codec)[0];
    const AccessUnitCheck check = checkWholeAccessUnit(delimiters.data(), delimiters.size(), hevc);
    EXPECT_EQ(check.broken, nullptr);
    EXPECT_FALSE(check.holdsPicture);
    const std::vector<uint8_t> unit = soundStream(codec).accessUnits[0];
    const AccessUnitCheck picture = checkWholeAccessUnit(unit.data(), unit.size(), hevc);
    EXPECT_TRUE(picture.holdsPicture);
    EXPECT_EQ(picture.nalUnits, nalTypes(unit, hevc).size());
  }
}

// ---- Exact cropping and FFmpeg's send/receive contract ----

/// True if both frames have one format and size and the same visible samples in every plane.
bool samePlanes(const AVFrame* a, const AVFrame* b) {
  if (a->format != b->format || a->width != b->width || a->height != b->height) return false;
  const auto format = static_cast<AVPixelFormat>(a->format);
  const int chromaShift = av_pix_fmt_desc_get(format)->log2_chroma_h;
  for (int plane = 0; plane < av_pix_fmt_count_planes(format); plane++) {
    const size_t bytes = static_cast<size_t>(av_image_get_linesize(format, a->width, plane));
    const int rows = plane == 0 ? a->height : AV_CEIL_RSHIFT(a->height, chromaShift);
    for (int y = 0; y < rows; y++) {
      if (std::memcmp(a->data[plane] + y * a->linesize[plane],
                      b->data[plane] + y * b->linesize[plane], bytes) != 0) {
        return false;
      }
    }
  }
  return true;
}

TEST(ExactCropping, PicturesShowExactlyAWindowThatStartsAtAnUnalignedColumn) {
  // 26 columns cropped at each side of 352, as in the conformance stream CVFC1_Sony_C.
  for (const auto& [codec, format] : {std::pair{AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P},
                                      {AV_CODEC_ID_HEVC, AV_PIX_FMT_YUV420P},
                                      {AV_CODEC_ID_HEVC, AV_PIX_FMT_YUV420P10LE}}) {
    StreamSpec recipe;
    recipe.codec = codec;
    recipe.pixelFormat = format;
    recipe.frames = 6;
    std::vector<std::vector<uint8_t>> units;
    std::vector<uint8_t> bytes;
    for (const auto& unit : encodeStream(recipe).accessUnits) {
      units.push_back(withCroppingWindow(unit, codec, 26, 26));
      bytes.insert(bytes.end(), units.back().begin(), units.back().end());
    }
    const auto reference = referenceDecodeFrames(bytes, codec, AV_CODEC_FLAG_UNALIGNED);
    ASSERT_EQ(reference.size(), 6u);
    ASSERT_EQ(reference[0]->width, 300);
    for (bool whole : {false, true}) {
      auto decoder = makeDecoder(typeOf(codec));
      decoder->setWholeAccessUnits(whole);
      int seen = 0;
      for (auto& unit : units) {
        const AVFrame* frame = decoder->decode(unit.data(), int(unit.size()), seen);
        if (picturesReceived(*decoder) == seen) continue;
        seen = picturesReceived(*decoder);
        ASSERT_NE(frame, nullptr);
        EXPECT_TRUE(samePlanes(frame, reference[seen - 1].get()))
            << av_get_pix_fmt_name(format) << " picture " << seen << ": " << frame->width << "x"
            << frame->height << (whole ? ", whole units" : "");
      }
      EXPECT_EQ(seen, whole ? 6 : 5);
    }
  }
}

TEST(SendReceiveContract, PacketsRefusedWhilePicturesWaitAreSentAgainAfterThem) {
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    const EncodedStream stream = cameraStream(codec, 0, 320, 256, 24);
    const auto reference = referenceDecode(stream.bytes, codec);
    ASSERT_EQ(reference.size(), 24u);
    for (auto [whole, holdsPackets] : {std::pair{false, false}, {true, false}, {false, true},
                                       {true, true}}) {
      const std::string what = std::string(whole ? "whole units" : "parser") +
                               (holdsPackets ? ", packets held" : ", pictures waiting");
      auto decoder = makeDecoder(typeOf(codec));
      WaitingDecoder& waiting = waitingDecoder();
      waiting = WaitingDecoder{};
      waiting.armed = true;
      waiting.holdsPackets = holdsPackets;
      const FeedResult result =
          feed(*decoder, stream.bytes, perAccessUnit(stream), reference,
               whole ? std::vector<size_t>{0} : std::vector<size_t>{});
      waiting.armed = false;
      // The stream's end: what the decoder still holds comes out too, a packet
      // the stand-in kept back first. Pictures are taken until the decoder asks
      // for input, as FFmpeg 5.1 drops a packet still waiting when a drain starts.
      AVCodecContext* context = decoder->context();
      auto takeAll = [&] {
        while (avcodec_receive_frame(context, FFmpegDecoderInternals::spareFrame(*decoder)) == 0) {
          waiting.handedOut.push_back(copyPicture(FFmpegDecoderInternals::spareFrame(*decoder)));
        }
      };
      takeAll();
      if (waiting.held != nullptr) avcodec_send_packet(context, waiting.held);
      av_packet_free(&waiting.held);
      takeAll();
      avcodec_send_packet(context, nullptr);
      takeAll();
      EXPECT_EQ(result.mismatches, 0) << what;
      // Every picture was taken out, in order, whole: none is left in the
      // parser but the last unit.
      const size_t expected = reference.size() - (whole ? 0 : 1);
      ASSERT_EQ(waiting.handedOut.size(), expected) << what;
      for (size_t i = 0; i < expected; i++) {
        const Picture& got = waiting.handedOut[i];
        EXPECT_TRUE(got.y == reference[i].y && got.u == reference[i].u && got.v == reference[i].v)
            << what << ", picture " << i;
      }
      EXPECT_GE(waiting.refusals, 6) << what;  // the decoder did refuse packets
    }
  }
}

}  // namespace
}  // namespace qn::testing
