#include "decoder/ffmpeg_decoder.h"

#include "bridge/bridge.h"
#include "bridge/error_text.h"
#include "decoder/access_unit_check.h"
#include "decoder/picture_conversion.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kTypeH264 = 1;
// AV_CODEC_CAP_VARIABLE_FRAME_SIZE of the codec, mirrored into the context's flags.
constexpr int kVariableFrameSizeBit = 1 << 16;

/// The line of a receive that gave no picture.
void logDecodeFail(int sequence, int code) {
  qn::ErrorText error(code);
  printD("decode fail，sequence => %d, ret => %d, info => %s", sequence, code, error.text);
}

}  // namespace

void mirrorVariableFrameSize(const AVCodec* codec, AVCodecContext* context) {
  if (codec->capabilities & kVariableFrameSizeBit) context->flags |= kVariableFrameSizeBit;
}

FFmpegDecoder::~FFmpegDecoder() {
  av_packet_unref(&packet);
  av_frame_free(&frame);
  av_frame_free(&spareFrame);
  if (parser != nullptr) av_parser_close(parser);
  qn::freeDecoderContext(&codecContext);
  av_freep(&wholeUnit);
}

void FFmpegDecoder::setUp(int type) {
  const bool h264 = type == kTypeH264;
  const AVCodecID id = h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
  printD("decoder type %s", h264 ? "h264" : "h265");

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  av_init_packet(&packet);  // a packet held by value; deprecated, still in FFmpeg 5.1 to 9.0
#pragma GCC diagnostic pop
  packet.data = nullptr;
  packet.size = 0;
  frame = av_frame_alloc();
  spareFrame = av_frame_alloc();

  codec = avcodec_find_decoder(id);
  if (codec == nullptr) {
    ready = false;
    return;
  }
  parser = av_parser_init(id);
  if (parser == nullptr) return;
  if (frame == nullptr || spareFrame == nullptr) return;
  if (!openCodecContext()) return;

  inputRemaining = 0;
  ready = true;
}

bool FFmpegDecoder::openCodecContext() {
  AVCodecContext* opened = avcodec_alloc_context3(codec);
  if (opened == nullptr) return false;
  // What one camera stream may hold in pictures is bounded by work, not only per picture.
  if (!qn::limitPictureMemory(opened)) {
    avcodec_free_context(&opened);
    return false;
  }
  mirrorVariableFrameSize(codec, opened);
  // A stream that declares a huge picture is refused by the decoder itself,
  // before it allocates a picture buffer for it.
  opened->max_pixels = kMaxPixels;
  // Exactly the cropping window: without this FFmpeg keeps left crops that
  // would misalign its planes, and the picture shows columns outside it.
  opened->flags |= AV_CODEC_FLAG_UNALIGNED;
  opened->thread_count = threadCount;
  opened->thread_type = frameThreads ? FF_THREAD_FRAME | FF_THREAD_SLICE : FF_THREAD_SLICE;
  if (avcodec_open2(opened, codec, nullptr) < 0) {
    qn::freeDecoderContext(&opened);
    return false;
  }
  qn::freeDecoderContext(&codecContext);
  codecContext = opened;
  return true;
}

AVFrame* FFmpegDecoder::decode(unsigned char* data, int length, int sequence) {
  printDetail("decode sequence => %d length => %d ", sequence, length);
  if (data == nullptr || length <= 0 || !ready) {
    printD("decode illegal");
    return nullptr;
  }

  lastCallSkipped = false;
  chunkSeen = true;
  lastSequence = sequence;
  inputData = data;
  inputRemaining = length;
  inputConsumed = 0;
  // A refused packet or a failed receive ends nothing: the packets after it in
  // the chunk (a key frame after a packet naming unseen parameter sets, say)
  // must still reach the decoder.
  CallOutcome outcome;
  const bool whole = wholeAccessUnits && takeWholeAccessUnit(sequence, &outcome);
  // A whole access unit is one packet as it stands: the parser needs no next
  // unit's start to end it.
  if (whole) {
    parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
  } else {
    parser->flags &= ~PARSER_FLAG_COMPLETE_FRAMES;
    parserHoldsBytes = parserHoldsBytes || inputRemaining > 0;
  }
  bool parseFailed = false;
  while (inputRemaining > 0) {
    int size = 0;
    const uint8_t* input = nextParseInput(whole, &size);
    // A whole unit's NAL units were counted by its check.
    if (!whole) size = withinNalBound(input, size);
    if (size == 0) {
      refuseHeldPacket(sequence, &outcome);
      continue;
    }
    const int used = av_parser_parse2(parser, codecContext, &parsedData, &parsedSize, input, size,
                                      0, 0, 0);
    if (used < 0) {
      qn::ErrorText error(used);
      printD("av_parser_parse2 sequence => %d, error code %d %s", sequence, used, error.text);
      parseFailed = true;
      break;
    }
    inputRemaining -= used;
    inputConsumed += used;
    if (!whole) countParsed(input, used);
    if (parsedSize > 0) {
      decodeCompletedPacket(sequence, &outcome);
    } else if (used == 0) {
      break;  // a parser that neither consumes nor completes would spin forever
    }
  }
  // On key frames (or waiting for one), a call without a new picture gives
  // nothing: the view keeps the last one, and no picture is converted again.
  if (!outcome.receivedPicture && !parseFailed && (keyFramesOnly || skippedSinceKeyFrame) &&
      !outcome.completedPacket) {
    lastCallSkipped = true;
    return nullptr;
  }
  if (outcome.receivedPicture || (!outcome.completedPacket && !parseFailed)) return frame;
  if (outcome.heldBack) {
    // The decoder keeps the picture back (reordering delay): no picture this call.
    logDecodeFail(sequence, AVERROR(EAGAIN));
  }
  return nullptr;
}

