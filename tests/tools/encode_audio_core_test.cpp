// encodeAudio: a 440 Hz tone as a raw MP2 stream, with the encoder's rate and
// layout chosen from its own lists, and a tone fill that stays inside its buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tests/support/media.h"
#include "tests/tools/audio_reference.h"
#include "tools/tool_test_hooks.h"
#include "tools/tools.h"

namespace qn::testing {
namespace {

const float kStepAt44100 = static_cast<float>(2764.601535159018 / 44100);

TEST(EncodeAudio, WritesAnMp2StereoStreamOf200FramesAt44100AndLogsOnlyThePath) {
  const std::string dir = makeTempDir("encode_audio");
  const std::string output = dir + "/tone.mp2";
  takeAndroidLog();
  EXPECT_EQ(tools::encodeAudio(output.c_str()), 0);
  EXPECT_EQ(takeToolLog(), std::vector<std::string>{output});

  const DecodedAudio decoded = referenceAudioDecode(output);
  EXPECT_EQ(decoded.codec, "mp2");
  EXPECT_EQ(decoded.channels, 2);
  EXPECT_EQ(decoded.sampleRate, 44100);
  // MP2 has no encoder delay: the drain adds no frame of its own.
  EXPECT_EQ(decoded.samplesPerChannel, 200 * 1152);

  // Both channels carry the same tone, at about its amplitude of 10000.
  ASSERT_EQ(decoded.format, AV_SAMPLE_FMT_S16P);
  const auto* samples = reinterpret_cast<const int16_t*>(decoded.interleaved.data());
  int peak = 0;
  int largestChannelGap = 0;
  for (int64_t i = 0; i < decoded.samplesPerChannel; i++) {
    peak = std::max(peak, std::abs(static_cast<int>(samples[2 * i])));
    largestChannelGap =
        std::max(largestChannelGap, std::abs(samples[2 * i] - samples[2 * i + 1]));
  }
  EXPECT_NEAR(peak, 10000, 1500);
  EXPECT_LT(largestChannelGap, 500);
}

TEST(EncodeAudio, UnwritablePathIsReportedAndNothingIsEncoded) {
  const std::string output = makeTempDir("encode_audio") + "/no-such-dir/tone.mp2";
  takeAndroidLog();
  EXPECT_EQ(tools::encodeAudio(output.c_str()), 1);
  EXPECT_EQ(takeToolLog(), (std::vector<std::string>{output, "Could not open " + output + "\n"}));
  EXPECT_FALSE(fileExists(output));
}

TEST(ToneFill, FirstEightValuesAt44100AreInBothChannelSlots) {
  int16_t samples[16] = {};
  float phase = 0.0f;
  tools::fillTone(samples, 8, 2, &phase, kStepAt44100);
  const int16_t expected[8] = {0, 626, 1250, 1869, 2481, 3083, 3673, 4248};
  for (int j = 0; j < 8; j++) {
    EXPECT_EQ(samples[2 * j], expected[j]) << "instant " << j;
    EXPECT_EQ(samples[2 * j + 1], expected[j]) << "instant " << j;
  }
  EXPECT_FLOAT_EQ(phase, 8 * kStepAt44100);
}

TEST(ToneFill, PhaseRunsOnAcrossFrames) {
  int16_t whole[2 * 2000];
  int16_t pieces[2 * 2000];
  float wholePhase = 0.0f;
  float piecePhase = 0.0f;
  tools::fillTone(whole, 2000, 2, &wholePhase, kStepAt44100);
  tools::fillTone(pieces, 1152, 2, &piecePhase, kStepAt44100);
  tools::fillTone(pieces + 2 * 1152, 2000 - 1152, 2, &piecePhase, kStepAt44100);
  EXPECT_EQ(std::vector<int16_t>(whole, whole + 4000), std::vector<int16_t>(pieces, pieces + 4000));
  EXPECT_EQ(wholePhase, piecePhase);
}

TEST(ToneFill, SixChannelsFillExactlyTheirOwnSlots) {
  constexpr int kInstants = 1152;
  constexpr int kChannels = 6;
  constexpr int kGuard = 64;
  constexpr int16_t kUntouched = 0x5a5a;
  std::vector<int16_t> buffer(kGuard + kInstants * kChannels + kGuard, kUntouched);
  float phase = 0.0f;
  tools::fillTone(buffer.data() + kGuard, kInstants, kChannels, &phase, kStepAt44100);

  std::vector<int16_t> mono(kInstants);
  float monoPhase = 0.0f;
  tools::fillTone(mono.data(), kInstants, 1, &monoPhase, kStepAt44100);
  for (int i = 0; i < kGuard; i++) {
    ASSERT_EQ(buffer[i], kUntouched) << "written before the buffer at " << i;
    ASSERT_EQ(buffer[kGuard + kInstants * kChannels + i], kUntouched) << "written past the end";
  }
  for (int j = 0; j < kInstants; j++) {
    for (int k = 0; k < kChannels; k++) {
      ASSERT_EQ(buffer[kGuard + kChannels * j + k], mono[j]) << "instant " << j << " slot " << k;
    }
  }
}

TEST(SampleRateRule, PicksTheRateNearest44100AndTheFirstOfEquals) {
  const int far[] = {48000, 32000, 0};
  EXPECT_EQ(tools::chooseSampleRate(far), 48000);
  const int aboveFirst[] = {8000, 44200, 44000, 0};
  EXPECT_EQ(tools::chooseSampleRate(aboveFirst), 44200);
  const int belowFirst[] = {44000, 44200, 0};
  EXPECT_EQ(tools::chooseSampleRate(belowFirst), 44000);
  const int exact[] = {22050, 44100, 48000, 0};
  EXPECT_EQ(tools::chooseSampleRate(exact), 44100);
  const int empty[] = {0};
  EXPECT_EQ(tools::chooseSampleRate(empty), 0);
  EXPECT_EQ(tools::chooseSampleRate(nullptr), 44100);
}

TEST(ChannelLayoutRule, PicksTheLayoutWithMostChannelsAndTheFirstOfEquals) {
  const uint64_t three[] = {AV_CH_LAYOUT_MONO, AV_CH_LAYOUT_STEREO, AV_CH_LAYOUT_5POINT1, 0};
  EXPECT_EQ(tools::chooseChannelLayout(three), AV_CH_LAYOUT_5POINT1);
  const uint64_t twoOfTwo[] = {AV_CH_LAYOUT_STEREO, AV_CH_LAYOUT_STEREO_DOWNMIX, 0};
  EXPECT_EQ(tools::chooseChannelLayout(twoOfTwo), AV_CH_LAYOUT_STEREO);
  const uint64_t downmixFirst[] = {AV_CH_LAYOUT_STEREO_DOWNMIX, AV_CH_LAYOUT_STEREO, 0};
  EXPECT_EQ(tools::chooseChannelLayout(downmixFirst), AV_CH_LAYOUT_STEREO_DOWNMIX);
  const uint64_t empty[] = {0};
  EXPECT_EQ(tools::chooseChannelLayout(empty), 0u);
  EXPECT_EQ(tools::chooseChannelLayout(nullptr), AV_CH_LAYOUT_STEREO);
}

}  // namespace
}  // namespace qn::testing
