// The tools' JNI side: entry point names and the text of the Java path strings.
#pragma once

#include <jni.h>

#define TOOL_METHOD(name) Java_com_example_avbench_MainActivity_##name

namespace qn::tools {

/// Text of a Java path string (modified UTF-8), released when the holder goes.
class JavaPath {
 public:
  JavaPath(JNIEnv* env, jstring path) : env_(env), path_(path), text_(textOf(env, path)) {}
  ~JavaPath() {
    if (text_ != nullptr) env_->ReleaseStringUTFChars(path_, text_);
  }
  JavaPath(const JavaPath&) = delete;
  JavaPath& operator=(const JavaPath&) = delete;

  /// Null when the JVM could not give the text or the path was null; an exception is then pending.
  const char* text() const { return text_; }

 private:
  /// GetStringUTFChars, except that a null string (which would crash it) throws the usual NPE.
  static const char* textOf(JNIEnv* env, jstring path) {
    if (path != nullptr) return env->GetStringUTFChars(path, nullptr);
    jclass npe = env->FindClass("java/lang/NullPointerException");
    if (npe == nullptr) return nullptr;  // FindClass's own error is pending
    env->ThrowNew(npe, "path");
    env->DeleteLocalRef(npe);
    return nullptr;
  }

  JNIEnv* env_;
  jstring path_;
  const char* text_;
};

/// Runs a tool core with the text of one Java path; `failure` when the text
/// cannot be had (its exception then stays pending for the Java caller).
template <typename Core>
jint withPath(JNIEnv* env, jstring path, jint failure, Core core) {
  const JavaPath text(env, path);
  if (text.text() == nullptr) return failure;
  return core(text.text());
}

/// Runs a tool core with the texts of two Java paths, taken first to second.
template <typename Core>
jint withPaths(JNIEnv* env, jstring first, jstring second, jint failure, Core core) {
  const JavaPath firstText(env, first);
  if (firstText.text() == nullptr) return failure;
  const JavaPath secondText(env, second);
  if (secondText.text() == nullptr) return failure;
  return core(firstText.text(), secondText.text());
}

}  // namespace qn::tools
