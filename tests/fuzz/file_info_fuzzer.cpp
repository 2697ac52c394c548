// libFuzzer target of the file information tool's core: the input is a whole
// media file, opened by FFmpeg by path from memory.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/fuzz_support.h"
#include "tools/tools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qn::fuzz::quietOutput();
  const qn::fuzz::MemoryFile input(data, size);
  if (input.path().empty()) return 0;
  qn::tools::printFileInfo(input.path().c_str());
  return 0;
}
