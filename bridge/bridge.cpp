#include "bridge/bridge.h"

#include <pthread.h>

#include <cstdarg>
#include <cstdio>

extern "C" {
#include <libavutil/mem.h>
}

#include "decoder/colour_tables.h"

JavaVM* g_vm = nullptr;
const char* TAG = "TAG";
bool isLogDetail = false;

namespace {

constexpr const char kDecoderClass[] = "com/quarn/iot/corvasdk/core/decode/FFmpegDecoder";
constexpr const char kLogSignature[] = "(Ljava/lang/String;)V";
constexpr const char kPrintDMethod[] = "printDFromNative";
constexpr const char kPrintDetailMethod[] = "printDetailFromNative";
constexpr int kLineBytes = 256;

/// The Java class and methods that receive log lines, resolved once at load time
/// while the loading thread's class loader is at hand; a purely native thread
/// would only see the system class loader.
struct LogTarget {
  jclass owner = nullptr;  // global reference
  jmethodID printD = nullptr;
  jmethodID printDetail = nullptr;
  pthread_key_t attachedByUs{};  // set on threads the library attached itself
  bool keyCreated = false;
};

/// The one log target of the process, filled by JNI_OnLoad.
LogTarget& logTarget() {
  static LogTarget target;
  return target;
}

/// Hands jni.h's out-parameter over as JNIEnv** (NDK) or void** (JDK), whichever it declares.
struct EnvOut {
  JNIEnv** env;
  operator JNIEnv**() const { return env; }
  operator void**() const { return reinterpret_cast<void**>(env); }
};

/// Thread-exit destructor: detaches a thread the library attached, so the VM
/// neither counts it for ever nor aborts (as Android does) when it exits attached.
void detachAtThreadExit(void* vm) {
  auto* javaVm = static_cast<JavaVM*>(vm);
  JNIEnv* env = nullptr;
  if (javaVm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_6) == JNI_OK) {
    javaVm->DetachCurrentThread();
  }
}

/// Resolves the log class and its two methods; leaves them null (lookup error cleared) if absent.
void resolveLogTarget(JNIEnv* env, LogTarget& target) {
  jclass owner = env->FindClass(kDecoderClass);
  if (owner == nullptr) {
    env->ExceptionClear();
    return;
  }
  jmethodID printD = env->GetStaticMethodID(owner, kPrintDMethod, kLogSignature);
  jmethodID printDetail = printD ? env->GetStaticMethodID(owner, kPrintDetailMethod, kLogSignature)
                                 : nullptr;
  if (printD != nullptr && printDetail != nullptr) {
    target.owner = static_cast<jclass>(env->NewGlobalRef(owner));
    target.printD = printD;
    target.printDetail = printDetail;
  } else {
    env->ExceptionClear();
  }
  env->DeleteLocalRef(owner);
}

/// Cuts a multi-byte UTF-8 character that truncation split, so Java gets valid text.
void dropSplitCharacter(char* line, int length) {
  int start = length;
  while (start > 0 && (static_cast<unsigned char>(line[start - 1]) & 0xC0) == 0x80) --start;
  if (start == 0) return;
  const unsigned char lead = static_cast<unsigned char>(line[start - 1]);
  const int needed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  if (length - (start - 1) < needed) line[start - 1] = '\0';
}

/// The calling thread's environment, attaching it if needed; `ours` tells
/// whether the library attached it (now or on an earlier line).
JNIEnv* threadEnv(JavaVM* vm, bool* ours) {
  const LogTarget& target = logTarget();
  JNIEnv* env = nullptr;
  const bool wasAttached =
      vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_6) == JNI_OK;
  env = qn::attachCurrentThread(vm);
  if (env == nullptr || !target.keyCreated) {
    *ours = false;
    return env;
  }
  if (!wasAttached) pthread_setspecific(target.attachedByUs, vm);
  *ours = pthread_getspecific(target.attachedByUs) != nullptr;
  return env;
}

