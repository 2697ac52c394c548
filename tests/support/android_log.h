// Captures the Android log in test processes: the test executables define
// liblog's write functions, which take the place of liblog's own.
#pragma once

#include <string>
#include <vector>

namespace qn::testing {

struct LogEntry {
  int priority;
  std::string tag;
  std::string text;
};

/// The Android log lines written since the last call, oldest first.
std::vector<LogEntry> takeAndroidLog();

/// The texts alone of takeAndroidLog().
std::vector<std::string> takeAndroidLogTexts();

/// The texts of takeAndroidLog(), after checking that every line went out as the
/// media tools write theirs: priority 6 (ANDROID_LOG_ERROR) under the tag "TAG".
std::vector<std::string> takeToolLog();

}  // namespace qn::testing
