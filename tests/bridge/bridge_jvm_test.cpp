// The native bridge inside a real JVM (-Xcheck:jni): the load hook as Java runs
// it, lines arriving in Java byte for byte, checkError, and log calls from a
// native thread that never returns to Java.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/bridge/jvm_access.h"
#include "tests/support/jvm.h"

namespace qn::testing {
namespace {

using Lines = std::vector<std::string>;
using LogFunction = void (*)(const char*, ...);
using CheckErrorFunction = bool (*)(JNIEnv*, const char*);

constexpr char kLibrary[] = "libqn_iot_lib.so";

/// The bridge's exported functions and globals as the JVM loaded them.
class BridgeInJvm : public ::testing::Test {
 protected:
  void SetUp() override {
    installLineRecorder();  // loads the library through its Java class
    throwOnJavaLine("");
    env = jniEnv();
    printD = loadedSymbol<LogFunction>(kLibrary, "_Z6printDPKcz");
    printDetail = loadedSymbol<LogFunction>(kLibrary, "_Z11printDetailPKcz");
    checkError = loadedSymbol<CheckErrorFunction>(kLibrary, "_Z10checkErrorP7JNIEnv_PKc");
    detail = loadedSymbol<bool*>(kLibrary, "isLogDetail");
    ASSERT_TRUE(printD && printDetail && checkError && detail);
  }
  void TearDown() override {
    *detail = false;
    EXPECT_EQ(takeException(env), "");
  }
  JNIEnv* env = nullptr;
  LogFunction printD = nullptr;
  LogFunction printDetail = nullptr;
  CheckErrorFunction checkError = nullptr;
  bool* detail = nullptr;
};

TEST_F(BridgeInJvm, TheLoadHookStoredThisVmAndTheTagIsExported) {
  EXPECT_EQ(*loadedSymbol<JavaVM**>(kLibrary, "g_vm"), jvm());
  EXPECT_STREQ(*loadedSymbol<const char**>(kLibrary, "TAG"), "TAG");
}

TEST_F(BridgeInJvm, HelpersOutsideTheContractAreNotExported) {
  void* library = dlopen((std::string(QN_TEST_LIBRARY_PATH) + "/" + kLibrary).c_str(),
                         RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(dlsym(library, "_ZN2qn19attachCurrentThreadEP7JavaVM_"), nullptr);
  EXPECT_EQ(dlsym(library, "_ZN13FFmpegDecoder6decodeEPhii"), nullptr);
  dlclose(library);
}

TEST_F(BridgeInJvm, LinesReachTheTwoJavaMethodsByteForByte) {
  printD("decode fail，sequence => %d, ret => %d, info => %s", 3, -11,
         "Resource temporarily unavailable");
  printDetail("silent while the switch is off %d", 1);
  *detail = true;
  printDetail("avcodec_send_packet success sequence => %d", 4);
  EXPECT_EQ(takeJavaLines(),
            (Lines{"D:decode fail\xEF\xBC\x8Csequence => 3, ret => -11, info => Resource "
                   "temporarily unavailable",
                   "V:avcodec_send_packet success sequence => 4"}));
}

TEST_F(BridgeInJvm, ALineOver255BytesIsCutWithoutBreakingACharacter) {
  std::string commas;
  for (int i = 0; i < 100; i++) commas += "，";
  printD("a%s", commas.c_str());  // 1 + 300 bytes: 255 would end inside a comma
  std::string kept = "a";
  for (int i = 0; i < 84; i++) kept += "，";
  EXPECT_EQ(takeJavaLines(), Lines{"D:" + kept});
}

TEST_F(BridgeInJvm, CheckErrorWithNothingPendingSaysFalseAndForwardsNothing) {
  EXPECT_FALSE(checkError(env, "GetArrayLength"));
  EXPECT_EQ(takeJavaLines(), Lines{});
}

TEST_F(BridgeInJvm, CheckErrorDescribesClearsAndForwardsOneLine) {
  LocalRef type(env, env->FindClass("java/lang/IllegalArgumentException"));
  env->ThrowNew(static_cast<jclass>(type.get()), "boom");
  CapturedOutput output;
  EXPECT_TRUE(checkError(env, "GetByteArrayElements"));
  const std::string described = output.text();
  EXPECT_FALSE(env->ExceptionCheck());
  EXPECT_NE(described.find("java.lang.IllegalArgumentException: boom"), std::string::npos)
      << described;
  EXPECT_EQ(takeJavaLines(), Lines{"D:JNI Exception in GetByteArrayElements"});
}

TEST_F(BridgeInJvm, AThrowingJavaLogMethodLeavesItsExceptionPending) {
  throwOnJavaLine("first");
  printD("first");
  printD("second");  // skipped: no JNI call over a pending exception
  EXPECT_EQ(takeException(env).rfind("java.lang.IllegalStateException", 0), 0u);
  throwOnJavaLine("");
  printD("third");
  EXPECT_EQ(takeJavaLines(), (Lines{"D:first", "D:third"}));
}

TEST_F(BridgeInJvm, ANativeThreadStaysAttachedAndKeepsNoLocalReferencePerLine) {
  constexpr int kLines = 100000;
  CapturedOutput output;
  jint attachedAfter = JNI_ERR;
  std::thread native([&] {
    *detail = true;
    for (int i = 0; i < kLines; i++) {
      if (i % 2 == 0) {
        printD("native line %d", i);
      } else {
        printDetail("native detail %d", i);
      }
    }
    JNIEnv* threadEnv = nullptr;
    attachedAfter = jvm()->GetEnv(reinterpret_cast<void**>(&threadEnv), JNI_VERSION_1_6);
    jvm()->DetachCurrentThread();  // the test's own tidying; the library never detaches
  });
  native.join();
  const std::string vmOutput = output.text();
  EXPECT_EQ(attachedAfter, JNI_OK);
  EXPECT_EQ(vmOutput.find("local ref"), std::string::npos) << vmOutput.substr(0, 2000);
  EXPECT_EQ(vmOutput.find("WARNING"), std::string::npos) << vmOutput.substr(0, 2000);
  const Lines lines = takeJavaLines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kLines));
  EXPECT_EQ(lines.front(), "D:native line 0");
  EXPECT_EQ(lines.back(), "V:native detail 99999");
}

/// The JVM's live thread count, as java.lang.management reports it.
int liveJavaThreads(JNIEnv* env) {
  jclass factory = env->FindClass("java/lang/management/ManagementFactory");
  jobject bean = env->CallStaticObjectMethod(
      factory, env->GetStaticMethodID(factory, "getThreadMXBean",
                                      "()Ljava/lang/management/ThreadMXBean;"));
  EXPECT_EQ(takeException(env), "");
  jclass beanClass = env->FindClass("java/lang/management/ThreadMXBean");
  const jint count = env->CallIntMethod(bean, env->GetMethodID(beanClass, "getThreadCount", "()I"));
  EXPECT_EQ(takeException(env), "");
  env->DeleteLocalRef(beanClass);
  env->DeleteLocalRef(bean);
  env->DeleteLocalRef(factory);
  return count;
}

struct NativeLogger {
  LogFunction printD;
  int index;
};

/// A thread the JVM never saw, as a native peer-to-peer layer starts them: logs and exits.
void* logFromNativeThread(void* argument) {
  const auto* logger = static_cast<NativeLogger*>(argument);
  for (int i = 0; i < 1000; i++) logger->printD("thread %d line %d", logger->index, i);
  return nullptr;
}

TEST_F(BridgeInJvm, NativeThreadsLogEveryLineAndAreDetachedWhenTheyExit) {
  const int threadsBefore = liveJavaThreads(env);
  std::vector<pthread_t> threads(8);
  std::vector<NativeLogger> loggers;
  for (int t = 0; t < 8; t++) loggers.push_back({printD, t});
  for (int t = 0; t < 8; t++) {
    ASSERT_EQ(pthread_create(&threads[t], nullptr, &logFromNativeThread, &loggers[t]), 0);
  }
  for (pthread_t thread : threads) pthread_join(thread, nullptr);
  const Lines lines = takeJavaLines();
  ASSERT_EQ(lines.size(), 8000u);
  for (int t = 0; t < 8; t++) {
    const std::string prefix = "D:thread " + std::to_string(t) + " line ";
    int next = 0;
    for (const std::string& line : lines) {
      if (line.rfind(prefix, 0) == 0) {
        EXPECT_EQ(line, prefix + std::to_string(next++));
      }
    }
    EXPECT_EQ(next, 1000) << "thread " << t;
  }
  // A thread left attached stays counted by the JVM after it has exited.
  EXPECT_EQ(liveJavaThreads(env), threadsBefore);
}

TEST_F(BridgeInJvm, AThrowOnAThreadTheLibraryAttachedIsClearedThere) {
  throwOnJavaLine("refused");
  std::thread native([&] {
    printD("refused here");
    printD("and the next line still goes");
  });
  native.join();
  throwOnJavaLine("");
  EXPECT_EQ(takeJavaLines(), (Lines{"D:refused here", "D:and the next line still goes"}));
}

}  // namespace
}  // namespace qn::testing
