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

/// The parts of android.graphics.Bitmap the binding calls, resolved once at
/// load (the class and the ARGB_8888 value as global references).
struct BitmapInterface {
  jclass bitmapClass = nullptr;
  jobject argb8888 = nullptr;
  jmethodID createBitmap = nullptr;
  jmethodID isRecycled = nullptr;
  jmethodID isMutable = nullptr;
};

/// The process's one bitmap interface, filled by resolveBitmapInterface.
BitmapInterface& bitmapInterface() {
  static BitmapInterface interface;
  return interface;
}

/// Looks up the bitmap interface; false (lookup error cleared, nothing kept) if a part is missing.
bool lookUpBitmapInterface(JNIEnv* env, BitmapInterface* found) {
  jclass bitmapClass = env->FindClass("android/graphics/Bitmap");
  jclass configClass = bitmapClass ? env->FindClass("android/graphics/Bitmap$Config") : nullptr;
  jfieldID argbField = configClass ? env->GetStaticFieldID(configClass, "ARGB_8888",
                                                           "Landroid/graphics/Bitmap$Config;")
                                   : nullptr;
  jobject argb = argbField ? env->GetStaticObjectField(configClass, argbField) : nullptr;
  if (argb != nullptr) {
    found->createBitmap = env->GetStaticMethodID(
        bitmapClass, "createBitmap", "(IILandroid/graphics/Bitmap$Config;)Landroid/graphics/Bitmap;");
  }
  if (found->createBitmap != nullptr) {
    found->isRecycled = env->GetMethodID(bitmapClass, "isRecycled", "()Z");
  }
  if (found->isRecycled != nullptr) found->isMutable = env->GetMethodID(bitmapClass, "isMutable", "()Z");
  const bool complete = argb != nullptr && found->createBitmap != nullptr &&
                        found->isRecycled != nullptr && found->isMutable != nullptr;
  if (complete) {
    found->bitmapClass = static_cast<jclass>(env->NewGlobalRef(bitmapClass));
    found->argb8888 = env->NewGlobalRef(argb);
  }
  env->ExceptionClear();
  if (argb != nullptr) env->DeleteLocalRef(argb);
  if (configClass != nullptr) env->DeleteLocalRef(configClass);
  if (bitmapClass != nullptr) env->DeleteLocalRef(bitmapClass);
  return complete && found->bitmapClass != nullptr && found->argb8888 != nullptr;
}

/// The bitmap interface, looked up on this call if the load could not (a failed
/// lookup leaves its exception pending for the Java caller); null if absent.
const BitmapInterface* bitmapsFor(JNIEnv* env) {
  const BitmapInterface& loaded = bitmapInterface();
  if (loaded.bitmapClass != nullptr) return &loaded;
  // Missing at load: the lookup is made again so that its error reaches the caller.
  jclass late = env->FindClass("android/graphics/Bitmap");
  if (late != nullptr) env->DeleteLocalRef(late);
  return nullptr;
}

/// Makes a new ARGB_8888 bitmap through Bitmap.createBitmap; null leaves any exception pending.
jobject createArgbBitmap(JNIEnv* env, int width, int height) {
  const BitmapInterface* bitmaps = bitmapsFor(env);
  if (bitmaps == nullptr) return nullptr;
  jobject bitmap = env->CallStaticObjectMethod(bitmaps->bitmapClass, bitmaps->createBitmap, width,
                                               height, bitmaps->argb8888);
  env->ExceptionCheck();  // a throw stays pending for the Java caller
  return bitmap;
}

