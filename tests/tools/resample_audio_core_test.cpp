// resampleAudio: ten seconds of stereo 48 kHz tone become 3-channel 44.1 kHz s16
// PCM, block by block, with the resampler's tail flushed at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <libswresample/swresample.h>
}

#include "tests/support/media.h"
#include "tests/tools/audio_reference.h"
#include "tools/tools.h"

namespace qn::testing {
namespace {

struct Progress {
  double t;
  int in;
  int out;
};

/// Parses a "t:%f in:%d out:%d\n" line; false if the line has another shape.
bool parseProgress(const std::string& line, Progress* progress) {
  char end = 0;
  return std::sscanf(line.c_str(), "t:%lf in:%d out:%d%c", &progress->t, &progress->in,
                     &progress->out, &end) == 4 &&
         end == '\n' && line.back() == '\n';
}

TEST(ResampleAudio, ConvertsTenSecondsInBlocksAndFlushesTheTail) {
  const std::string output = makeTempDir("resample_audio") + "/tone.pcm";
  takeAndroidLog();
  ASSERT_EQ(tools::resampleAudio(output.c_str()), 0);
  const std::vector<std::string> log = takeToolLog();

  // The path, 469 block lines, the flush line and the success line, in that order.
  ASSERT_EQ(log.size(), 1u + 469 + 1 + 1);
  EXPECT_EQ(log.front(), output);
  EXPECT_EQ(log[1].rfind("t:0.021333 in:1024 out:", 0), 0u) << log[1];
  std::vector<Progress> lines(470);
  int64_t converted = 0;
  for (size_t i = 0; i < lines.size(); i++) {
    ASSERT_TRUE(parseProgress(log[1 + i], &lines[i])) << log[1 + i];
    EXPECT_EQ(lines[i].in, i < 469 ? 1024 : 0) << log[1 + i];
    EXPECT_GE(lines[i].out, 0);
    converted += lines[i].out;
  }
  EXPECT_EQ(log[469].rfind("t:10.005333 in:1024 out:", 0), 0u) << log[469];
  EXPECT_EQ(log[470].rfind("t:10.005333 in:0 out:", 0), 0u) << log[470];
  EXPECT_GT(lines[469].out, 0) << "the flush gives the samples the filter still held";
  // 469 blocks of 1024 samples at 48 kHz make 441235.2 samples at 44.1 kHz.
  EXPECT_NEAR(static_cast<double>(converted), 469 * 1024 * 44100.0 / 48000, 1.0);

  EXPECT_EQ(log.back(),
            "Resampling succeeded. Play the output file with the command:\n"
            "ffplay -f s16le -channel_layout 7 -channels 3 -ar 44100 " + output + "\n");

  const std::vector<uint8_t> pcm = readFile(output);
  EXPECT_EQ(pcm.size(), static_cast<size_t>(6 * converted));
  // Left and right carry the same full-scale tone; the centre, absent in the source, stays quiet.
  const auto* samples = reinterpret_cast<const int16_t*>(pcm.data());
  int peak = 0;
  int centrePeak = 0;
  int channelGap = 0;
  for (size_t i = 0; i < pcm.size() / 6; i++) {
    peak = std::max(peak, std::abs(static_cast<int>(samples[3 * i])));
    channelGap = std::max(channelGap, std::abs(samples[3 * i] - samples[3 * i + 1]));
    centrePeak = std::max(centrePeak, std::abs(static_cast<int>(samples[3 * i + 2])));
  }
  EXPECT_GT(peak, 20000);
  EXPECT_EQ(channelGap, 0);
  EXPECT_LT(centrePeak, peak / 2);
}

/// The tool's tone resampled independently: 469 blocks of 1024 stereo doubles at 48 kHz
/// (sin(2π·440·t), t advancing by 1/48000), converted in one go to 3.0 s16 at 44.1 kHz
/// by libswresample set up through its channel-layout interface, then flushed.
std::vector<uint8_t> referenceResample() {
  constexpr int kSamples = 469 * 1024;
  std::vector<double> tone(2 * kSamples);
  double t = 0;
  for (int i = 0; i < kSamples; i++) {
    tone[2 * i] = tone[2 * i + 1] = sin(2764.601535159018 * t);
    t += 1.0 / 48000;
  }
  SwrContext* resampler = nullptr;
  AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO, surround = AV_CHANNEL_LAYOUT_SURROUND;
  EXPECT_EQ(swr_alloc_set_opts2(&resampler, &surround, AV_SAMPLE_FMT_S16, 44100, &stereo,
                                AV_SAMPLE_FMT_DBL, 48000, 0, nullptr),
            0);
  EXPECT_EQ(swr_init(resampler), 0);
  std::vector<int16_t> pcm(3 * (kSamples + 4096));
  uint8_t* out[] = {reinterpret_cast<uint8_t*>(pcm.data())};
  const uint8_t* in[] = {reinterpret_cast<const uint8_t*>(tone.data())};
  const int room = static_cast<int>(pcm.size() / 3);
  int total = swr_convert(resampler, out, room, in, kSamples);
  out[0] += 6 * total;
  total += swr_convert(resampler, out, room - total, nullptr, 0);
  swr_free(&resampler);
  const auto* bytes = reinterpret_cast<const uint8_t*>(pcm.data());
  return std::vector<uint8_t>(bytes, bytes + 6 * total);
}

TEST(ResampleAudio, PcmEqualsAnIndependentLibswresampleRunOfTheSameTone) {
  const std::string output = makeTempDir("resample_audio") + "/tone.pcm";
  takeAndroidLog();
  ASSERT_EQ(tools::resampleAudio(output.c_str()), 0);
  takeAndroidLog();
  const std::vector<uint8_t> pcm = readFile(output);
  const std::vector<uint8_t> reference = referenceResample();
  ASSERT_EQ(pcm.size(), reference.size());
  EXPECT_TRUE(pcm == reference);
}

TEST(ResampleAudio, PathInAMissingDirectoryFailsAndCreatesNothing) {
  const std::string dir = makeTempDir("resample_audio") + "/no-such-dir";
  const std::string output = dir + "/tone.pcm";
  takeAndroidLog();
  EXPECT_EQ(tools::resampleAudio(output.c_str()), 1);
  EXPECT_EQ(takeToolLog(), (std::vector<std::string>{
                               output, "Could not open destination file " + output + "\n"}));
  EXPECT_FALSE(fileExists(dir));
}

}  // namespace
}  // namespace qn::testing
