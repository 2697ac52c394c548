#include "decoder/ffmpeg_decoder.h"

#include "bridge/bridge.h"
#include "bridge/error_text.h"

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
  avcodec_free_context(&codecContext);
}

void FFmpegDecoder::setUp(int type) {
  const bool h264 = type == kTypeH264;
  const AVCodecID id = h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
  printD("decoder type %s", h264 ? "h264" : "h265");

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  av_init_packet(&packet);  // a packet held by value; still part of FFmpeg 5 and 6
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
  codecContext = avcodec_alloc_context3(codec);
  if (codecContext == nullptr || frame == nullptr || spareFrame == nullptr) return;
  mirrorVariableFrameSize(codec, codecContext);
  // A stream that declares a huge picture is refused by the decoder itself,
  // before it allocates a picture buffer for it.
  codecContext->max_pixels = kMaxPixels;
  if (avcodec_open2(codecContext, codec, nullptr) < 0) return;

  inputRemaining = 0;
  ready = true;
}

AVFrame* FFmpegDecoder::decode(unsigned char* data, int length, int sequence) {
  printDetail("decode sequence => %d length => %d ", sequence, length);
  if (data == nullptr || length <= 0 || !ready) {
    printD("decode illegal");
    return nullptr;
  }

  inputData = data;
  inputRemaining = length;
  inputConsumed = 0;
  // A refused packet or a failed receive ends nothing: the packets after it in
  // the chunk (a key frame after a packet naming unseen parameter sets, say)
  // must still reach the decoder.
  bool completedPacket = false;
  bool receivedPicture = false;
  bool heldBack = false;  // a receive answered EAGAIN
  bool parseFailed = false;
  while (inputRemaining > 0) {
    int size = 0;
    const uint8_t* input = nextParseInput(&size);
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
    if (parsedSize > 0) {
      completedPacket = true;
      // The parser knows the size the packet's parameter sets declare; an
      // oversized one is not worth the decoder's time.
      if (isOversize(parser->width, parser->height)) continue;
      const int received = decodeParsedPacket(sequence);
      if (received == 0) receivedPicture = true;
      heldBack = heldBack || received == AVERROR(EAGAIN);
    } else if (used == 0) {
      break;  // a parser that neither consumes nor completes would spin forever
    }
  }
  if (receivedPicture || (!completedPacket && !parseFailed)) return frame;
  if (heldBack) {
    // The decoder keeps the picture back (reordering delay): no picture this call.
    logDecodeFail(sequence, AVERROR(EAGAIN));
  }
  return nullptr;
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

void FFmpegDecoder::setWholeAccessUnits(bool on) { wholeAccessUnits = on; }

const uint8_t* FFmpegDecoder::nextParseInput(int* size) {
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

int FFmpegDecoder::decodeParsedPacket(int sequence) {
  packet.data = parsedData;
  packet.size = parsedSize;
  int ret = avcodec_send_packet(codecContext, &packet);
  if (ret < 0) {
    qn::ErrorText error(ret);
    printD("avcodec_send_packet sequence => %d, error code %d %s", sequence, ret, error.text);
    av_packet_unref(&packet);
    return ret;
  }
  printDetail("avcodec_send_packet success sequence => %d", sequence);

  // The spare frame receives, so a receive that gives nothing leaves the
  // newest picture in `frame`; swapping references allocates nothing.
  ret = avcodec_receive_frame(codecContext, spareFrame);
  av_packet_unref(&packet);
  if (ret == 0) {
    av_frame_unref(frame);
    av_frame_move_ref(frame, spareFrame);
  } else if (ret != AVERROR(EAGAIN)) {
    logDecodeFail(sequence, ret);
  }
  return ret;
}
