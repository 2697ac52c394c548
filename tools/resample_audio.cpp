// resampleAudio: ten seconds of a generated stereo 48 kHz double-precision tone,
// converted block by block into 3-channel 44.1 kHz s16 PCM in a headerless file.
#include <cmath>
#include <memory>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "bridge/error_text.h"
#include "tools/java_paths.h"
#include "tools/pcm_names.h"
#include "tools/tool_log.h"
#include "tools/tool_output.h"
#include "tools/tool_test_hooks.h"
#include "tools/tools.h"
#include "tools/written_file.h"

namespace qn::tools {
namespace {

constexpr uint64_t kSourceLayout = AV_CH_LAYOUT_STEREO;
constexpr int kSourceRate = 48000;
constexpr AVSampleFormat kSourceFormat = AV_SAMPLE_FMT_DBL;
constexpr uint64_t kDestinationLayout = AV_CH_LAYOUT_SURROUND;
constexpr int kDestinationRate = 44100;
constexpr AVSampleFormat kDestinationFormat = AV_SAMPLE_FMT_S16;
constexpr int kBlockSamples = 1024;
constexpr double kTwoPiTimes440 = 2764.601535159018;
constexpr double kSourceSampleTime = 1.0 / kSourceRate;
constexpr double kToneSeconds = 10.0;

struct ResamplerFreer {
  void operator()(SwrContext* context) const { swr_free(&context); }
};
using Resampler = std::unique_ptr<SwrContext, ResamplerFreer>;

/// Interleaved sample buffer: the plane-pointer array and its one plane, freed together.
struct SampleBuffer {
  uint8_t** planes = nullptr;
  int lineSize = 0;
  int capacity = 0;  // samples per channel the plane holds

  SampleBuffer() = default;
  SampleBuffer(const SampleBuffer&) = delete;
  SampleBuffer& operator=(const SampleBuffer&) = delete;
  ~SampleBuffer() {
    if (planes == nullptr) return;
    av_freep(&planes[0]);
    av_freep(&planes);
  }

  /// Allocates the pointer array and the plane; a negative FFmpeg code on failure.
  int allocate(int channels, int samples, AVSampleFormat format) {
    const int ret =
        av_samples_alloc_array_and_samples(&planes, &lineSize, channels, samples, format, 0);
    if (ret >= 0) capacity = samples;
    return ret;
  }

