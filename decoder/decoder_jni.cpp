// Java binding of FFmpegDecoder: handles, chunks in, ARGB_8888 bitmaps out.
#include <android/bitmap.h>
#include <jni.h>

#include <cstdint>

#include "bridge/bridge.h"
#include "decoder/ffmpeg_decoder.h"
#include "decoder/picture_conversion.h"

#define DECODER_METHOD(name) Java_com_quarn_iot_corvasdk_core_decode_FFmpegDecoder_##name

namespace {

/// The decoder object behind a handle; the full pointer width travels in the jlong.
FFmpegDecoder* fromHandle(jlong handle) {
  return reinterpret_cast<FFmpegDecoder*>(static_cast<uintptr_t>(handle));
}

/// The handle of a decoder object: its address, widened into a jlong.
jlong toHandle(FFmpegDecoder* decoder) {
  return static_cast<jlong>(reinterpret_cast<uintptr_t>(decoder));
}

/// Reports a pending exception at the JNI step `step`; true if there was one. A
/// Java log method may have thrown, and may throw again on the report line: that
/// one is cleared too, so nothing a log method throws reaches decode's caller.
bool exceptionAt(JNIEnv* env, const char* step) {
  if (!checkError(env, step)) return false;
  if (env->ExceptionCheck()) {
    env->ExceptionDescribe();
    env->ExceptionClear();
  }
  return true;
}

/// Pinned elements of a Java byte array, released (mode 0) on every way out.
class PinnedBytes {
 public:
  PinnedBytes(JNIEnv* env, jbyteArray array) : env_(env), array_(array) {}
  ~PinnedBytes() { release(); }
  PinnedBytes(const PinnedBytes&) = delete;
  PinnedBytes& operator=(const PinnedBytes&) = delete;

  bool pin() {
    bytes_ = env_->GetByteArrayElements(array_, nullptr);
    return bytes_ != nullptr;
  }
  unsigned char* data() const { return reinterpret_cast<unsigned char*>(bytes_); }
  void release() {
    if (bytes_ == nullptr) return;
    env_->ReleaseByteArrayElements(array_, bytes_, 0);
    bytes_ = nullptr;
  }

 private:
  JNIEnv* env_;
  jbyteArray array_;
  jbyte* bytes_ = nullptr;
};

/// Locked pixels of a bitmap, unlocked on every way out.
class LockedPixels {
 public:
  LockedPixels(JNIEnv* env, jobject bitmap) : env_(env), bitmap_(bitmap) {}
  ~LockedPixels() { unlock(); }
  LockedPixels(const LockedPixels&) = delete;
  LockedPixels& operator=(const LockedPixels&) = delete;

  int lock() {
    const int ret = AndroidBitmap_lockPixels(env_, bitmap_, &pixels_);
    locked_ = ret >= 0;
    return ret;
  }
  uint8_t* pixels() const { return static_cast<uint8_t*>(pixels_); }
  int unlock() {
    if (!locked_) return ANDROID_BITMAP_RESULT_SUCCESS;
    locked_ = false;
    // A log line may have left a Java exception pending; unlocking makes JNI
    // calls, so the exception is set aside and thrown again afterwards.
    jthrowable pending = env_->ExceptionOccurred();
    if (pending != nullptr) env_->ExceptionClear();
    const int ret = AndroidBitmap_unlockPixels(env_, bitmap_);
    if (pending != nullptr) {
      env_->Throw(pending);
      env_->DeleteLocalRef(pending);
    }
    return ret;
  }