/// Maps the core's picture check onto the binding's lines; true if the picture
/// can be converted. An oversized picture was named by the core.
bool canConvertPicture(FFmpegDecoder& decoder, const AVFrame* picture) {
  bool newUnsupportedFormat = false;
  const FFmpegDecoder::PictureFault fault = decoder.checkPicture(picture, &newUnsupportedFormat);
  if (newUnsupportedFormat) printD("unsupported pixel format %s", qn::pixelFormatName(picture));
  switch (fault) {
    case FFmpegDecoder::PictureFault::kOversize:
      return false;
    case FFmpegDecoder::PictureFault::kNoPlanes:
      printDetail("Invalid input pointers");
      return false;
    case FFmpegDecoder::PictureFault::kNoLineSizes:
      printDetail("Invalid strides");
      return false;
    case FFmpegDecoder::PictureFault::kLineSizesTooShort:
    case FFmpegDecoder::PictureFault::kNone:
      break;
  }
  printDetail("convertYUVToBitmap 0 => %d, 1 => %d, 2 => %d w => %d h => %d", picture->linesize[0],
              picture->linesize[1], picture->linesize[2], picture->width, picture->height);
  if (fault == FFmpegDecoder::PictureFault::kLineSizesTooShort) {
    printDetail("Invalid strides");
    return false;
  }
  return true;
}

/// True if the bitmap described by info is ARGB_8888 of exactly width x height.
bool holdsSize(const AndroidBitmapInfo& info, int width, int height) {
  const auto w = static_cast<uint32_t>(width);
  return info.format == ANDROID_BITMAP_FORMAT_RGBA_8888 && info.width == w &&
         info.height == static_cast<uint32_t>(height) && info.stride / 4 >= w;
}

/// True if the app's bitmap can take a width x height picture: mutable, not
/// recycled, ARGB_8888 of that size. Logs nothing; a Java exception is left for
/// the caller to report. Recycled is asked first: Android aborts on getInfo of a
/// recycled bitmap.
bool canReuse(JNIEnv* env, jobject reuse, int width, int height) {
  if (reuse == nullptr) return false;
  const BitmapInterface* bitmaps = bitmapsFor(env);
  if (bitmaps == nullptr) return false;
  if (!env->IsInstanceOf(reuse, bitmaps->bitmapClass)) return false;
  const bool recycled = env->CallBooleanMethod(reuse, bitmaps->isRecycled);
  if (recycled || env->ExceptionCheck()) return false;
  const bool mutableBitmap = env->CallBooleanMethod(reuse, bitmaps->isMutable);
  if (!mutableBitmap || env->ExceptionCheck()) return false;
  AndroidBitmapInfo info;
  return AndroidBitmap_getInfo(env, reuse, &info) >= 0 && holdsSize(info, width, height);
}