/// Calls the Java log method with one line; the class comes from the load-time
/// lookup, or from a lookup on this thread if that found nothing.
void callJavaLog(JNIEnv* env, bool detail, const char* line) {
  const LogTarget& target = logTarget();
  jclass owner = target.owner;
  jmethodID log = detail ? target.printDetail : target.printD;
  jclass found = nullptr;
  if (owner == nullptr) {
    found = env->FindClass(kDecoderClass);
    if (found == nullptr) {
      env->ExceptionClear();
      return;
    }
    owner = found;
    log = env->GetStaticMethodID(owner, detail ? kPrintDetailMethod : kPrintDMethod,
                                 kLogSignature);
  }
  if (log != nullptr) {
    jstring text = env->NewStringUTF(line);
    if (text != nullptr) {
      env->CallStaticVoidMethod(owner, log, text);
      env->ExceptionCheck();  // marks the call checked; a throw stays pending
      env->DeleteLocalRef(text);
    } else {
      env->ExceptionClear();
    }
  } else {
    env->ExceptionClear();
  }
  // An attached native thread never returns to Java, so its local
  // references would pile up line after line.
  if (found != nullptr) env->DeleteLocalRef(found);
}

/// Formats one line and hands it to printDFromNative or printDetailFromNative.
/// Lines are dropped, never crashed on, when there is no VM or no Java class.
void forwardLine(bool detail, const char* format, va_list args) {
  JavaVM* vm = g_vm;
  if (vm == nullptr) return;
  bool ours = false;
  JNIEnv* env = threadEnv(vm, &ours);
  if (env == nullptr) return;
  // A Java log method that threw leaves its exception for the caller's next
  // check; no JNI call may be made over it, so further lines are skipped.
  if (env->ExceptionCheck()) return;

  char line[kLineBytes];
  const int length = vsnprintf(line, sizeof line, format, args);
  if (length >= kLineBytes) dropSplitCharacter(line, kLineBytes - 1);
  callJavaLog(env, detail, line);

  // A thread the library attached has no Java caller to report to.
  if (ours && env->ExceptionCheck()) {
    env->ExceptionDescribe();
    env->ExceptionClear();
  }
}

}  // namespace

JNIEXPORT jint JNI_OnLoad(JavaVM* vm, void* /*reserved*/) {
  JNIEnv* env = nullptr;
  if (vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_6) != JNI_OK) return JNI_ERR;
  LogTarget& target = logTarget();
  if (target.owner == nullptr) resolveLogTarget(env, target);
  qn::resolveBitmapInterface(env);
  if (!target.keyCreated) {
    target.keyCreated = pthread_key_create(&target.attachedByUs, detachAtThreadExit) == 0;
  }
  g_vm = vm;
  qn::limitFfmpegAllocations();
  // Builds and checks the exact colour tables now, not in the first decode call.
  qn::prepareColourTables();
  return JNI_VERSION_1_6;
}

void printD(const char* format, ...) {
  va_list args;
  va_start(args, format);
  forwardLine(false, format, args);
  va_end(args);
}

void printDetail(const char* format, ...) {
  if (!qn::detailLogging()) return;
  va_list args;
  va_start(args, format);
  forwardLine(true, format, args);
  va_end(args);
}

bool checkError(JNIEnv* env, const char* step) {
  if (!env->ExceptionCheck()) return false;
  env->ExceptionDescribe();
  env->ExceptionClear();
  printD("JNI Exception in %s", step);
  return true;
}

namespace qn {

void limitFfmpegAllocations() { av_max_alloc(kMaxFfmpegAllocation); }

JNIEnv* attachCurrentThread(JavaVM* vm) {
  JNIEnv* env = nullptr;
  if (vm->AttachCurrentThread(EnvOut{&env}, nullptr) != JNI_OK) return nullptr;
  return env;
}

}  // namespace qn