void FFmpegDecoder::setWholeAccessUnits(bool on) { wholeAccessUnits = on; }

bool FFmpegDecoder::takeWholeAccessUnit(int sequence, CallOutcome* outcome) {
  const qn::AccessUnitCheck check = qn::checkWholeAccessUnit(
      inputData, static_cast<size_t>(inputRemaining), codec->id == AV_CODEC_ID_HEVC);
  if (check.broken != nullptr) {
    wholeAccessUnits = false;
    printD("whole access units off at sequence %d: the chunk %s", sequence, check.broken);
    // Bytes before the first access-unit start continue a unit whose head was
    // decoded as a whole one: on their own they would only make a damaged
    // picture. While the parser holds bytes of its own, they continue those.
    if (!parserHoldsBytes) {
      inputConsumed = static_cast<int32_t>(check.firstUnitStart);
      inputRemaining -= inputConsumed;
    }
    return false;
  }
  // Parameter sets sent on their own wait in the parser for the unit they precede.
  if (!check.holdsPicture) return false;
  if (check.nalUnits > qn::kMaxNalUnits) {
    logRefusedPacket(sequence, outcome);
    inputRemaining = 0;
    return false;
  }
  if (parserHoldsBytes && !finishPartialUnits(sequence, outcome)) return false;
  // FFmpeg reads past a packet's end: the unit is copied into a padded buffer
  // that is kept for the next chunks.
  av_fast_padded_malloc(&wholeUnit, &wholeUnitCapacity, static_cast<size_t>(inputRemaining));
  if (wholeUnit == nullptr) return false;
  std::memcpy(wholeUnit, inputData, static_cast<size_t>(inputRemaining));
  inputData = wholeUnit;
  return true;
}

bool FFmpegDecoder::finishPartialUnits(int sequence, CallOutcome* outcome) {
  AVCodecParserContext* fresh = av_parser_init(codec->id);
  if (fresh == nullptr) return false;
  // No input makes the parser give up the unit it holds, as at a stream's end.
  av_parser_parse2(parser, codecContext, &parsedData, &parsedSize, nullptr, 0, 0, 0, 0);
  if (parsedSize > 0) decodeCompletedPacket(sequence, outcome);
  // The old parser's search for unit ends stopped mid-way; a fresh one starts
  // clean should the chunks fall back to it.
  useParser(fresh);
  parserHoldsBytes = false;
  nalStarts.restart();
  return true;
}

int FFmpegDecoder::withinNalBound(const uint8_t* input, int size) const {
  constexpr size_t kPiece = 4096;
  const size_t allowed = qn::kMaxNalUnits - nalUnitsInParser;
  // A start code ends within 3 bytes (the first within 1, on zeros carried over), so
  // a head of 3 * allowed - 2 bytes cannot pass the bound: it goes unscanned, and
  // only a parser that already holds thousands of NAL units has its input scanned.
  const size_t unscanned = allowed > 0 ? 3 * allowed - 2 : 0;
  if (unscanned >= kPiece) return static_cast<int>(std::min(static_cast<size_t>(size), unscanned));
  // Near the bound the parser takes its input in pieces: a piece it does not take
  // whole is scanned again in the next one, so each scan is kept short.
  const size_t piece = std::min(static_cast<size_t>(size), kPiece);
  return static_cast<int>(nalStarts.headWithin(input, piece, allowed));
}

void FFmpegDecoder::countParsed(const uint8_t* input, int used) {
  const size_t started = nalStarts.take(input, static_cast<size_t>(used));
  // The parser ends a packet where the next one's first start code begins.
  nalUnitsInParser = parsedSize > 0 ? 0 : nalUnitsInParser + started;
}

