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

}  // namespace qn::testing
