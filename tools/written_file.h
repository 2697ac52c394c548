// Files the tools write with stdio, whose failed writes are reported once at the close.
#pragma once

#include <cstdio>

#include <unistd.h>

#include "tools/tool_log.h"

namespace qn::tools {

/// The short-write line of the tools that answer 1 for a file not written whole.
inline constexpr const char* kDestinationWriteFailure = "Could not write destination file %s\n";

/// A file a tool writes with stdio (a new file that OutputFiles made). Closing it
/// (explicitly, or when the holder goes) logs one line naming the file if any write to it
/// failed (a full disk): stdio keeps the error, so the writers need not check every fwrite.
class WrittenFile {
 public:
  /// Writes into an open descriptor, which it takes over; `path` names it in the line, a
  /// format (`failureLine`) that takes the path.
  WrittenFile(int descriptor, const char* path, const char* failureLine = "Could not write %s\n")
      : path_(path), failureLine_(failureLine), file_(fdopen(descriptor, "wb")) {
    if (file_ == nullptr) ::close(descriptor);
  }
  /// Writes into an open stream (null: none), which it takes over; `path` names it in the line.
  WrittenFile(FILE* file, const char* path, const char* failureLine = "Could not write %s\n")
      : path_(path), failureLine_(failureLine), file_(file) {}
  ~WrittenFile() { close(); }
  WrittenFile(const WrittenFile&) = delete;
  WrittenFile& operator=(const WrittenFile&) = delete;

  FILE* get() const { return file_; }
  explicit operator bool() const { return file_ != nullptr; }

  /// Flushes and closes the file; false (after the line) when not every byte reached it.
  bool close() {
    if (file_ == nullptr) return whole_;
    const bool flushed = fflush(file_) == 0 && ferror(file_) == 0;
    const bool closed = fclose(file_) == 0;
    file_ = nullptr;
    whole_ = flushed && closed;
    if (!whole_) TOOL_LOGF(failureLine_, path_);
    return whole_;
  }

 private:
  const char* path_;
  const char* failureLine_;
  FILE* file_;
  bool whole_ = true;
};

/// True when the file holds bytes and all of them reached it; closes the file.
inline bool wroteWholeStream(WrittenFile* file) {
  const bool holdsBytes = ftell(file->get()) > 0;
  return file->close() && holdsBytes;
}

}  // namespace qn::tools
