#include "tests/support/jvm.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>

namespace qn::testing {
namespace {

constexpr char kDecoderClass[] = "com/quarn/iot/corvasdk/core/decode/FFmpegDecoder";
constexpr char kRecorderClass[] = "qn/testing/LineRecorder";

JavaVM* createJvm() {
  std::string classPath = std::string("-Djava.class.path=") + QN_TEST_CLASSPATH;
  std::string libraryPath = std::string("-Djava.library.path=") + QN_TEST_LIBRARY_PATH;
  JavaVMOption options[] = {
      {const_cast<char*>(classPath.c_str()), nullptr},
      {const_cast<char*>(libraryPath.c_str()), nullptr},
      {const_cast<char*>("-Xcheck:jni"), nullptr},
      {const_cast<char*>("-Xmx512m"), nullptr},
      // JDK 24 on warns on standard error when unnamed-module code loads a native library.
      {const_cast<char*>("--enable-native-access=ALL-UNNAMED"), nullptr},
  };
  JavaVMInitArgs args{};
  args.version = JNI_VERSION_1_6;
  args.nOptions = sizeof options / sizeof options[0];
  args.options = options;
  args.ignoreUnrecognized = JNI_FALSE;
  JavaVM* vm = nullptr;
  JNIEnv* env = nullptr;
  if (JNI_CreateJavaVM(&vm, reinterpret_cast<void**>(&env), &args) != JNI_OK) {
    std::fprintf(stderr, "JNI_CreateJavaVM failed\n");
    std::abort();
  }
  return vm;
}

jclass findClass(JNIEnv* env, const char* name) {
  jclass cls = env->FindClass(name);
  if (cls == nullptr) {
    std::string error = takeException(env);
    ADD_FAILURE() << "FindClass " << name << ": " << error;
  }
  return cls;
}

jmethodID staticMethod(JNIEnv* env, jclass cls, const char* name, const char* signature) {
  jmethodID method = env->GetStaticMethodID(cls, name, signature);
  if (method == nullptr) ADD_FAILURE() << "no static method " << name << takeException(env);
  return method;
}

}  // namespace

JavaVM* jvm() {
  static JavaVM* vm = createJvm();
  return vm;
}

JNIEnv* jniEnv() {
  JavaVM* vm = jvm();
  JNIEnv* env = nullptr;
  if (vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_6) == JNI_OK) return env;
  vm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr);
  return env;
}

std::string takeException(JNIEnv* env) {
  jthrowable thrown = env->ExceptionOccurred();
  if (thrown == nullptr) return "";
  env->ExceptionClear();
  jclass throwable = env->FindClass("java/lang/Throwable");
  jmethodID toString = env->GetMethodID(throwable, "toString", "()Ljava/lang/String;");
  auto text = static_cast<jstring>(env->CallObjectMethod(thrown, toString));
  if (env->ExceptionCheck()) env->ExceptionClear();  // toString itself threw: no text
  std::string out = "(exception)";
  if (text != nullptr) {
    const char* chars = env->GetStringUTFChars(text, nullptr);
    out = chars;
    env->ReleaseStringUTFChars(text, chars);
    env->DeleteLocalRef(text);
  }
  env->ExceptionClear();
  env->DeleteLocalRef(throwable);
  env->DeleteLocalRef(thrown);
  return out;
}

jbyteArray newByteArray(JNIEnv* env, const uint8_t* data, size_t size) {
  jbyteArray array = env->NewByteArray(static_cast<jsize>(size));
  if (size > 0) {
    env->SetByteArrayRegion(array, 0, static_cast<jsize>(size),
                            reinterpret_cast<const jbyte*>(data));
  }
  return array;
}

void installLineRecorder() {
  JNIEnv* env = jniEnv();
  jclass recorder = findClass(env, kRecorderClass);
  env->CallStaticVoidMethod(recorder, staticMethod(env, recorder, "install", "()V"));
  EXPECT_EQ(takeException(env), "");
  env->DeleteLocalRef(recorder);
  takeJavaLines();
}

std::vector<std::string> takeJavaLines() {
  JNIEnv* env = jniEnv();
  jclass recorder = findClass(env, kRecorderClass);
  auto lines = static_cast<jobjectArray>(env->CallStaticObjectMethod(
      recorder, staticMethod(env, recorder, "take", "()[Ljava/lang/String;")));
  EXPECT_EQ(takeException(env), "");
  std::vector<std::string> out;
  const jsize count = lines != nullptr ? env->GetArrayLength(lines) : 0;
  for (jsize i = 0; i < count; i++) {
    auto line = static_cast<jstring>(env->GetObjectArrayElement(lines, i));
    const char* chars = env->GetStringUTFChars(line, nullptr);
    out.emplace_back(chars);
    env->ReleaseStringUTFChars(line, chars);
    env->DeleteLocalRef(line);
  }
  env->DeleteLocalRef(lines);
  env->DeleteLocalRef(recorder);
  return out;
}

