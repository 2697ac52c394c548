// libFuzzer target of the raw video decoding tool's core: the input is a raw
// H.264 stream, read by path from memory; picture files go to a memory folder.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "tools/tools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qn::fuzz::quietOutput();
  const qn::fuzz::MemoryFile input(data, size);
  if (input.path().empty()) return 0;
  const std::string prefix = qn::fuzz::scratchDir() + "/picture";
  qn::tools::decodeVideo(input.path().c_str(), prefix.c_str());
  qn::fuzz::clearScratch();
  return 0;
}
