// What the libFuzzer targets of the media tools share: FFmpeg's allocation limit as
// the library sets it, the fuzz input as a file that FFmpeg opens by path
// (memory-backed, never on disk), a scratch folder in memory for the tools' output
// files, and quiet standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qn::fuzz {

/// One fuzz input held in a memory-backed file, reachable by path while the holder lives.
class MemoryFile {
 public:
  MemoryFile(const uint8_t* data, size_t size);
  ~MemoryFile();
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  /// "/proc/self/fd/N" of the file, or "" if it could not be made.
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

/// This process's scratch folder under /dev/shm, made on first use.
const std::string& scratchDir();

/// Deletes every file in the scratch folder (what the last run wrote).
void clearScratch();

/// Sends standard output (the remux tool's packet lines) to /dev/null once, and keeps
/// FFmpeg's own log quiet, so that runs are not slowed by output.
void quietOutput();

}  // namespace qn::fuzz
