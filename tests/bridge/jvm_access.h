// Test helpers for the JVM suites: local references that delete themselves,
// the library's exported C++ functions as loaded by Java, the process's
// standard output and error captured around a few calls, a fixture that
// records the decoder's lines, and the decoder's settings called through Java.
#pragma once

#include <dlfcn.h>
#include <jni.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/jvm.h"
#include "tests/support/media.h"

namespace qn::testing {

/// A local reference of the calling thread, deleted when it goes out of scope.
/// The test thread never returns to Java, so references must not pile up.
class LocalRef {
 public:
  LocalRef(JNIEnv* env, jobject ref) : env_(env), ref_(ref) {}
  ~LocalRef() {
    if (ref_ != nullptr) env_->DeleteLocalRef(ref_);
  }
  LocalRef(const LocalRef&) = delete;
  LocalRef& operator=(const LocalRef&) = delete;
  jobject get() const { return ref_; }
  explicit operator bool() const { return ref_ != nullptr; }

 private:
  JNIEnv* env_;
  jobject ref_;
};

/// A symbol of a library that Java has already loaded from the build's lib folder.
template <typename T>
T loadedSymbol(const char* library, const char* symbol) {
  const std::string path = std::string(QN_TEST_LIBRARY_PATH) + "/" + library;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) {
    ADD_FAILURE() << path << " is not loaded";
    return nullptr;
  }
  void* address = dlsym(handle, symbol);
  dlclose(handle);  // drops only the reference taken above
  if (address == nullptr) ADD_FAILURE() << "no symbol " << symbol << " in " << library;
  return reinterpret_cast<T>(address);
}

/// Sends standard output and error into a file until text() is called.
class CapturedOutput {
 public:
  CapturedOutput() : path_(makeTempDir("captured-output") + "/out.txt") {
    std::fflush(stdout);
    std::fflush(stderr);
    savedOut_ = dup(1);
    savedErr_ = dup(2);
    FILE* file = std::fopen(path_.c_str(), "we");
    dup2(fileno(file), 1);
    dup2(fileno(file), 2);
    std::fclose(file);
  }
  ~CapturedOutput() { restore(); }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  /// Ends the capture and returns everything written meanwhile.
  std::string text() {
    restore();
    const std::vector<uint8_t> bytes = readFile(path_);
    return std::string(bytes.begin(), bytes.end());
  }

 private:
  void restore() {
    if (savedOut_ < 0) return;
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut_, 1);
    dup2(savedErr_, 2);
    close(savedOut_);
    close(savedErr_);
    savedOut_ = savedErr_ = -1;
  }
  std::string path_;
  int savedOut_ = -1;
  int savedErr_ = -1;
};

/// A JVM test whose decoder lines are recorded from its start and which leaves no
/// Java exception pending at its end.
class RecordedJvmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    installLineRecorder();
    env = jniEnv();
  }
  void TearDown() override { EXPECT_EQ(takeException(env), ""); }
  JNIEnv* env = nullptr;
};

/// Calls a static void setting of FFmpegDecoder with the handle and one or two more arguments.
inline void callSetting(JNIEnv* env, const char* name, const char* signature, jlong handle,
                        jvalue a, jvalue b = {}) {
  jclass decoderClass = env->FindClass("com/quarn/iot/corvasdk/core/decode/FFmpegDecoder");
  ASSERT_NE(decoderClass, nullptr);
  jmethodID method = env->GetStaticMethodID(decoderClass, name, signature);
  ASSERT_NE(method, nullptr) << name;
  jvalue args[3];
  args[0].j = handle;
  args[1] = a;
  args[2] = b;
  env->CallStaticVoidMethodA(decoderClass, method, args);
  EXPECT_EQ(takeException(env), "") << name;
  env->DeleteLocalRef(decoderClass);
}

/// An int argument of callSetting.
inline jvalue intValue(int v) {
  jvalue value{};
  value.i = v;
  return value;
}

/// A boolean argument of callSetting.
inline jvalue boolValue(bool on) {
  jvalue value{};
  value.z = on ? JNI_TRUE : JNI_FALSE;
  return value;
}

/// FFmpegDecoder.setOutputSize(handle, width, height) through Java.
inline void setOutputSize(JNIEnv* env, jlong handle, int width, int height) {
  callSetting(env, "setOutputSize", "(JII)V", handle, intValue(width), intValue(height));
}

/// FFmpegDecoder.setKeyFramesOnly(handle, on) through Java.
inline void setKeyFramesOnly(JNIEnv* env, jlong handle, bool on) {
  callSetting(env, "setKeyFramesOnly", "(JZ)V", handle, boolValue(on));
}

/// FFmpegDecoder.setThreads(handle, count) through Java.
inline void setThreads(JNIEnv* env, jlong handle, int count) {
  callSetting(env, "setThreads", "(JI)V", handle, intValue(count));
}

/// FFmpegDecoder.setFrameThreads(handle, on) through Java.
inline void setFrameThreads(JNIEnv* env, jlong handle, bool on) {
  callSetting(env, "setFrameThreads", "(JZ)V", handle, boolValue(on));
}

/// FFmpegDecoder.setWholeAccessUnits(handle, on) through Java.
inline void setWholeAccessUnits(JNIEnv* env, jlong handle, bool on) {
  callSetting(env, "setWholeAccessUnits", "(JZ)V", handle, boolValue(on));
}

}  // namespace qn::testing