void throwOnJavaLine(const std::string& text) {
  JNIEnv* env = jniEnv();
  jclass recorder = findClass(env, kRecorderClass);
  jstring value = text.empty() ? nullptr : env->NewStringUTF(text.c_str());
  env->CallStaticVoidMethod(recorder, staticMethod(env, recorder, "throwOn", "(Ljava/lang/String;)V"),
                            value);
  EXPECT_EQ(takeException(env), "");
  if (value != nullptr) env->DeleteLocalRef(value);
  env->DeleteLocalRef(recorder);
}

jlong javaCreate(int type) {
  JNIEnv* env = jniEnv();
  jclass decoder = findClass(env, kDecoderClass);
  jlong handle = env->CallStaticLongMethod(decoder, staticMethod(env, decoder, "create", "(I)J"), type);
  env->ExceptionCheck();  // a thrown exception stays for the test to take
  env->DeleteLocalRef(decoder);
  return handle;
}

jobject javaDecode(jlong handle, jbyteArray data, int sequence, bool detail) {
  JNIEnv* env = jniEnv();
  jclass decoder = findClass(env, kDecoderClass);
  jmethodID decode =
      staticMethod(env, decoder, "decode", "(J[BIZ)Landroid/graphics/Bitmap;");
  jobject bitmap = env->CallStaticObjectMethod(decoder, decode, handle, data, sequence,
                                               detail ? JNI_TRUE : JNI_FALSE);
  env->ExceptionCheck();
  env->DeleteLocalRef(decoder);
  return bitmap;
}

jobject javaDecode(jlong handle, const uint8_t* data, size_t size, int sequence, bool detail) {
  JNIEnv* env = jniEnv();
  jbyteArray array = newByteArray(env, data, size);
  jobject bitmap = javaDecode(handle, array, sequence, detail);
  env->DeleteLocalRef(array);
  return bitmap;
}

jobject javaDecodeInto(jlong handle, const uint8_t* data, size_t size, int sequence, bool detail,
                       jobject reuse) {
  JNIEnv* env = jniEnv();
  jbyteArray array = newByteArray(env, data, size);
  jclass decoder = findClass(env, kDecoderClass);
  jmethodID decodeInto = staticMethod(env, decoder, "decodeInto",
                                      "(J[BIZLandroid/graphics/Bitmap;)Landroid/graphics/Bitmap;");
  jobject bitmap = env->CallStaticObjectMethod(decoder, decodeInto, handle, array, sequence,
                                               detail ? JNI_TRUE : JNI_FALSE, reuse);
  env->ExceptionCheck();
  env->DeleteLocalRef(decoder);
  env->DeleteLocalRef(array);
  return bitmap;
}

jobject javaDrain(jlong handle, jobject reuse) {
  JNIEnv* env = jniEnv();
  jclass decoder = findClass(env, kDecoderClass);
  jmethodID drain = staticMethod(env, decoder, "drain",
                                 "(JLandroid/graphics/Bitmap;)Landroid/graphics/Bitmap;");
  jobject bitmap = env->CallStaticObjectMethod(decoder, drain, handle, reuse);
  env->ExceptionCheck();
  env->DeleteLocalRef(decoder);
  return bitmap;
}

void javaDestroy(jlong handle) {
  JNIEnv* env = jniEnv();
  jclass decoder = findClass(env, kDecoderClass);
  env->CallStaticVoidMethod(decoder, staticMethod(env, decoder, "destroy", "(J)V"), handle);
  env->ExceptionCheck();
  env->DeleteLocalRef(decoder);
}