  /// Replaces the plane by a larger one when samples exceed the capacity; never shrinks.
  int ensureCapacity(int channels, int samples, AVSampleFormat format) {
    if (samples <= capacity) return 0;
    av_freep(&planes[0]);
    const int ret = av_samples_alloc(planes, &lineSize, channels, samples, format, 1);
    if (ret < 0) return ret;
    capacity = samples;
    return 0;
  }
};

/// True when the named option took; otherwise logs which one the resampler refused.
bool optionTook(const char* name, int ret) {
  if (ret >= 0) return true;
  TOOL_LOGF("Could not set the resampler option %s: %s\n", name, qn::ErrorText(ret).text);
  return false;
}

/// Sets a channel layout option from a 64-bit channel mask.
bool setLayout(SwrContext* resampler, const char* name, uint64_t mask) {
  AVChannelLayout layout{};
  int ret = av_channel_layout_from_mask(&layout, mask);
  if (ret >= 0) ret = av_opt_set_chlayout(resampler, name, &layout, 0);
  return optionTook(name, ret);
}

/// Sets an integer option.
bool setInt(SwrContext* resampler, const char* name, int64_t value) {
  return optionTook(name, av_opt_set_int(resampler, name, value, 0));
}

/// Sets a sample format option.
bool setFormat(SwrContext* resampler, const char* name, AVSampleFormat format) {
  return optionTook(name, av_opt_set_sample_fmt(resampler, name, format, 0));
}

/// Sets the fixed source and destination parameters on the resampler by option name;
/// false after the line that names the first option the resampler refused.
bool configure(SwrContext* resampler) {
  return setLayout(resampler, "in_chlayout", kSourceLayout) &&
         setInt(resampler, "in_sample_rate", kSourceRate) &&
         setFormat(resampler, "in_sample_fmt", kSourceFormat) &&
         setLayout(resampler, "out_chlayout", kDestinationLayout) &&
         setInt(resampler, "out_sample_rate", kDestinationRate) &&
         setFormat(resampler, "out_sample_fmt", kDestinationFormat);
}

/// Fills one block of interleaved doubles with the tone, every channel alike, advancing t.
void fillSourceBlock(double* samples, int channels, double* t) {
  for (int i = 0; i < kBlockSamples; i++) {
    const double value = sin(kTwoPiTimes440 * *t);
    for (int ch = 0; ch < channels; ch++) samples[i * channels + ch] = value;
    *t += kSourceSampleTime;
  }
}

/// The conversion of one call: the resampler, both buffers, the file and the running time.
struct Conversion {
  SwrContext* resampler;
  SampleBuffer& source;
  SampleBuffer& destination;
  int destinationChannels;
  FILE* output;
  double t;
};

/// Converts `inputSamples` of the source (0 flushes), logs the progress line and writes
/// the result; the last FFmpeg status, negative on failure.
int convertAndWrite(Conversion& c, int inputSamples) {
  const int64_t delay = swr_get_delay(c.resampler, kSourceRate);
  const int room = static_cast<int>(
      av_rescale_rnd(delay + inputSamples, kDestinationRate, kSourceRate, AV_ROUND_UP));
  int ret = c.destination.ensureCapacity(c.destinationChannels, room, kDestinationFormat);
  if (ret < 0) return ret;
  const uint8_t** input =
      inputSamples > 0 ? const_cast<const uint8_t**>(c.source.planes) : nullptr;
  const int converted = swr_convert(c.resampler, c.destination.planes, room, input, inputSamples);
  if (converted < 0) {
    TOOL_LOG("Error while converting\n");
    return converted;
  }
  const int bytes = av_samples_get_buffer_size(nullptr, c.destinationChannels, converted,
                                               kDestinationFormat, 1);
  if (bytes < 0) {
    TOOL_LOG("Could not get sample buffer size\n");
    return bytes;
  }
  TOOL_LOGF("t:%f in:%d out:%d\n", c.t, inputSamples, converted);
  // A short write ends the conversion; the file's closing names it.
  if (fwrite(c.destination.planes[0], 1, bytes, c.output) != static_cast<size_t>(bytes)) {
    return AVERROR(EIO);
  }
  return 0;
}

/// Bytes the file comes to at most: every source block and one more for the tail the
/// flush returns, at the destination rate, rounded up.
int64_t destinationBytes() {
  const int64_t blocks = static_cast<int64_t>(kToneSeconds * kSourceRate) / kBlockSamples + 2;
  const int64_t samples =
      av_rescale_rnd(blocks * kBlockSamples, kDestinationRate, kSourceRate, AV_ROUND_UP);
  return samples * layoutChannelCount(kDestinationLayout) *
         av_get_bytes_per_sample(kDestinationFormat);
}

/// Converts blocks until ten seconds of tone are done, then flushes what the resampler holds.
int convertTone(Conversion& c, int sourceChannels) {
  do {
    fillSourceBlock(reinterpret_cast<double*>(c.source.planes[0]), sourceChannels, &c.t);
    const int ret = convertAndWrite(c, kBlockSamples);
    if (ret < 0) return ret;
  } while (kToneSeconds > c.t);
  // The filter still holds the tail of the tone; without this it would be lost.
  return convertAndWrite(c, 0);
}

}  // namespace

int resampleAudioLeaving(const char* outputPath, int64_t freeSpaceMargin) {
  TOOL_LOG(outputPath);
  // The PCM is written beside its name and takes the name only when whole.
  OutputFiles made;
  WrittenFile output(createStdioOutput(&made, outputPath, "Could not open destination file %s\n"),
                     outputPath, kDestinationWriteFailure);
  if (!output) return 1;
  if (!leavesFreeSpace(fileno(output.get()), outputPath, destinationBytes(), freeSpaceMargin)) {
    return 1;
  }
  Resampler resampler(swr_alloc());
  if (!resampler) {
    TOOL_LOG("Could not allocate resampler context\n");
    return 1;
  }
  if (!configure(resampler.get())) return 1;
  if (swr_init(resampler.get()) < 0) {
    TOOL_LOG("Failed to initialize the resampling context\n");
    return 1;
  }
  const int sourceChannels = layoutChannelCount(kSourceLayout);
  SampleBuffer source;
  if (source.allocate(sourceChannels, kBlockSamples, kSourceFormat) < 0) {
    TOOL_LOG("Could not allocate source samples\n");
    return 1;
  }
  const int destinationChannels = layoutChannelCount(kDestinationLayout);
  const int firstCapacity = static_cast<int>(
      av_rescale_rnd(kBlockSamples, kDestinationRate, kSourceRate, AV_ROUND_UP));
  SampleBuffer destination;
  if (destination.allocate(destinationChannels, firstCapacity, kDestinationFormat) < 0) {
    TOOL_LOG("Could not allocate destination samples\n");
    return 1;
  }
  Conversion conversion{resampler.get(), source, destination, destinationChannels, output.get(),
                        0.0};
  if (convertTone(conversion, sourceChannels) < 0) return 1;
  // A file that is not whole must not end in the success line.
  if (!output.close() || !made.keep()) return 1;
  TOOL_LOGF(
      "Resampling succeeded. Play the output file with the command:\n"
      "ffplay -f %s -channel_layout %lli -channels %d -ar %d %s\n",
      pcmFormatName(kDestinationFormat), static_cast<long long>(kDestinationLayout),
      destinationChannels, kDestinationRate, outputPath);
  return 0;
}

int resampleAudio(const char* outputPath) {
  return resampleAudioLeaving(outputPath, kFreeSpaceMargin);
}

}  // namespace qn::tools

extern "C" JNIEXPORT jint JNICALL TOOL_METHOD(resampleAudio)(JNIEnv* env, jobject /*activity*/,
                              jstring output) {
  return qn::tools::withPath(env, output, 1, qn::tools::resampleAudio);
}