 private:
  JNIEnv* env_;
  jobject bitmap_;
  void* pixels_ = nullptr;
  bool locked_ = false;
};

/// Makes a new ARGB_8888 bitmap through Bitmap.createBitmap; null leaves any exception pending.
jobject createArgbBitmap(JNIEnv* env, int width, int height) {
  jclass bitmapClass = env->FindClass("android/graphics/Bitmap");
  if (bitmapClass == nullptr) return nullptr;
  jclass configClass = env->FindClass("android/graphics/Bitmap$Config");
  if (configClass == nullptr) return nullptr;
  jfieldID argbField =
      env->GetStaticFieldID(configClass, "ARGB_8888", "Landroid/graphics/Bitmap$Config;");
  if (argbField == nullptr) return nullptr;
  jobject argb = env->GetStaticObjectField(configClass, argbField);
  if (argb == nullptr) return nullptr;
  jmethodID create = env->GetStaticMethodID(
      bitmapClass, "createBitmap", "(IILandroid/graphics/Bitmap$Config;)Landroid/graphics/Bitmap;");
  if (create == nullptr) return nullptr;
  jobject bitmap = env->CallStaticObjectMethod(bitmapClass, create, width, height, argb);
  env->ExceptionCheck();  // a throw stays pending for the Java caller
  env->DeleteLocalRef(argb);
  env->DeleteLocalRef(configClass);
  env->DeleteLocalRef(bitmapClass);
  return bitmap;
}

/// Checks, before any bitmap is made, that the picture can be converted, saying
/// why not; an oversized picture and an unconvertible pixel format are each
/// named once per decoder.
bool canConvertPicture(FFmpegDecoder& decoder, const AVFrame* picture) {
  if (decoder.isOversize(picture->width, picture->height)) return false;
  if (!qn::hasPlanePointers(picture)) {
    printDetail("Invalid input pointers");
    return false;
  }
  if (!qn::isConvertibleFormat(picture->format) && !decoder.unsupportedFormatLogged) {
    decoder.unsupportedFormatLogged = true;
    printD("unsupported pixel format %s", qn::pixelFormatName(picture));
  }
  if (!qn::hasPositiveLineSizes(picture)) {
    printDetail("Invalid strides");
    return false;
  }
  printDetail("convertYUVToBitmap 0 => %d, 1 => %d, 2 => %d w => %d h => %d", picture->linesize[0],
              picture->linesize[1], picture->linesize[2], picture->width, picture->height);
  // FFmpeg pads line sizes to its SIMD alignment, so the real ones are checked.
  if (!qn::canConvert(picture)) {
    printDetail("Invalid strides");
    return false;
  }
  return true;
}

/// True if the bitmap described by info is ARGB_8888 of exactly the picture's size.
bool holdsPicture(const AndroidBitmapInfo& info, const AVFrame* picture) {
  const auto width = static_cast<uint32_t>(picture->width);
  return info.format == ANDROID_BITMAP_FORMAT_RGBA_8888 && info.width == width &&
         info.height == static_cast<uint32_t>(picture->height) && info.stride / 4 >= width;
}

/// True if the app's bitmap can take the picture: mutable, not recycled, ARGB_8888
/// of the picture's size. Logs nothing; a Java exception is left for the caller to
/// report. Recycled is asked first: Android aborts on getInfo of a recycled bitmap.
bool canReuse(JNIEnv* env, jobject reuse, const AVFrame* picture) {
  if (reuse == nullptr) return false;
  jclass bitmapClass = env->GetObjectClass(reuse);
  jmethodID isRecycled = env->GetMethodID(bitmapClass, "isRecycled", "()Z");
  jmethodID isMutable = isRecycled ? env->GetMethodID(bitmapClass, "isMutable", "()Z") : nullptr;
  env->DeleteLocalRef(bitmapClass);
  if (isMutable == nullptr) return false;
  const bool recycled = env->CallBooleanMethod(reuse, isRecycled);
  if (recycled || env->ExceptionCheck()) return false;
  const bool mutableBitmap = env->CallBooleanMethod(reuse, isMutable);
  if (!mutableBitmap || env->ExceptionCheck()) return false;
  AndroidBitmapInfo info;
  return AndroidBitmap_getInfo(env, reuse, &info) >= 0 && holdsPicture(info, picture);
}

/// Converts the picture into the bitmap's pixels; false leaves the bitmap unusable.
bool convertYUVToBitmap(JNIEnv* env, jobject bitmap, const AVFrame* picture) {
  AndroidBitmapInfo info;
  int ret = AndroidBitmap_getInfo(env, bitmap, &info);
  printDetail("convertYUVToBitmap AndroidBitmap_getInfo ret => %d ", ret);
  if (ret < 0) {
    printD("convertYUVToBitmap AndroidBitmap_getInfo fail");
    return false;
  }
  // Whatever bitmap comes here, nothing is written outside its pixels.
  if (!holdsPicture(info, picture)) {
    printD("convertYUVToBitmap bitmap does not fit the picture");
    return false;
  }
  if (exceptionAt(env, "AndroidBitmap_lockPixels")) return false;
  LockedPixels pixels(env, bitmap);
  ret = pixels.lock();
  printDetail("convertYUVToBitmap AndroidBitmap_lockPixels ret => %d ", ret);
  if (ret < 0) {
    printD("convertYUVToBitmap AndroidBitmap_lockPixels fail");
    return false;
  }
  if (pixels.pixels() == nullptr) {
    printDetail("Invalid input pointers");
    return false;
  }
  // The converter is chosen by the picture's pixel format, matrix and range.
  ret = qn::convertToAbgrPixels(picture, pixels.pixels(), static_cast<int>(info.stride));
  printDetail("convertYUVToBitmap libyuv::I420ToABGR ret => %d ", ret);
  if (exceptionAt(env, "AndroidBitmap_unlockPixels")) return false;
  ret = pixels.unlock();
  printDetail("convertYUVToBitmap AndroidBitmap_unlockPixels ret => %d ", ret);
  return true;
}

/// What one pinned chunk gave: a bitmap, or null.
struct DecodeResult {
  jobject bitmap = nullptr;
  bool keepPending = false;  // createBitmap failed: its exception goes to the Java caller
};

/// Decodes one pinned chunk and writes the newest picture into `reuse` if it can
/// take it, else into a new bitmap.
DecodeResult decodeChunk(JNIEnv* env, FFmpegDecoder& decoder, unsigned char* bytes, jsize length,
                         jint sequence, jobject reuse) {
  DecodeResult result;
  const AVFrame* frame = decoder.decode(bytes, length, sequence);
  if (exceptionAt(env, "decode")) return result;
  if (frame == nullptr) {
    printD("decode fail stop convertToBitmap");
    return result;
  }
  // The picture's own size: pictures held back across a size change arrive
  // after the codec context has taken the new size.
  const int width = frame->width;
  const int height = frame->height;
  printDetail("width => %d, height => %d", width, height);
  if (width <= 0 || height <= 0) {
    printD("width => %d, height => %d", width, height);
    return result;
  }
  if (!canConvertPicture(decoder, frame)) return result;
  if (exceptionAt(env, "FindClass")) return result;
  const bool reusable = canReuse(env, reuse, frame);
  if (exceptionAt(env, "reuse")) return result;
  jobject bitmap = reusable ? env->NewLocalRef(reuse) : createArgbBitmap(env, width, height);
  if (bitmap == nullptr) {
    result.keepPending = true;
    return result;
  }
  if (!convertYUVToBitmap(env, bitmap, frame)) {
    env->DeleteLocalRef(bitmap);
    return result;
  }
  result.bitmap = bitmap;
  return result;
}

/// The body of decode and decodeInto: `reuse` is the app's bitmap to write into, or null.
jobject decodeCall(JNIEnv* env, jlong handle, jbyteArray data, jint sequence, jboolean detail,
                   jobject reuse) {
  qn::setDetailLogging(detail != JNI_FALSE);
  printDetail("decode: Decoding data... sequence %d", sequence);
  if (exceptionAt(env, "reinterpret_cast")) return nullptr;
  if (handle == 0) return nullptr;
  FFmpegDecoder* decoder = fromHandle(handle);
  if (data == nullptr) return nullptr;

  const jsize length = env->GetArrayLength(data);
  if (exceptionAt(env, "GetArrayLength")) return nullptr;
  PinnedBytes chunk(env, data);
  chunk.pin();
  if (exceptionAt(env, "GetByteArrayElements")) return nullptr;

  const DecodeResult result = decodeChunk(env, *decoder, chunk.data(), length, sequence, reuse);
  chunk.release();
  // A createBitmap failure leaves its exception for the Java caller; any other
  // pending exception came from a log method and is reported here.
  if (result.keepPending) return nullptr;
  if (exceptionAt(env, "ReleaseByteArrayElements")) {
    if (result.bitmap != nullptr) env->DeleteLocalRef(result.bitmap);
    return nullptr;
  }
  return result.bitmap;
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL DECODER_METHOD(create)(JNIEnv* /*env*/, jobject /*caller*/, jint type) {
  printD("create: Creating FFmpegDecoder instance...");
  auto* decoder = new FFmpegDecoder();
  decoder->setUp(type);
  printD("create: FFmpegDecoder instance created successfully");
  return toHandle(decoder);
}

JNIEXPORT void JNICALL DECODER_METHOD(destroy)(JNIEnv* /*env*/, jobject /*caller*/, jlong handle) {
  printD("destroy: Destroying FFmpegDecoder instance...");
  if (handle != 0) delete fromHandle(handle);
  printD("destroy: FFmpegDecoder instance destroyed successfully");
}

JNIEXPORT jobject JNICALL DECODER_METHOD(decode)(JNIEnv* env, jobject /*caller*/, jlong handle,
                                                 jbyteArray data, jint sequence,
                                                 jboolean detail) {
  return decodeCall(env, handle, data, sequence, detail, nullptr);
}

JNIEXPORT jobject JNICALL DECODER_METHOD(decodeInto)(JNIEnv* env, jobject /*caller*/, jlong handle,
                                                     jbyteArray data, jint sequence,
                                                     jboolean detail, jobject reuse) {
  return decodeCall(env, handle, data, sequence, detail, reuse);
}

JNIEXPORT void JNICALL DECODER_METHOD(setWholeAccessUnits)(JNIEnv* /*env*/, jclass /*caller*/,
                                                           jlong handle, jboolean on) {
  if (handle != 0) fromHandle(handle)->setWholeAccessUnits(on != JNI_FALSE);
}

}  // extern "C"