void FFmpegDecoder::refuseHeldPacket(int sequence, CallOutcome* outcome) {
  logRefusedPacket(sequence, outcome);
  // The bytes are dropped before the parser would end them as one packet: FFmpeg
  // splits a completed packet into its NAL units, the H.265 parser too.
  if (replaceParser()) return;
  inputRemaining = 0;  // no fresh parser: the rest of the chunk waits for none
}

bool FFmpegDecoder::replaceParser() {
  AVCodecParserContext* fresh = av_parser_init(codec->id);
  if (fresh == nullptr) return false;
  useParser(fresh);
  return true;
}

void FFmpegDecoder::useParser(AVCodecParserContext* fresh) {
  av_parser_close(parser);
  parser = fresh;
  nalUnitsInParser = 0;
}

void FFmpegDecoder::logRefusedPacket(int sequence, CallOutcome* outcome) {
  outcome->completedPacket = true;
  const int refused = AVERROR_INVALIDDATA;
  qn::ErrorText error(refused);
  printD("avcodec_send_packet sequence => %d, error code %d %s", sequence, refused, error.text);
}

bool FFmpegDecoder::isOversize(int width, int height) {
  if (int64_t{width} * height <= kMaxPixels) return false;
  if (!oversizeReported) {
    oversizeReported = true;
    printD("picture %dx%d exceeds the limit of %lld pixels", width, height,
           static_cast<long long>(kMaxPixels));
  }
  return true;
}

const uint8_t* FFmpegDecoder::nextParseInput(bool whole, int* size) {
  if (whole) {
    *size = inputRemaining;  // already a padded copy
    return inputData + inputConsumed;
  }
  // The body of the chunk is parsed in place, leaving the padding's worth of
  // bytes after it; only the tail is copied into the padded buffer.
  constexpr int kPadding = AV_INPUT_BUFFER_PADDING_SIZE;
  if (inputRemaining > kPadding) {
    *size = inputRemaining - kPadding;
    return inputData + inputConsumed;
  }
  std::memcpy(paddedTail, inputData + inputConsumed, static_cast<size_t>(inputRemaining));
  std::memset(paddedTail + inputRemaining, 0, sizeof paddedTail - static_cast<size_t>(inputRemaining));
  *size = inputRemaining;
  return paddedTail;
}

void FFmpegDecoder::decodeCompletedPacket(int sequence, CallOutcome* outcome) {
  if (dropsCompletedPacket()) return;
  outcome->completedPacket = true;
  // The parser knows the size the packet's parameter sets declare; an
  // oversized one is not worth the decoder's time.
  if (isOversize(parser->width, parser->height)) return;
  const int received = decodeParsedPacket(sequence);
  outcome->receivedPicture = outcome->receivedPicture || received == 0;
  outcome->heldBack = outcome->heldBack || received == AVERROR(EAGAIN);
}

int FFmpegDecoder::decodeParsedPacket(int sequence) {
  packet.data = parsedData;
  packet.size = parsedSize;
  // A decoder may refuse a packet while pictures wait to be taken out: they
  // are taken (the newest stays in `frame`) and the same packet goes again.
  // A receive without a picture has still let the decoder take the input it
  // held (newer FFmpeg keeps a packet back while it hands out pictures), so
  // the packet goes once more after it; both refusing at once would be a bug.
  bool tookWaiting = false;
  int ret = avcodec_send_packet(codecContext, &packet);
  while (ret == AVERROR(EAGAIN)) {
    const int received = receivePicture(sequence);
    tookWaiting = tookWaiting || received == 0;
    ret = avcodec_send_packet(codecContext, &packet);
    if (received != 0) break;
  }
  if (ret < 0) {
    qn::ErrorText error(ret);
    printD("avcodec_send_packet sequence => %d, error code %d %s", sequence, ret, error.text);
    av_packet_unref(&packet);
    return tookWaiting ? 0 : ret;
  }
  printDetail("avcodec_send_packet success sequence => %d", sequence);
  ret = receivePicture(sequence);
  av_packet_unref(&packet);
  return tookWaiting ? 0 : ret;
}

int FFmpegDecoder::receivePicture(int sequence) {
  // The spare frame receives, so a receive that gives nothing leaves the
  // newest picture in `frame`; swapping references allocates nothing.
  const int ret = avcodec_receive_frame(codecContext, spareFrame);
  if (ret == 0) {
    av_frame_unref(frame);
    av_frame_move_ref(frame, spareFrame);
  } else if (ret != AVERROR(EAGAIN)) {
    logDecodeFail(sequence, ret);
  }
  return ret;
}

