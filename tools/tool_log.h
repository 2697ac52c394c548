// The tools' log lines: priority 6 under the tag that each tool's TAG names.
#pragma once

#include <android/log.h>

#include <cerrno>
#include <cstring>

#include "bridge/bridge.h"

/// Logs a fixed text at priority 6 under the tag that TAG points to, read at each call.
#define TOOL_LOG(text) __android_log_write(ANDROID_LOG_ERROR, TAG, text)
/// Logs a formatted text at priority 6 under TAG.
#define TOOL_LOGF(...) __android_log_print(ANDROID_LOG_ERROR, TAG, __VA_ARGS__)

namespace qn::tools {

/// Logs a failure line, then the system's text for the errno that caused it.
inline void logWithErrno(const char* line) {
  const int error = errno;  // the log call may change errno
  TOOL_LOG(line);
  TOOL_LOG(strerror(error));
}

}  // namespace qn::tools
