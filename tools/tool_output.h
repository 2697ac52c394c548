// A tool's output: written only as a local file, never over the input file,
// including the files a muxer opens itself.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

#include "tools/picked_file.h"

namespace qn::tools {

/// Opens the output of a muxed file as a local file only: names of other protocols
/// (http:, udp:, tee:, pipe:) are refused with EINVAL. Muxers that open their own
/// files (numbered pictures) are held to local files too. 0 or the FFmpeg error.
int openOutputAsFile(AVFormatContext* output, const char* path);

/// True (after one log line) when writing `output` would overwrite the input file.
bool outputIsInput(const FileIdentity& input, const char* output);

/// What the files a muxer opens itself are checked against: the input file they must not
/// be, and FFmpeg's own open function that the others go on to.
struct OwnOpensGuard {
  FileIdentity input;
  int (*open)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) = nullptr;
};

/// Sends the files the muxer opens itself (numbered pictures, segments) through the guard,
/// which must outlive the output context: none of them may be the input either.
void guardOwnOpens(AVFormatContext* output, OwnOpensGuard* guard);

}  // namespace qn::tools
