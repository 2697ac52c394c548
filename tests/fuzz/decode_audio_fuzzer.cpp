// libFuzzer target of the raw audio decoding tool's core: the input is a raw AAC
// (ADTS) stream, read by path from memory; the PCM goes to a memory folder.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "tools/tools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qn::fuzz::quietOutput();
  const qn::fuzz::MemoryFile input(data, size);
  if (input.path().empty()) return 0;
  const std::string output = qn::fuzz::scratchDir() + "/out.pcm";
  qn::tools::decodeAudio(input.path().c_str(), output.c_str());
  qn::fuzz::clearScratch();
  return 0;
}
