// The JNI entry points of the video tools hand every path text back, and answer
// at once with their failure result when the JVM cannot give a text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/android_log.h"
#include "tools/java_paths.h"
#include "tools/tools.h"

extern "C" {
jint TOOL_METHOD(decodeVideo)(JNIEnv* env, jobject activity, jstring input, jstring prefix);
jint TOOL_METHOD(encodeVideo)(JNIEnv* env, jobject activity, jstring output);
jint TOOL_METHOD(scaleVideo)(JNIEnv* env, jobject activity, jstring output);
}

namespace qn::testing {
namespace {

constexpr const char* kPath = "/nonexistent-dir/video";

/// Counts the string calls of a JNI environment whose GetStringUTFChars fails at call `failAt`.
struct StringCalls {
  int failAt = 0;  // 0: never
  int gets = 0;
  int releases = 0;
};
StringCalls* activeCalls = nullptr;

const char* JNICALL getChars(JNIEnv*, jstring, jboolean*) {
  activeCalls->gets++;
  return activeCalls->gets == activeCalls->failAt ? nullptr : kPath;
}

void JNICALL releaseChars(JNIEnv*, jstring, const char* text) {
  EXPECT_EQ(text, kPath);
  activeCalls->releases++;
}

/// A JNI environment with only the two string functions; anything else would crash.
class FakeStringEnv {
 public:
  explicit FakeStringEnv(int failAt) {
    calls_.failAt = failAt;
    activeCalls = &calls_;
    table_.GetStringUTFChars = getChars;
    table_.ReleaseStringUTFChars = releaseChars;
    env_.functions = &table_;
  }
  ~FakeStringEnv() { activeCalls = nullptr; }
  JNIEnv* env() { return &env_; }
  const StringCalls& calls() const { return calls_; }

 private:
  StringCalls calls_;
  JNINativeInterface_ table_{};
  JNIEnv env_{};
};

jstring aString() { return reinterpret_cast<jstring>(&activeCalls); }

TEST(VideoToolEntryPoints, ReleaseEveryPathTextTheyTookOnAFailedRun) {
  {
    FakeStringEnv fake(0);
    EXPECT_EQ(TOOL_METHOD(decodeVideo)(fake.env(), nullptr, aString(), aString()), 1);
    EXPECT_EQ(fake.calls().gets, 2);
    EXPECT_EQ(fake.calls().releases, 2);
  }
  {
    FakeStringEnv fake(0);
    EXPECT_EQ(TOOL_METHOD(encodeVideo)(fake.env(), nullptr, aString()), 1);
    EXPECT_EQ(fake.calls().releases, 1);
  }
  {
    FakeStringEnv fake(0);
    EXPECT_EQ(TOOL_METHOD(scaleVideo)(fake.env(), nullptr, aString()), 1);
    EXPECT_EQ(fake.calls().releases, 1);
  }
  takeAndroidLog();
}

TEST(VideoToolEntryPoints, AnswerAtOnceWithTheirFailureResultWhenATextIsMissing) {
  takeAndroidLog();
  {
    FakeStringEnv fake(1);  // the input path
    EXPECT_EQ(TOOL_METHOD(decodeVideo)(fake.env(), nullptr, aString(), aString()), 1);
    EXPECT_EQ(fake.calls().gets, 1);
    EXPECT_EQ(fake.calls().releases, 0);
  }
  {
    FakeStringEnv fake(2);  // the output prefix: the input path is handed back
    EXPECT_EQ(TOOL_METHOD(decodeVideo)(fake.env(), nullptr, aString(), aString()), 1);
    EXPECT_EQ(fake.calls().gets, 2);
    EXPECT_EQ(fake.calls().releases, 1);
  }
  {
    FakeStringEnv fake(1);
    EXPECT_EQ(TOOL_METHOD(encodeVideo)(fake.env(), nullptr, aString()), 1);
    EXPECT_EQ(fake.calls().releases, 0);
  }
  {
    FakeStringEnv fake(1);
    EXPECT_EQ(TOOL_METHOD(scaleVideo)(fake.env(), nullptr, aString()), 1);
    EXPECT_EQ(fake.calls().releases, 0);
  }
  EXPECT_TRUE(takeAndroidLogTexts().empty());
}

}  // namespace
}  // namespace qn::testing
