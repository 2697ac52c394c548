// libFuzzer target of the stream extraction tool's core. The first byte picks
// the stream type (bit 0: audio or video) and the output container; the rest is
// the media file, opened by FFmpeg by path from memory.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "tools/tools.h"

namespace {

/// Output names by stream type: the containers a user would copy a stream into.
const char* const kVideoOutputs[] = {"out.mkv", "out.mp4", "out.ts", "out.flv", "out.h264"};
const char* const kAudioOutputs[] = {"out.mkv", "out.mp4", "out.ts", "out.flv", "out.aac"};
constexpr size_t kOutputChoices = sizeof kVideoOutputs / sizeof kVideoOutputs[0];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  qn::fuzz::quietOutput();
  const bool audio = (data[0] & 1) != 0;
  const size_t choice = (data[0] >> 1) % kOutputChoices;
  const qn::fuzz::MemoryFile input(data + 1, size - 1);
  if (input.path().empty()) return 0;
  const std::string output =
      qn::fuzz::scratchDir() + "/" + (audio ? kAudioOutputs[choice] : kVideoOutputs[choice]);
  qn::tools::extractStream(input.path().c_str(), output.c_str(),
                           audio ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO);
  qn::fuzz::clearScratch();
  return 0;
}
