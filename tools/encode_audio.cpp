// encodeAudio: 200 frames of a generated 440 Hz tone through the MP2 encoder,
// its packets written back to back as a raw MP2 stream.
#include <cmath>
#include <cstdlib>

#include "bridge/ffmpeg_compat.h"
#include "tools/ffmpeg_handles.h"
#include "tools/java_paths.h"
#include "tools/tool_log.h"
#include "tools/tool_output.h"
#include "tools/tool_test_hooks.h"
#include "tools/tools.h"
#include "tools/written_file.h"

namespace qn::tools {
namespace {

constexpr int kFrameCount = 200;
constexpr int kBitRate = 64000;
constexpr int kPreferredRate = 44100;
constexpr double kTwoPiTimes440 = 2764.601535159018;

/// True if the encoder lists the format; an encoder that lists none offers none.
bool offersSampleFormat(const AVCodec* encoder, AVSampleFormat format) {
  const AVSampleFormat* formats = supportedSampleFormats(encoder);
  if (formats == nullptr) return false;
  for (const AVSampleFormat* entry = formats; *entry != AV_SAMPLE_FMT_NONE; entry++) {
    if (*entry == format) return true;
  }
  return false;
}

/// Room for the masks of an encoder's published layouts, far more than any encoder lists.
struct LayoutMasks {
  static constexpr int kCapacity = 64;
  uint64_t entries[kCapacity + 1];
};

/// The encoder's published channel-mask layouts as a 0-terminated list in `masks`, or null
/// when it publishes none. Layouts without a mask (in no native order) cannot be chosen.
const uint64_t* publishedLayouts(const AVCodec* encoder, LayoutMasks* masks) {
  const AVChannelLayout* layouts = supportedChannelLayouts(encoder);
  if (layouts == nullptr) return nullptr;
  int count = 0;
  for (const AVChannelLayout* layout = layouts; layout->nb_channels != 0; layout++) {
    if (layout->order == AV_CHANNEL_ORDER_NATIVE && count < LayoutMasks::kCapacity) {
      masks->entries[count++] = layout->u.mask;
    }
  }
  masks->entries[count] = 0;
  return masks->entries;
}

/// Shapes the frame after the opened encoder: its frame size, format and layout.
bool shapeFrame(AVFrame* frame, const AVCodecContext* context) {
  frame->nb_samples = context->frame_size;
  frame->format = context->sample_fmt;
  return av_channel_layout_copy(&frame->ch_layout, &context->ch_layout) >= 0;
}

/// Sends one frame (null drains) and writes every packet the encoder returns; false
/// when the encoder refused the frame or failed.
bool encodeAudioFrame(AVCodecContext* context, const AVFrame* frame, AVPacket* packet,
                      FILE* output) {
  if (avcodec_send_frame(context, frame) < 0) {
    TOOL_LOG("Error sending the frame to the encoder\n");
    return false;
  }
  for (;;) {
    const int ret = avcodec_receive_packet(context, packet);
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return true;
    if (ret < 0) {
      TOOL_LOG("Error encoding audio frame\n");
      return false;
    }
    fwrite(packet->data, 1, packet->size, output);
    av_packet_unref(packet);
  }
}

/// Encodes the 200 tone frames and drains the encoder; stops early if a frame stays shared.
/// True when every frame and the drain went through.
bool encodeTone(AVCodecContext* context, AVFrame* frame, AVPacket* packet, FILE* output) {
  const float step = static_cast<float>(kTwoPiTimes440 / context->sample_rate);
  float phase = 0.0f;
  bool whole = true;
  for (int i = 0; i < kFrameCount; i++) {
    if (av_frame_make_writable(frame) < 0) return false;
    // The frame's own size and channel count bound what is written into its buffer.
    fillTone(reinterpret_cast<int16_t*>(frame->data[0]), frame->nb_samples,
             frame->ch_layout.nb_channels, &phase, step);
    whole &= encodeAudioFrame(context, frame, packet, output);
  }
  return encodeAudioFrame(context, nullptr, packet, output) && whole;
}

}  // namespace

int chooseSampleRate(const int* rates) {
  if (rates == nullptr) return kPreferredRate;
  int best = 0;
  for (const int* rate = rates; *rate != 0; rate++) {
    const bool nearer = std::abs(*rate - kPreferredRate) < std::abs(best - kPreferredRate);
    if (best == 0 || nearer) best = *rate;
  }
  return best;
}

uint64_t chooseChannelLayout(const uint64_t* layouts) {
  if (layouts == nullptr) return AV_CH_LAYOUT_STEREO;
  uint64_t best = 0;
  int bestChannels = 0;
  for (const uint64_t* layout = layouts; *layout != 0; layout++) {
    const int channels = layoutChannelCount(*layout);
    if (channels > bestChannels) {
      best = *layout;
      bestChannels = channels;
    }
  }
  return best;
}

void fillTone(int16_t* samples, int n, int channels, float* phase, float step) {
  float t = *phase;
  for (int j = 0; j < n; j++) {
    const auto value = static_cast<int16_t>(static_cast<int>(sinf(t) * 10000.0f));
    for (int k = 0; k < channels; k++) samples[channels * j + k] = value;
    t += step;
  }
  *phase = t;
}

int encodeAudio(const char* outputPath) {
  TOOL_LOG(outputPath);
  const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_MP2);
  if (encoder == nullptr) {
    TOOL_LOG("Codec not found\n");
    return 1;
  }
  CodecContext context(avcodec_alloc_context3(encoder));
  if (!context) {
    TOOL_LOG("Could not allocate audio codec context\n");
    return 1;
  }
  context->bit_rate = kBitRate;
  context->sample_fmt = AV_SAMPLE_FMT_S16;
  if (!offersSampleFormat(encoder, context->sample_fmt)) {
    TOOL_LOGF("Encoder does not support sample format %s",
              av_get_sample_fmt_name(context->sample_fmt));
    return 1;
  }
  context->sample_rate = chooseSampleRate(supportedSampleRates(encoder));
  LayoutMasks masks;
  // A chosen mask of 0 (an empty list) leaves no channels, which the opening refuses.
  av_channel_layout_from_mask(&context->ch_layout,
                              chooseChannelLayout(publishedLayouts(encoder, &masks)));
  if (avcodec_open2(context.get(), encoder, nullptr) < 0) {
    TOOL_LOG("Could not open codec\n");
    return 1;
  }
  // The stream is written beside its name and takes the name only when whole.
  OutputFiles made;
  WrittenFile output(createStdioOutput(&made, outputPath, "Could not open %s\n"), outputPath);
  if (!output) return 1;
  Packet packet(av_packet_alloc());
  if (!packet) {
    TOOL_LOG("could not allocate the packet\n");
    return 1;
  }
  Frame frame(av_frame_alloc());
  if (!frame) {
    TOOL_LOG("Could not allocate audio frame\n");
    return 1;
  }
  if (!shapeFrame(frame.get(), context.get()) || av_frame_get_buffer(frame.get(), 0) < 0) {
    TOOL_LOG("Could not allocate audio data buffers\n");
    return 1;
  }
  const bool encoded = encodeTone(context.get(), frame.get(), packet.get(), output.get());
  if (!encoded || !wroteWholeStream(&output)) return 1;
  return made.keep() ? 0 : 1;
}

}  // namespace qn::tools

extern "C" JNIEXPORT jint JNICALL TOOL_METHOD(encodeAudio)(JNIEnv* env, jobject /*activity*/,
                              jstring output) {
  return qn::tools::withPath(env, output, 1, qn::tools::encodeAudio);
}
