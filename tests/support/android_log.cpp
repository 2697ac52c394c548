#include "tests/support/android_log.h"

#include <android/log.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace qn::testing {
namespace {

struct Capture {
  std::mutex mutex;
  std::vector<LogEntry> entries;
};

Capture& capture() {
  static Capture instance;
  return instance;
}

void record(int priority, const char* tag, const char* text) {
  if (std::getenv("QN_TEST_ECHO_LOG") != nullptr) {
    std::fprintf(stderr, "%s %d: %s\n", tag ? tag : "(null)", priority, text ? text : "(null)");
  }
  std::lock_guard<std::mutex> lock(capture().mutex);
  capture().entries.push_back({priority, tag ? tag : "", text ? text : ""});
}

}  // namespace

std::vector<LogEntry> takeAndroidLog() {
  std::lock_guard<std::mutex> lock(capture().mutex);
  std::vector<LogEntry> out;
  out.swap(capture().entries);
  return out;
}

std::vector<std::string> takeAndroidLogTexts() {
  std::vector<std::string> texts;
  for (const LogEntry& entry : takeAndroidLog()) texts.push_back(entry.text);
  return texts;
}

std::vector<std::string> takeToolLog() {
  std::vector<std::string> texts;
  for (const LogEntry& entry : takeAndroidLog()) {
    EXPECT_EQ(entry.priority, ANDROID_LOG_ERROR) << entry.text;
    EXPECT_EQ(entry.tag, "TAG") << entry.text;
    texts.push_back(entry.text);
  }
  return texts;
}

}  // namespace qn::testing

extern "C" __attribute__((visibility("default"))) int __android_log_write(int priority,
                                                                          const char* tag,
                                                                          const char* text) {
  qn::testing::record(priority, tag, text);
  return 1;
}

extern "C" __attribute__((visibility("default"))) int __android_log_vprint(int priority,
                                                                           const char* tag,
                                                                           const char* format,
                                                                           va_list args) {
  char text[4096];
  vsnprintf(text, sizeof text, format, args);
  qn::testing::record(priority, tag, text);
  return 1;
}

extern "C" __attribute__((visibility("default"))) int __android_log_print(int priority,
                                                                          const char* tag,
                                                                          const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int ret = __android_log_vprint(priority, tag, format, args);
  va_end(args);
  return ret;
}