/// Converts the picture, scaled to the bitmap's size if needed, into the
/// bitmap's pixels; false leaves the bitmap unusable.
bool convertYUVToBitmap(JNIEnv* env, jobject bitmap, FFmpegDecoder& decoder,
                        const AVFrame* picture, int width, int height) {
  AndroidBitmapInfo info;
  int ret = AndroidBitmap_getInfo(env, bitmap, &info);
  printDetail("convertYUVToBitmap AndroidBitmap_getInfo ret => %d ", ret);
  if (ret < 0) {
    printD("convertYUVToBitmap AndroidBitmap_getInfo fail");
    return false;
  }
  // Whatever bitmap comes here, nothing is written outside its pixels.
  if (!holdsSize(info, width, height)) {
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
  // The converter is chosen by the picture's pixel format, matrix and range;
  // a picture for a smaller bitmap is box-scaled first.
  const AVFrame* scaled = decoder.pictureToConvert(picture, width, height);
  ret = scaled != nullptr
            ? qn::convertToAbgrPixels(scaled, pixels.pixels(), static_cast<int>(info.stride))
            : -1;
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

/// Writes the picture into `reuse` if it can take it, else into a new bitmap.
DecodeResult bitmapOfPicture(JNIEnv* env, FFmpegDecoder& decoder, const AVFrame* frame,
                             jobject reuse) {
  DecodeResult result;
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
  int bitmapWidth = 0;
  int bitmapHeight = 0;
  decoder.outputSizeFor(width, height, &bitmapWidth, &bitmapHeight);
  const bool reusable = canReuse(env, reuse, bitmapWidth, bitmapHeight);
  if (exceptionAt(env, "reuse")) return result;
  jobject bitmap =
      reusable ? env->NewLocalRef(reuse) : createArgbBitmap(env, bitmapWidth, bitmapHeight);
  if (bitmap == nullptr) {
    result.keepPending = true;
    return result;
  }
  if (!convertYUVToBitmap(env, bitmap, decoder, frame, bitmapWidth, bitmapHeight)) {
    env->DeleteLocalRef(bitmap);
    return result;
  }
  result.bitmap = bitmap;
  return result;
}

/// Decodes one pinned chunk and writes the newest picture into `reuse` if it can
/// take it, else into a new bitmap.
DecodeResult decodeChunk(JNIEnv* env, FFmpegDecoder& decoder, unsigned char* bytes, jsize length,
                         jint sequence, jobject reuse) {
  const AVFrame* frame = decoder.decode(bytes, length, sequence);
  if (exceptionAt(env, "decode")) return {};
  if (frame == nullptr) {
    // A call that only dropped units (key frames only) is no failure.
    if (!decoder.lastCallWasSkipped()) printD("decode fail stop convertToBitmap");
    return {};
  }
  return bitmapOfPicture(env, decoder, frame, reuse);
}

/// The bitmap of a call's result: a createBitmap failure leaves its exception for
/// the Java caller; any other pending exception came from a log method and is
/// reported here, the bitmap then dropped.
jobject finishCall(JNIEnv* env, const DecodeResult& result, const char* step) {
  if (result.keepPending) return nullptr;
  if (exceptionAt(env, step)) {
    if (result.bitmap != nullptr) env->DeleteLocalRef(result.bitmap);
    return nullptr;
  }
  return result.bitmap;
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
  return finishCall(env, result, "ReleaseByteArrayElements");
}

}  // namespace

void qn::resolveBitmapInterface(JNIEnv* env) {
  BitmapInterface& loaded = bitmapInterface();
  if (loaded.bitmapClass != nullptr) return;
  BitmapInterface found;
  if (lookUpBitmapInterface(env, &found)) loaded = found;
}

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

extern "C" {

JNIEXPORT void JNICALL DECODER_METHOD(setOutputSize)(JNIEnv* /*env*/, jclass /*caller*/,
                                                     jlong handle, jint width, jint height) {
  if (handle != 0) fromHandle(handle)->setOutputSize(width, height);
}

JNIEXPORT void JNICALL DECODER_METHOD(setKeyFramesOnly)(JNIEnv* /*env*/, jclass /*caller*/,
                                                        jlong handle, jboolean on) {
  if (handle != 0) fromHandle(handle)->setKeyFramesOnly(on != JNI_FALSE);
}

JNIEXPORT void JNICALL DECODER_METHOD(setThreads)(JNIEnv* /*env*/, jclass /*caller*/, jlong handle,
                                                  jint count) {
  if (handle != 0) fromHandle(handle)->setThreads(count);
}

JNIEXPORT jobject JNICALL DECODER_METHOD(drain)(JNIEnv* env, jclass /*caller*/, jlong handle,
                                                jobject reuse) {
  if (handle == 0) return nullptr;
  FFmpegDecoder* decoder = fromHandle(handle);
  const AVFrame* frame = decoder->drain();
  if (exceptionAt(env, "drain") || frame == nullptr) return nullptr;
  return finishCall(env, bitmapOfPicture(env, *decoder, frame, reuse), "drain");
}

JNIEXPORT void JNICALL DECODER_METHOD(setFrameThreads)(JNIEnv* /*env*/, jclass /*caller*/,
                                                       jlong handle, jboolean on) {
  if (handle != 0) fromHandle(handle)->setFrameThreads(on != JNI_FALSE);
}

}  // extern "C"
