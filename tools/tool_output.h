// A tool's outputs: each written as a new file beside its name, which takes the name
// only when the whole call succeeded, never into the input or an existing file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "tools/picked_file.h"

namespace qn::tools {

/// Free space that the tools writing megabytes (decodeVideo, decodeAudio, resampleAudio,
/// scaleVideo) leave on the output's file system: they stop (answer 1) before a write
/// would bring it under this.
inline constexpr int64_t kFreeSpaceMargin = 64 * 1024 * 1024;

/// The files one tool call writes. Each is made as a new file beside its name (the name
/// and ".part-" and a number) and renamed over its name by keep(), which a call does only
/// when it answers 0; files not kept are removed when the holder goes. So a failed call
/// leaves nothing, a symbolic link at the name is replaced rather than written through,
/// and no existing file (the input, a file the process has open) is ever written into.
class OutputFiles {
 public:
  explicit OutputFiles(const FileIdentity& input) : input_(input) {}
  /// The files of a tool that reads no file (a generating tool).
  OutputFiles() = default;
  ~OutputFiles();
  OutputFiles(const OutputFiles&) = delete;
  OutputFiles& operator=(const OutputFiles&) = delete;

  /// Makes the new file for `name`, open for writing: its descriptor, or -1 with errno set.
  /// Refused (-1, EINVAL) after one line when the name is the input file, or is there as
  /// something other than a regular file or a symbolic link (a device, FIFO, directory).
  int create(const char* name);
  /// Renames every file over its name; false after a line naming one that could not be.
  bool keep();

  /// Sends every file the muxer opens, the tool's own and those it opens itself (numbered
  /// pictures), through create: written through an AVIOContext on the new file. The
  /// holder must outlive the output context.
  void serve(AVFormatContext* output);

 private:
  /// A file made by create: the name it takes when kept, and its own name until then.
  struct Made {
    std::string name;
    std::string temporary;
  };

  FileIdentity input_;
  std::vector<Made> made_;
};

/// Opens the file of a muxer that writes into one the tool opens, through the muxer's
/// io_open (OutputFiles::serve); muxers that open their own files are left to do so.
/// Names are plain local paths whatever they hold: no protocol is ever used. 0 or the error.
int openOutputAsFile(AVFormatContext* output, const char* path);

/// Makes the new file for `name` (OutputFiles::create) as a stdio stream for writing: the
/// stream, or null after the refusal line of the input or a non-file, or else after
/// `openFailure`, the tool's own open-failure line (a format that takes the name).
FILE* createStdioOutput(OutputFiles* files, const char* name, const char* openFailure);

/// True (after one log line) when the file at `output` is the input file.
bool outputIsInput(const FileIdentity& input, const char* output);

/// True when `bytes` more can be written to the file system of `descriptor` leaving at
/// least `margin` free; else false after one line naming the file.
bool leavesFreeSpace(int descriptor, const char* name, int64_t bytes, int64_t margin);

}  // namespace qn::tools
