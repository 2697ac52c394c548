// decodeAudio: a raw AAC stream becomes interleaved PCM identical to an independent
// decode, with a playback hint that names its format; bad files end cleanly.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/support/media.h"
#include "tests/tools/audio_reference.h"
#include "tools/tools.h"

namespace qn::testing {
namespace {

/// Encodes a lavfi source with FFmpeg's AAC encoder into a raw ADTS file.
std::string makeAdts(const std::string& dir, const std::string& name, const std::string& source,
                     const std::string& filter = "") {
  const std::string path = dir + "/" + name;
  const std::string command = "ffmpeg -v error -y -f lavfi -i \"" + source + "\" " +
                              (filter.empty() ? "" : "-af \"" + filter + "\" ") +
                              "-c:a aac -f adts " + path;
  EXPECT_EQ(runCommand(command), 0) << command;
  return path;
}

std::string hint(const char* format, int channels, int rate, const std::string& path) {
  return std::string("Play the output audio file with the command:\nffplay -f ") + format +
         " -ac " + std::to_string(channels) + " -ar " + std::to_string(rate) + " " + path + "\n";
}

class DecodeAudio : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeTempDir("decode_audio");
    takeAndroidLog();
  }
  /// Decodes input with the tool and checks its log is the two paths and the hint.
  std::vector<uint8_t> decodeExpectingHint(const std::string& input, const std::string& hintLine) {
    const std::string output = dir_ + "/out.pcm";
    EXPECT_EQ(tools::decodeAudio(input.c_str(), output.c_str()), 0);
    EXPECT_EQ(takeToolLog(), (std::vector<std::string>{input, output, hintLine}));
    return readFile(output);
  }
  std::string dir_;
};

TEST_F(DecodeAudio, StereoStreamLargerThanTheBufferMatchesAnIndependentDecodeToTheLastSample) {
  // Two different tones, so that a swapped or repeated channel shows.
  const std::string input =
      makeAdts(dir_, "stereo.aac", "aevalsrc=0.8*sin(440*2*PI*t)|0.4*sin(660*2*PI*t):s=44100:d=3");
  ASSERT_GT(readFile(input).size(), 20480u * 2);
  const DecodedAudio reference = referenceAudioDecode(input);
  ASSERT_EQ(reference.format, AV_SAMPLE_FMT_FLTP);
  ASSERT_EQ(reference.channels, 2);
  ASSERT_GT(reference.samplesPerChannel, 3 * 44100);

  const std::vector<uint8_t> pcm =
      decodeExpectingHint(input, hint("f32le", 2, 44100, dir_ + "/out.pcm"));
  EXPECT_EQ(pcm.size(), reference.interleaved.size()) << "8 bytes per sample instant";
  EXPECT_TRUE(pcm == reference.interleaved) << "samples differ from the reference decode";
}

TEST_F(DecodeAudio, MonoStreamNamesItsOwnChannelCountAndRate) {
  const std::string input = makeAdts(dir_, "mono.aac", "sine=frequency=300:sample_rate=22050:d=2");
  const DecodedAudio reference = referenceAudioDecode(input);
  const std::vector<uint8_t> pcm =
      decodeExpectingHint(input, hint("f32le", 1, 22050, dir_ + "/out.pcm"));
  EXPECT_TRUE(pcm == reference.interleaved);
}

TEST_F(DecodeAudio, SixChannelStreamKeepsEveryChannelInOrder) {
  const std::string input =
      makeAdts(dir_, "six.aac", "sine=f=300:d=1",
               "pan=5.1|c0=c0|c1=0.5*c0|c2=0.3*c0|c3=0.1*c0|c4=0.6*c0|c5=0.7*c0");
  const DecodedAudio reference = referenceAudioDecode(input);
  ASSERT_EQ(reference.channels, 6);
  const std::vector<uint8_t> pcm =
      decodeExpectingHint(input, hint("f32le", 6, 44100, dir_ + "/out.pcm"));
  EXPECT_TRUE(pcm == reference.interleaved);
}

TEST_F(DecodeAudio, InputShorterThanTheRefillThresholdIsDecodedWhole) {
  const std::string input = makeAdts(dir_, "short.aac", "sine=f=300:sample_rate=48000:d=0.05");
  ASSERT_LT(readFile(input).size(), 4096u);
  const DecodedAudio reference = referenceAudioDecode(input);
  ASSERT_GT(reference.samplesPerChannel, 0);
  const std::vector<uint8_t> pcm =
      decodeExpectingHint(input, hint("f32le", 1, 48000, dir_ + "/out.pcm"));
  EXPECT_TRUE(pcm == reference.interleaved) << pcm.size() << " vs " << reference.interleaved.size();
}

TEST_F(DecodeAudio, EmptyInputGivesNoFileNoHintOfAnUnconfiguredDecoderAndAnswersOne) {
  const std::string input = dir_ + "/empty.aac";
  const std::string output = dir_ + "/out.pcm";
  ASSERT_TRUE(writeFile(input, {}));
  // Once the hint named "-ac 0 -ar 0" and the answer was 0.
  EXPECT_EQ(tools::decodeAudio(input.c_str(), output.c_str()), 1);
  EXPECT_EQ(takeToolLog(), (std::vector<std::string>{input, output}));
  EXPECT_FALSE(fileExists(output));
}

TEST_F(DecodeAudio, FilesThatCannotBeOpenedAreReportedAndLeaveNoOutput) {
  struct Case {
    std::string input, output, failure;
  };
  const std::string stream = makeAdts(dir_, "mono.aac", "sine=f=300:d=0.2");
  const Case cases[] = {
      {dir_ + "/missing.aac", dir_ + "/out.pcm", "Could not open in file\n"},
      {stream, dir_ + "/no-such-dir/out.pcm", "Could not open out file\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tools::decodeAudio(c.input.c_str(), c.output.c_str()), 1);
    EXPECT_EQ(takeToolLog(), (std::vector<std::string>{c.input, c.output, c.failure,
                                                       "No such file or directory"}));
    EXPECT_FALSE(fileExists(c.output)) << c.output;
  }
}

TEST_F(DecodeAudio, DamagedInputEndsWithoutCrashing) {
  // Random bytes, and a real stream cut in the middle of a frame.
  std::mt19937 random(6);
  std::vector<uint8_t> noise(50000);
  for (uint8_t& byte : noise) byte = static_cast<uint8_t>(random());
  std::vector<uint8_t> cut = readFile(makeAdts(dir_, "whole.aac", "sine=f=300:d=1"));
  ASSERT_GT(cut.size(), 1000u);
  cut.resize(cut.size() - 100);
  // Noise is no ADTS stream; the cut stream's last frame fails: neither is decoded whole,
  // so both answer 1 and leave no file.
  for (const std::vector<uint8_t>& bytes : {noise, cut}) {
    const std::string input = dir_ + "/damaged.aac";
    const std::string output = dir_ + "/out.pcm";
    ASSERT_TRUE(writeFile(input, bytes));
    EXPECT_EQ(tools::decodeAudio(input.c_str(), output.c_str()), 1);
    EXPECT_FALSE(fileExists(output));
    const std::vector<std::string> log = takeToolLog();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0], input);
    EXPECT_EQ(log[1], output);
  }
}

}  // namespace
}  // namespace qn::testing
