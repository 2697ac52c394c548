// encodeVideo: encode 25 pictures of the moving test pattern with the H.264
// encoder and write its packets back to back as a raw H.264 stream.
#include "bridge/error_text.h"
#include "tools/ffmpeg_handles.h"
#include "tools/java_paths.h"
#include "tools/test_pattern.h"
#include "tools/tool_log.h"
#include "tools/tool_output.h"
#include "tools/tool_test_hooks.h"
#include "tools/tools.h"
#include "tools/written_file.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace qn::tools {
namespace {

constexpr int kPictures = 25;

/// Makes the fixed encoder settings on the context, in their documented order.
void configureEncoder(AVCodecContext* context) {
  context->bit_rate = 400000;
  context->width = 352;
  context->height = 288;
  context->time_base = AVRational{1, 25};
  context->framerate = AVRational{25, 1};
  context->gop_size = 10;
  context->max_b_frames = 1;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  // An encoder without the option keeps its own default.
  av_opt_set(context->priv_data, "preset", "slow", 0);
}

/// Gives the picture the context's format and size and its own buffers; false when that fails.
bool allocatePicture(AVFrame* picture, const AVCodecContext* context) {
  picture->format = context->pix_fmt;
  picture->width = context->width;
  picture->height = context->height;
  return av_frame_get_buffer(picture, 32) >= 0;
}

/// How encoding the pattern went: whether it reached the drain, and whether every
/// picture was encoded.
struct PatternRun {
  bool finished = true;
  bool whole = true;
};

/// Encodes the test pattern pictures 0 to 24; stops when a picture cannot be made writable.
PatternRun encodePattern(AVCodecContext* context, AVFrame* picture, AVPacket* packet,
                         FILE* output) {
  PatternRun run;
  for (int i = 0; i < kPictures; i++) {
    fflush(stdout);
    if (av_frame_make_writable(picture) < 0) return {false, false};
    fillTestPattern(picture->data, picture->linesize, context->width, context->height, i);
    picture->pts = i;
    run.whole &= encodeVideoFrame(context, picture, packet, output);
  }
  return run;
}

}  // namespace

bool encodeVideoFrame(AVCodecContext* context, const AVFrame* picture, AVPacket* packet,
                      FILE* output) {
  if (picture != nullptr) TOOL_LOGF("Send frame %lli\n", static_cast<long long>(picture->pts));
  if (avcodec_send_frame(context, picture) < 0) {
    TOOL_LOG("Error sending a frame for encoding\n");
    return false;
  }
  for (;;) {
    const int ret = avcodec_receive_packet(context, packet);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return true;
    if (ret < 0) {
      TOOL_LOG("Error during encoding\n");
      return false;
    }
    TOOL_LOGF("Write packet %lli (size=%5d)\n", static_cast<long long>(packet->pts), packet->size);
    fwrite(packet->data, 1, static_cast<size_t>(packet->size), output);
    av_packet_unref(packet);
  }
}

int encodeVideo(const char* output) {
  TOOL_LOG(output);
  const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (encoder == nullptr) {
    TOOL_LOG("Codec not found\n");
    return 1;
  }
  CodecContext context(avcodec_alloc_context3(encoder));
  if (!context) {
    TOOL_LOG("Could not allocate video codec context\n");
    return 1;
  }
  Packet packet(av_packet_alloc());
  if (!packet) {
    TOOL_LOG("av_packet_alloc() failed\n");
    return 1;
  }
  configureEncoder(context.get());
  const int opened = avcodec_open2(context.get(), encoder, nullptr);
  if (opened < 0) {
    TOOL_LOGF("Could not open codec: %s\n", ErrorText(opened).text);
    return 1;
  }
  // The stream is written beside its name and takes the name only when whole.
  OutputFiles made;
  WrittenFile file(createStdioOutput(&made, output, "Could not open %s\n"), output);
  if (!file) return 1;
  Frame picture(av_frame_alloc());
  if (!picture) {
    TOOL_LOG("Could not allocate video frame\n");
    return 1;
  }
  if (!allocatePicture(picture.get(), context.get())) {
    TOOL_LOG("Could not allocate the video frame data\n");
    return 1;
  }
  // A picture that cannot be made writable ends the call without draining.
  const PatternRun run = encodePattern(context.get(), picture.get(), packet.get(), file.get());
  if (!run.finished) return 1;
  const bool drained = encodeVideoFrame(context.get(), nullptr, packet.get(), file.get());
  if (!run.whole || !drained || !wroteWholeStream(&file)) return 1;
  return made.keep() ? 0 : 1;
}

}  // namespace qn::tools

extern "C" JNIEXPORT jint JNICALL TOOL_METHOD(encodeVideo)(JNIEnv* env, jobject /*activity*/,
                              jstring output) {
  return qn::tools::withPath(env, output, 1, qn::tools::encodeVideo);
}
