// Host stand-in of Android's libjnigraphics over host/java/android/graphics/Bitmap.java:
// the <android/bitmap.h> functions with Android's result codes, plus the natives
// that hold the Java bitmap's pixels in zero-filled native memory.
#include <android/bitmap.h>
#include <jni.h>

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

#define JNIGRAPHICS_EXPORT extern "C" __attribute__((visibility("default")))
#define BITMAP_METHOD(name) Java_android_graphics_Bitmap_##name

namespace {

/// What the stand-in reads of a Java Bitmap's fields.
struct BitmapFields {
  jint width = 0;
  jint height = 0;
  jint rowBytes = 0;
  jint format = ANDROID_BITMAP_FORMAT_NONE;
  jlong pixels = 0;
  jboolean recycled = JNI_TRUE;
};

/// Reads a Bitmap's fields; false with a result code when it cannot be used.
int readFields(JNIEnv* env, jobject bitmap, BitmapFields* out) {
  if (env == nullptr || bitmap == nullptr) return ANDROID_BITMAP_RESULT_BAD_PARAMETER;
  jclass cls = env->GetObjectClass(bitmap);
  jfieldID width = env->GetFieldID(cls, "width", "I");
  jfieldID height = env->GetFieldID(cls, "height", "I");
  jfieldID pixels = env->GetFieldID(cls, "nativePixels", "J");
  jfieldID recycled = env->GetFieldID(cls, "recycled", "Z");
  jmethodID rowBytes = env->GetMethodID(cls, "getRowBytes", "()I");
  jfieldID config = env->GetFieldID(cls, "config", "Landroid/graphics/Bitmap$Config;");
  if (width == nullptr || height == nullptr || pixels == nullptr || recycled == nullptr ||
      rowBytes == nullptr || config == nullptr) {
    env->DeleteLocalRef(cls);
    return ANDROID_BITMAP_RESULT_JNI_EXCEPTION;
  }
  out->width = env->GetIntField(bitmap, width);
  out->height = env->GetIntField(bitmap, height);
  out->pixels = env->GetLongField(bitmap, pixels);
  out->recycled = env->GetBooleanField(bitmap, recycled);
  out->rowBytes = env->CallIntMethod(bitmap, rowBytes);
  if (env->ExceptionCheck()) {
    env->DeleteLocalRef(cls);
    return ANDROID_BITMAP_RESULT_JNI_EXCEPTION;
  }
  jobject configValue = env->GetObjectField(bitmap, config);
  jclass configClass = env->GetObjectClass(configValue);
  jfieldID nativeFormat = env->GetFieldID(configClass, "nativeFormat", "I");
  out->format = nativeFormat != nullptr ? env->GetIntField(configValue, nativeFormat)
                                        : ANDROID_BITMAP_FORMAT_NONE;
  env->DeleteLocalRef(configClass);
  env->DeleteLocalRef(configValue);
  env->DeleteLocalRef(cls);
  if (nativeFormat == nullptr) return ANDROID_BITMAP_RESULT_JNI_EXCEPTION;
  if (out->recycled || out->pixels == 0) return ANDROID_BITMAP_RESULT_BAD_PARAMETER;
  return ANDROID_BITMAP_RESULT_SUCCESS;
}

/// Adds delta to the bitmap's lock count; false if the count would go below zero.
bool addToLockCount(JNIEnv* env, jobject bitmap, int delta) {
  jclass cls = env->GetObjectClass(bitmap);
  jfieldID lockCount = env->GetFieldID(cls, "lockCount", "I");
  env->DeleteLocalRef(cls);
  if (lockCount == nullptr) return false;
  const jint count = env->GetIntField(bitmap, lockCount) + delta;
  if (count < 0) return false;
  env->SetIntField(bitmap, lockCount, count);
  return true;
}

}  // namespace

JNIGRAPHICS_EXPORT int AndroidBitmap_getInfo(JNIEnv* env, jobject bitmap, AndroidBitmapInfo* info) {
  BitmapFields fields;
  const int ret = readFields(env, bitmap, &fields);
  if (ret != ANDROID_BITMAP_RESULT_SUCCESS) return ret;
  if (info != nullptr) {
    info->width = static_cast<uint32_t>(fields.width);
    info->height = static_cast<uint32_t>(fields.height);
    info->stride = static_cast<uint32_t>(fields.rowBytes);
    info->format = fields.format;
    info->flags = 0;
  }
  return ANDROID_BITMAP_RESULT_SUCCESS;
}

JNIGRAPHICS_EXPORT int AndroidBitmap_lockPixels(JNIEnv* env, jobject bitmap, void** addrPtr) {
  BitmapFields fields;
  const int ret = readFields(env, bitmap, &fields);
  if (ret != ANDROID_BITMAP_RESULT_SUCCESS) return ret;
  if (!addToLockCount(env, bitmap, 1)) return ANDROID_BITMAP_RESULT_JNI_EXCEPTION;
  if (addrPtr != nullptr) *addrPtr = reinterpret_cast<void*>(static_cast<uintptr_t>(fields.pixels));
  return ANDROID_BITMAP_RESULT_SUCCESS;
}

JNIGRAPHICS_EXPORT int AndroidBitmap_unlockPixels(JNIEnv* env, jobject bitmap) {
  if (env == nullptr || bitmap == nullptr) return ANDROID_BITMAP_RESULT_BAD_PARAMETER;
  if (!addToLockCount(env, bitmap, -1)) return ANDROID_BITMAP_RESULT_BAD_PARAMETER;
  return ANDROID_BITMAP_RESULT_SUCCESS;
}

// Mapped pixels are fresh anonymous pages (zero until first written, each faulted
// in on first touch) and go back to the kernel when freed, as Android's allocator
// treats blocks of several MB; calloc'ed pixels may reuse warm memory of the heap.
JNIGRAPHICS_EXPORT jlong JNICALL BITMAP_METHOD(nativeAllocate)(JNIEnv*, jclass, jlong bytes,
                                                              jboolean mapped) {
  if (bytes <= 0) return 0;
  const size_t size = static_cast<size_t>(bytes);
  void* pixels = nullptr;
  if (mapped) {
    pixels = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pixels == MAP_FAILED) pixels = nullptr;
  } else {
    pixels = std::calloc(1, size);
  }
  return static_cast<jlong>(reinterpret_cast<uintptr_t>(pixels));
}

JNIGRAPHICS_EXPORT void JNICALL BITMAP_METHOD(nativeFree)(JNIEnv*, jclass, jlong address, jlong bytes,
                                                          jboolean mapped) {
  void* pixels = reinterpret_cast<void*>(static_cast<uintptr_t>(address));
  if (mapped) {
    munmap(pixels, static_cast<size_t>(bytes));
  } else {
    std::free(pixels);
  }
}

JNIGRAPHICS_EXPORT jobject JNICALL BITMAP_METHOD(nativeWrap)(JNIEnv* env, jclass, jlong address,
                                                           jlong bytes) {
  return env->NewDirectByteBuffer(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), bytes);
}
