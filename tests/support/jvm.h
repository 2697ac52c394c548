// The test process's one Java VM (with -Xcheck:jni), created on first use with
// the host Java classes, and helpers to call the library through Java exactly
// as the app does.
#pragma once

#include <jni.h>

#include <cstdint>
#include <string>
#include <vector>

class FFmpegDecoder;

namespace qn::testing {

/// The Java VM of this process.
JavaVM* jvm();

/// The calling thread's environment; attaches the thread if needed.
JNIEnv* jniEnv();

/// Clears a pending exception and returns "ClassName: message", or "" if none was pending.
std::string takeException(JNIEnv* env);

/// A new Java byte array holding the bytes.
jbyteArray newByteArray(JNIEnv* env, const uint8_t* data, size_t size);

/// Makes the recording sink the decoder's log sink and forgets earlier lines.
void installLineRecorder();

/// Forwarded lines since the last call, each "D:" (printD) or "V:" (printDetail) and the text.
std::vector<std::string> takeJavaLines();

/// Makes the recording sink throw for lines containing text (empty: never).
void throwOnJavaLine(const std::string& text);

/// FFmpegDecoder.create(type) through Java.
jlong javaCreate(int type);
/// FFmpegDecoder.decode(...) through Java; leaves a thrown exception pending.
jobject javaDecode(jlong handle, jbyteArray data, int sequence, bool detail);
/// The same, from a byte range.
jobject javaDecode(jlong handle, const uint8_t* data, size_t size, int sequence, bool detail);
/// FFmpegDecoder.decodeInto(...) through Java from a byte range, with the app's bitmap `reuse`.
jobject javaDecodeInto(jlong handle, const uint8_t* data, size_t size, int sequence, bool detail,
                       jobject reuse);
/// FFmpegDecoder.drain(handle, reuse) through Java.
jobject javaDrain(jlong handle, jobject reuse);
/// FFmpegDecoder.destroy(handle) through Java.
void javaDestroy(jlong handle);

/// A decoder made through Java (`type` as create() takes it), destroyed through Java
/// at the end of its scope.
class JavaDecoder {
 public:
  explicit JavaDecoder(int type) : handle_(javaCreate(type)) {}
  ~JavaDecoder() { javaDestroy(handle_); }
  JavaDecoder(const JavaDecoder&) = delete;
  JavaDecoder& operator=(const JavaDecoder&) = delete;
  jlong handle() const { return handle_; }
  /// The native object behind the handle, for looking at (and bending) its state.
  FFmpegDecoder* object() const {
    return reinterpret_cast<FFmpegDecoder*>(static_cast<uintptr_t>(handle_));
  }

 private:
  jlong handle_;
};

/// A bitmap's size and its pixel bytes exactly as laid out in memory.
struct BitmapBytes {
  int width = 0;
  int height = 0;
  std::string config;
  std::vector<uint8_t> bytes;
};

/// Reads a bitmap through its public Java methods.
BitmapBytes readBitmap(JNIEnv* env, jobject bitmap);

/// Bitmap.getPixel(x, y).
int32_t bitmapPixel(JNIEnv* env, jobject bitmap, int x, int y);

/// Bitmap.createBitmap(width, height, Config.<config>): a new mutable bitmap.
jobject newJavaBitmap(JNIEnv* env, int width, int height, const char* config = "ARGB_8888");

/// How many bitmaps the Bitmap stand-in has made in this process.
long bitmapsCreated(JNIEnv* env);

/// Makes the next `count` Bitmap.createBitmap calls throw OutOfMemoryError, as on a full heap.
void failBitmapCreations(JNIEnv* env, int count);

/// Calls an instance method of a new com.example.avbench.MainActivity with string arguments.
/// Returns the int result, 0 for a void method.
jint callTool(const char* method, const char* signature, const std::vector<std::string>& args);

}  // namespace qn::testing
