// A scripted Java VM for native tests: just enough of the invocation and JNIEnv
// tables for the log bridge. It records each line that reaches a Java log
// method, counts live local references, and can be told to fail any step.
// Any JNI function the bridge is not expected to call is a null entry, so an
// unexpected call crashes the test instead of passing silently.
#pragma once

#include <jni.h>

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

namespace qn::testing {

class FakeJvm {
 public:
  /// One forwarded line: the Java method it reached and its text.
  struct Line {
    std::string method;
    std::string text;
  };

  // What to fail, all off by default.
  jint getEnvResult = JNI_OK;
  jint attachResult = JNI_OK;
  bool missingClass = false;
  bool missingMethod = false;
  bool javaMethodThrows = false;

  // What happened.
  std::vector<Line> lines;
  jint requestedVersion = 0;
  int liveLocalRefs = 0;
  int attachCalls = 0;
  int envCalls = 0;  // every JNIEnv function called, of any kind
  bool exceptionPending = false;

  FakeJvm() {
    invoke_.GetEnv = &getEnv;
    invoke_.AttachCurrentThread = &attach;
    vmHolder_.vm.functions = &invoke_;
    native_.ExceptionCheck = &exceptionCheck;
    native_.ExceptionClear = &exceptionClear;
    native_.ExceptionDescribe = &exceptionDescribe;
    native_.FindClass = &findClass;
    native_.GetStaticMethodID = &getStaticMethodId;
    native_.NewStringUTF = &newStringUtf;
    native_.CallStaticVoidMethodV = &callStaticVoidMethodV;
    native_.DeleteLocalRef = &deleteLocalRef;
    env_.table.functions = &native_;
    env_.owner = this;
    vmHolder_.owner = this;
  }
  FakeJvm(const FakeJvm&) = delete;
  FakeJvm& operator=(const FakeJvm&) = delete;

  JavaVM* vm() { return &vmHolder_.vm; }
  JNIEnv* env() { return &env_.table; }

  /// The texts of the lines that reached the given Java method, oldest first.
  std::vector<std::string> textsOf(const std::string& method) const {
    std::vector<std::string> out;
    for (const Line& line : lines) {
      if (line.method == method) out.push_back(line.text);
    }
    return out;
  }

 private:
  // The tables are found again from the pointers the bridge hands back.
  struct EnvHolder {
    JNIEnv table;
    FakeJvm* owner;
  };
  struct VmHolder {
    JavaVM vm;
    FakeJvm* owner;
  };

  static FakeJvm* of(JNIEnv* env) { return reinterpret_cast<EnvHolder*>(env)->owner; }
  static FakeJvm* of(JavaVM* vm) { return reinterpret_cast<VmHolder*>(vm)->owner; }

  /// A fresh local reference token carrying a text, counted as live.
  jobject newRef(const std::string& text) {
    ++liveLocalRefs;
    refTexts_.push_back(text);
    return reinterpret_cast<jobject>(static_cast<uintptr_t>(0x1000 + (refTexts_.size() - 1) * 8));
  }

  static jint JNICALL getEnv(JavaVM* vm, void** env, jint version) {
    FakeJvm* self = of(vm);
    self->requestedVersion = version;
    *env = self->getEnvResult == JNI_OK ? self->env() : nullptr;
    return self->getEnvResult;
  }
#ifdef __ANDROID__
  static jint JNICALL attach(JavaVM* vm, JNIEnv** env, void*) {
#else
  static jint JNICALL attach(JavaVM* vm, void** envOut, void*) {
    auto** env = reinterpret_cast<JNIEnv**>(envOut);
#endif
    FakeJvm* self = of(vm);
    ++self->attachCalls;
    *env = self->attachResult == JNI_OK ? self->env() : nullptr;
    return self->attachResult;
  }
  static jboolean JNICALL exceptionCheck(JNIEnv* env) {
    ++of(env)->envCalls;
    return of(env)->exceptionPending ? JNI_TRUE : JNI_FALSE;
  }
  static void JNICALL exceptionClear(JNIEnv* env) {
    ++of(env)->envCalls;
    of(env)->exceptionPending = false;
  }
  static void JNICALL exceptionDescribe(JNIEnv* env) { ++of(env)->envCalls; }
  static jclass JNICALL findClass(JNIEnv* env, const char* name) {
    FakeJvm* self = of(env);
    ++self->envCalls;
    if (self->missingClass || std::string(name) != kDecoderClass) {
      self->exceptionPending = true;  // NoClassDefFoundError
      return nullptr;
    }
    return static_cast<jclass>(self->newRef(""));
  }
  static jmethodID JNICALL getStaticMethodId(JNIEnv* env, jclass, const char* name,
                                             const char* signature) {
    FakeJvm* self = of(env);
    ++self->envCalls;
    const std::string method(name);
    if (self->missingMethod || std::string(signature) != "(Ljava/lang/String;)V" ||
        (method != "printDFromNative" && method != "printDetailFromNative")) {
      self->exceptionPending = true;  // NoSuchMethodError
      return nullptr;
    }
    self->methods_.push_back(method);
    return reinterpret_cast<jmethodID>(static_cast<uintptr_t>(self->methods_.size()));
  }
  static jstring JNICALL newStringUtf(JNIEnv* env, const char* text) {
    FakeJvm* self = of(env);
    ++self->envCalls;
    return static_cast<jstring>(self->newRef(text));
  }
  static void JNICALL callStaticVoidMethodV(JNIEnv* env, jclass, jmethodID method, va_list args) {
    FakeJvm* self = of(env);
    ++self->envCalls;
    const auto text = reinterpret_cast<uintptr_t>(va_arg(args, jstring));
    const size_t index = (text - 0x1000) / 8;
    const size_t methodIndex = reinterpret_cast<uintptr_t>(method) - 1;
    self->lines.push_back({self->methods_.at(methodIndex), self->refTexts_.at(index)});
    if (self->javaMethodThrows) self->exceptionPending = true;
  }
  static void JNICALL deleteLocalRef(JNIEnv* env, jobject ref) {
    ++of(env)->envCalls;
    if (ref != nullptr) --of(env)->liveLocalRefs;
  }

  static constexpr const char* kDecoderClass = "com/quarn/iot/corvasdk/core/decode/FFmpegDecoder";

  JNIInvokeInterface_ invoke_{};
  JNINativeInterface_ native_{};
  VmHolder vmHolder_{};
  EnvHolder env_{};
  std::vector<std::string> refTexts_;  // the text of each reference token, by token
  std::vector<std::string> methods_;   // the method name of each method ID, by ID - 1
};

}  // namespace qn::testing