bool FFmpegDecoder::dropsCompletedPacket() {
  // The parser marks the packet it completed: IDR or recovery point (H.264),
  // IRAP (H.265).
  const bool key = parser->key_frame == 1;
  // A decoder opened afresh knows no parameter sets: it starts on a key frame
  // that brings its own.
  if (key && reopenAtKeyFrame &&
      qn::holdsSequenceParameterSet(parsedData, static_cast<size_t>(parsedSize),
                                    codec->id == AV_CODEC_ID_HEVC)) {
    reopenAtKeyFrame = false;
    if (!openCodecContext()) printD("threads %d not taken: the decoder could not be opened", threadCount);
  }
  if (key) {
    skippedSinceKeyFrame = false;
    return false;
  }
  if (!keyFramesOnly && !skippedSinceKeyFrame) return false;
  skippedSinceKeyFrame = true;
  return true;
}

void FFmpegDecoder::setKeyFramesOnly(bool on) { keyFramesOnly = on; }

void FFmpegDecoder::setThreads(int count) {
  if (count < 1 || count > kMaxThreads) {
    printD("threads %d refused: 1 to %d", count, kMaxThreads);
    return;
  }
  threadCount = count;
  applyThreadSettings();
}

void FFmpegDecoder::setFrameThreads(bool on) {
  frameThreads = on;
  applyThreadSettings();
}

void FFmpegDecoder::applyThreadSettings() {
  if (!ready) return;
  // Before the first chunk the decoder is simply opened again; later its
  // reference pictures matter, so the change waits for the next key frame.
  if (chunkSeen) {
    reopenAtKeyFrame = true;
  } else if (!openCodecContext()) {
    printD("threads %d not taken: the decoder could not be opened", threadCount);
  }
}

AVFrame* FFmpegDecoder::drain() {
  if (!ready) return nullptr;
  lastCallSkipped = false;
  CallOutcome outcome;
  // The unit the parser holds is ended as at a stream's end, then decoded.
  if (parserHoldsBytes) finishPartialUnits(lastSequence, &outcome);
  const bool drained = mayHoldPictures() && drainCodec();
  return outcome.receivedPicture || drained ? frame : nullptr;
}

bool FFmpegDecoder::mayHoldPictures() const {
  const bool frameThreadsAtWork =
      (codecContext->active_thread_type & FF_THREAD_FRAME) != 0 && codecContext->thread_count > 1;
  return frameThreadsAtWork || codecContext->has_b_frames > 0;
}

bool FFmpegDecoder::drainCodec() {
  bool received = false;
  if (avcodec_send_packet(codecContext, nullptr) == 0) {
    while (avcodec_receive_frame(codecContext, spareFrame) == 0) {
      av_frame_unref(frame);
      av_frame_move_ref(frame, spareFrame);
      received = true;
    }
  }
  // A drained codec takes packets again only once flushed, and without its
  // reference pictures: the units before the next key frame would be damaged.
  avcodec_flush_buffers(codecContext);
  skippedSinceKeyFrame = true;
  return received;
}

void FFmpegDecoder::setOutputSize(int width, int height) {
  if (!qn::isValidOutputSize(width, height, kMaxPixels)) {
    printD("output size %dx%d refused: 0x0, or both sides positive and at most %lld pixels",
           width, height, static_cast<long long>(kMaxPixels));
    return;
  }
  outputWidth = width;
  outputHeight = height;
}

void FFmpegDecoder::outputSizeFor(int pictureWidth, int pictureHeight, int* width,
                                  int* height) const {
  const bool own = outputWidth == 0;
  *width = own ? pictureWidth : outputWidth;
  *height = own ? pictureHeight : outputHeight;
}

const AVFrame* FFmpegDecoder::pictureToConvert(const AVFrame* picture, int width, int height) {
  if (picture->width == width && picture->height == height) return picture;
  return scaler.scale(picture, width, height);
}

FFmpegDecoder::PictureFault FFmpegDecoder::checkPicture(const AVFrame* picture,
                                                        bool* newUnsupportedFormat) {
  *newUnsupportedFormat = false;
  if (isOversize(picture->width, picture->height)) return PictureFault::kOversize;
  if (!qn::hasPlanePointers(picture)) return PictureFault::kNoPlanes;
  if (!qn::isConvertibleFormat(picture->format) && !unsupportedFormatLogged) {
    unsupportedFormatLogged = true;
    *newUnsupportedFormat = true;
  }
  if (!qn::hasPositiveLineSizes(picture)) return PictureFault::kNoLineSizes;
  // FFmpeg pads line sizes to its SIMD alignment, so the real ones are checked.
  if (!qn::canConvert(picture)) return PictureFault::kLineSizesTooShort;
  return PictureFault::kNone;
}
