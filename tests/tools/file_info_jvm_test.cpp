// The demo activity's first entry points through Java: the greeting, the
// version line, and printFileInfo taking and giving back its path text.
#include <gtest/gtest.h>

#include <malloc.h>

#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/mem.h>
}

#include "bridge/bridge.h"

#include "tests/support/android_log.h"
#include "tests/support/jvm.h"
#include "tests/support/media.h"
#include "tests/tools/container_media.h"

namespace qn::testing {
namespace {

constexpr char kActivityClass[] = "com/example/avbench/MainActivity";
constexpr char kPrintFileInfo[] = "(Ljava/lang/String;)V";

/// A new MainActivity and one of its methods, as local references of the caller.
struct Activity {
  JNIEnv* env = jniEnv();
  jclass cls = env->FindClass(kActivityClass);
  jobject object = env->NewObject(cls, env->GetMethodID(cls, "<init>", "()V"));

  ~Activity() {
    env->DeleteLocalRef(object);
    env->DeleteLocalRef(cls);
  }
  jmethodID method(const char* name, const char* signature) {
    return env->GetMethodID(cls, name, signature);
  }
};

/// The Java string as UTF-8 text; "(null)" for null.
std::string javaText(JNIEnv* env, jstring text) {
  if (text == nullptr) return "(null)";
  const char* chars = env->GetStringUTFChars(text, nullptr);
  std::string out(chars);
  env->ReleaseStringUTFChars(text, chars);
  return out;
}

TEST(ActivityEntryPoints, GreetingIsExactlyHelloFromCppAndLogsNothing) {
  takeAndroidLog();
  Activity activity;
  auto greeting = static_cast<jstring>(activity.env->CallObjectMethod(
      activity.object, activity.method("stringFromJNI", "()Ljava/lang/String;")));
  ASSERT_EQ(takeException(activity.env), "");
  EXPECT_EQ(javaText(activity.env, greeting), "Hello from C++!");
  EXPECT_EQ(activity.env->GetStringLength(greeting), 15);
  activity.env->DeleteLocalRef(greeting);
  EXPECT_TRUE(takeAndroidLog().empty());
}

TEST(ActivityEntryPoints, AvbenchLogsTheVersionLineOnceAtPrioritySixUnderTag) {
  takeAndroidLog();
  callTool("avbench", "()V", {});
  const std::vector<LogEntry> log = takeAndroidLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].priority, 6);
  EXPECT_EQ(log[0].tag, "TAG");
  EXPECT_EQ(log[0].text, std::string("current FFmpeg version: ") + av_version_info());
}

TEST(ActivityEntryPoints, LoadingTheLibraryBoundsEveryFfmpegAllocation) {
  callTool("avbench", "()V", {});  // loads the library as the activity does
  takeAndroidLog();
  // The process shares one libavutil with the library, and so its limit.
  void* beyond = av_malloc(qn::kMaxFfmpegAllocation + 1);
  void* picture = av_malloc(4096 * 4096 * 3 / 2);
  EXPECT_EQ(beyond, nullptr);
  EXPECT_NE(picture, nullptr);
  av_free(beyond);
  av_free(picture);
}

TEST(PrintFileInfoThroughJava, NonAsciiPathReachesFfmpegAsItIs) {
  const std::string dir = makeTempDir("file_info_jvm") + "/相机 录像";
  ASSERT_EQ(runCommand("mkdir -p '" + dir + "'"), 0);
  const std::string path = dir + "/门口.mkv";
  ffmpeg("-f lavfi -i testsrc=size=64x48:rate=5 -frames:v 2 -c:v mpeg4 -map_metadata -1 "
         "-fflags +bitexact -metadata title=门口 '" + path + "'");
  takeAndroidLog();
  callTool("printFileInfo", kPrintFileInfo, {path});
  const std::vector<std::string> texts = takeAndroidLogTexts();
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[0], path);
  EXPECT_EQ(texts[1], "title=门口\n");
}

TEST(PrintFileInfoThroughJava, NullPathThrowsNullPointerExceptionAndLogsNothing) {
  takeAndroidLog();
  Activity activity;
  activity.env->CallVoidMethod(activity.object, activity.method("printFileInfo", kPrintFileInfo),
                               nullptr);
  EXPECT_NE(takeException(activity.env).find("NullPointerException"), std::string::npos);
  EXPECT_TRUE(takeAndroidLog().empty());
}

TEST(PrintFileInfoThroughJava, TenThousandCallsGiveBackEveryPathTextWithoutJniWarnings) {
  // A long path: texts that were never given back would pile up to some 30 MB.
  const std::string dir = makeTempDir("file_info_calls");
  const std::string path = dir + "/" + std::string(3000, 'p') + ".mkv";
  constexpr int kCalls = 10000;
  Activity activity;
  jmethodID tool = activity.method("printFileInfo", kPrintFileInfo);
  jstring javaPath = activity.env->NewStringUTF(path.c_str());
  takeAndroidLog();

  StdoutCapture jvmOutput(dir + "/jvm-stdout.txt");
  const size_t before = mallinfo2().uordblks;
  size_t logLines = 0;  // taken as they come, so that the captured log stays small
  for (int i = 0; i < kCalls; i++) {
    activity.env->CallVoidMethod(activity.object, tool, javaPath);
    if (activity.env->ExceptionCheck()) break;
    if (i % 500 == 499) logLines += takeAndroidLog().size();
  }
  logLines += takeAndroidLog().size();
  const size_t after = mallinfo2().uordblks;
  const std::vector<std::string> jvmLines = jvmOutput.lines();

  EXPECT_EQ(takeException(activity.env), "");
  EXPECT_EQ(logLines, 2u * kCalls);  // path line and error text of every call
  const long long growth = static_cast<long long>(after) - static_cast<long long>(before);
  EXPECT_LT(growth, 4 << 20) << "the C heap grew by " << growth << " bytes";
  for (const std::string& line : jvmLines) {
    EXPECT_EQ(line.find("WARNING"), std::string::npos) << line;
  }
  activity.env->DeleteLocalRef(javaPath);
}

}  // namespace
}  // namespace qn::testing