BitmapBytes readBitmap(JNIEnv* env, jobject bitmap) {
  BitmapBytes out;
  jclass cls = env->GetObjectClass(bitmap);
  out.width = env->CallIntMethod(bitmap, env->GetMethodID(cls, "getWidth", "()I"));
  EXPECT_FALSE(env->ExceptionCheck());
  out.height = env->CallIntMethod(bitmap, env->GetMethodID(cls, "getHeight", "()I"));
  EXPECT_FALSE(env->ExceptionCheck());
  const jint byteCount = env->CallIntMethod(bitmap, env->GetMethodID(cls, "getByteCount", "()I"));
  EXPECT_FALSE(env->ExceptionCheck());
  jobject config = env->CallObjectMethod(
      bitmap, env->GetMethodID(cls, "getConfig", "()Landroid/graphics/Bitmap$Config;"));
  EXPECT_FALSE(env->ExceptionCheck());
  jclass enumClass = env->FindClass("java/lang/Enum");
  auto name = static_cast<jstring>(
      env->CallObjectMethod(config, env->GetMethodID(enumClass, "name", "()Ljava/lang/String;")));
  EXPECT_FALSE(env->ExceptionCheck());
  const char* chars = env->GetStringUTFChars(name, nullptr);
  out.config = chars;
  env->ReleaseStringUTFChars(name, chars);
  out.bytes.resize(static_cast<size_t>(byteCount));
  jobject buffer = env->NewDirectByteBuffer(out.bytes.data(), byteCount);
  env->CallVoidMethod(bitmap, env->GetMethodID(cls, "copyPixelsToBuffer", "(Ljava/nio/Buffer;)V"),
                      buffer);
  EXPECT_FALSE(env->ExceptionCheck());
  EXPECT_EQ(takeException(env), "");
  env->DeleteLocalRef(buffer);
  env->DeleteLocalRef(name);
  env->DeleteLocalRef(enumClass);
  env->DeleteLocalRef(config);
  env->DeleteLocalRef(cls);
  return out;
}

int32_t bitmapPixel(JNIEnv* env, jobject bitmap, int x, int y) {
  jclass cls = env->GetObjectClass(bitmap);
  const jint pixel = env->CallIntMethod(bitmap, env->GetMethodID(cls, "getPixel", "(II)I"), x, y);
  EXPECT_EQ(takeException(env), "");
  env->DeleteLocalRef(cls);
  return pixel;
}

jobject newJavaBitmap(JNIEnv* env, int width, int height, const char* config) {
  jclass bitmapClass = findClass(env, "android/graphics/Bitmap");
  jclass configClass = findClass(env, "android/graphics/Bitmap$Config");
  jobject configValue = env->GetStaticObjectField(
      configClass, env->GetStaticFieldID(configClass, config, "Landroid/graphics/Bitmap$Config;"));
  jobject bitmap = env->CallStaticObjectMethod(
      bitmapClass,
      staticMethod(env, bitmapClass, "createBitmap",
                   "(IILandroid/graphics/Bitmap$Config;)Landroid/graphics/Bitmap;"),
      width, height, configValue);
  EXPECT_EQ(takeException(env), "");
  env->DeleteLocalRef(configValue);
  env->DeleteLocalRef(configClass);
  env->DeleteLocalRef(bitmapClass);
  return bitmap;
}

long bitmapsCreated(JNIEnv* env) {
  jclass cls = findClass(env, "android/graphics/Bitmap");
  jobject counter = env->GetStaticObjectField(
      cls, env->GetStaticFieldID(cls, "created", "Ljava/util/concurrent/atomic/AtomicLong;"));
  jclass counterClass = env->GetObjectClass(counter);
  const jlong made = env->CallLongMethod(counter, env->GetMethodID(counterClass, "get", "()J"));
  EXPECT_EQ(takeException(env), "");
  env->DeleteLocalRef(counterClass);
  env->DeleteLocalRef(counter);
  env->DeleteLocalRef(cls);
  return static_cast<long>(made);
}

void failBitmapCreations(JNIEnv* env, int count) {
  jclass cls = findClass(env, "android/graphics/Bitmap");
  env->SetStaticIntField(cls, env->GetStaticFieldID(cls, "failingCreations", "I"), count);
  EXPECT_EQ(takeException(env), "");
  env->DeleteLocalRef(cls);
}

jint callTool(const char* method, const char* signature, const std::vector<std::string>& args) {
  JNIEnv* env = jniEnv();
  env->PushLocalFrame(16);
  jclass activityClass = findClass(env, "com/example/avbench/MainActivity");
  jobject activity =
      env->NewObject(activityClass, env->GetMethodID(activityClass, "<init>", "()V"));
  jmethodID tool = env->GetMethodID(activityClass, method, signature);
  if (tool == nullptr) {
    ADD_FAILURE() << "no method " << method << signature << ": " << takeException(env);
    env->PopLocalFrame(nullptr);
    return -1;
  }
  jvalue values[4] = {};
  for (size_t i = 0; i < args.size() && i < 4; i++) values[i].l = env->NewStringUTF(args[i].c_str());
  const std::string sig(signature);
  jint result = 0;
  if (sig.back() == 'I') {
    result = env->CallIntMethodA(activity, tool, values);
  } else if (sig.back() == 'V') {
    env->CallVoidMethodA(activity, tool, values);
  } else {
    env->CallObjectMethodA(activity, tool, values);
  }
  EXPECT_EQ(takeException(env), "") << "while calling " << method;
  env->PopLocalFrame(nullptr);
  return result;
}

}  // namespace qn::testing
