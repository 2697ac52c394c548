// FFmpeg status code as text, in the 64-byte buffer that every log line uses.
#pragma once

#include <cstring>

extern "C" {
#include <libavutil/error.h>
}

namespace qn {

/// Zero-filled 64-byte buffer holding av_strerror's text of one status code.
struct ErrorText {
  char text[64];
  explicit ErrorText(int code) {
    std::memset(text, 0, sizeof text);
    av_strerror(code, text, sizeof text);
  }
};

}  // namespace qn
