#include "bridge/bridge.h"

#include <cstdarg>
#include <cstdio>

JavaVM* g_vm = nullptr;
const char* TAG = "TAG";
bool isLogDetail = false;

namespace {

constexpr const char kDecoderClass[] = "com/quarn/iot/corvasdk/core/decode/FFmpegDecoder";
constexpr const char kLogSignature[] = "(Ljava/lang/String;)V";
constexpr int kLineBytes = 256;

/// Hands jni.h's out-parameter over as JNIEnv** (NDK) or void** (JDK), whichever it declares.
struct EnvOut {
  JNIEnv** env;
  operator JNIEnv**() const { return env; }
  operator void**() const { return reinterpret_cast<void**>(env); }
};

/// Cuts a multi-byte UTF-8 character that truncation split, so Java gets valid text.
void dropSplitCharacter(char* line, int length) {
  int start = length;
  while (start > 0 && (static_cast<unsigned char>(line[start - 1]) & 0xC0) == 0x80) --start;
  if (start == 0) return;
  const unsigned char lead = static_cast<unsigned char>(line[start - 1]);
  const int needed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  if (length - (start - 1) < needed) line[start - 1] = '\0';
}

/// Formats one line and calls the static Java log method `method` with it.
/// Lines are dropped, never crashed on, when there is no VM or no Java class.
void forwardLine(const char* method, const char* format, va_list args) {
  JavaVM* vm = g_vm;
  if (vm == nullptr) return;
  JNIEnv* env = qn::attachCurrentThread(vm);
  if (env == nullptr) return;
  // A Java log method that threw leaves its exception for the caller's next
  // check; no JNI call may be made over it, so further lines are skipped.
  if (env->ExceptionCheck()) return;

  jclass owner = env->FindClass(kDecoderClass);
  if (owner == nullptr) {
    env->ExceptionClear();
    return;
  }
  jmethodID log = env->GetStaticMethodID(owner, method, kLogSignature);
  if (log == nullptr) {
    env->ExceptionClear();
    env->DeleteLocalRef(owner);
    return;
  }

  char line[kLineBytes];
  const int length = vsnprintf(line, sizeof line, format, args);
  if (length >= kLineBytes) dropSplitCharacter(line, kLineBytes - 1);

  jstring text = env->NewStringUTF(line);
  if (text != nullptr) {
    env->CallStaticVoidMethod(owner, log, text);
    env->ExceptionCheck();  // marks the call checked; a throw stays pending
    env->DeleteLocalRef(text);
  } else {
    env->ExceptionClear();
  }
  // An attached native thread never returns to Java, so its local
  // references would pile up line after line.
  env->DeleteLocalRef(owner);
}

}  // namespace

JNIEXPORT jint JNI_OnLoad(JavaVM* vm, void* /*reserved*/) {
  JNIEnv* env = nullptr;
  if (vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_6) != JNI_OK) return JNI_ERR;
  g_vm = vm;
  return JNI_VERSION_1_6;
}

void printD(const char* format, ...) {
  va_list args;
  va_start(args, format);
  forwardLine("printDFromNative", format, args);
  va_end(args);
}

void printDetail(const char* format, ...) {
  if (!qn::detailLogging()) return;
  va_list args;
  va_start(args, format);
  forwardLine("printDetailFromNative", format, args);
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

JNIEnv* attachCurrentThread(JavaVM* vm) {
  JNIEnv* env = nullptr;
  if (vm->AttachCurrentThread(EnvOut{&env}, nullptr) != JNI_OK) return nullptr;
  return env;
}

}  // namespace qn
