// libFuzzer target of the remux tool's core. The first byte picks the output
// container; the rest is the media file, opened by FFmpeg by path from memory.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "tools/tools.h"

namespace {

const char* const kOutputs[] = {"out.mkv", "out.mp4", "out.ts", "out.flv"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  qn::fuzz::quietOutput();
  const char* name = kOutputs[data[0] % (sizeof kOutputs / sizeof kOutputs[0])];
  const qn::fuzz::MemoryFile input(data + 1, size - 1);
  if (input.path().empty()) return 0;
  const std::string output = qn::fuzz::scratchDir() + "/" + name;
  qn::tools::remux(input.path().c_str(), output.c_str());
  qn::fuzz::clearScratch();
  return 0;
}
