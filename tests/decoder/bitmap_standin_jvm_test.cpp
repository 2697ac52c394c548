// The host stand-in of android.graphics.Bitmap and libjnigraphics, held to
// Android's behaviour: sizes, pixel layout, colour ints and result codes.
#include <gtest/gtest.h>

#include <android/bitmap.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/bridge/jvm_access.h"
#include "tests/support/jvm.h"

namespace qn::testing {
namespace {

using GetInfo = int (*)(JNIEnv*, jobject, AndroidBitmapInfo*);
using LockPixels = int (*)(JNIEnv*, jobject, void**);
using UnlockPixels = int (*)(JNIEnv*, jobject);

class BitmapStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    env = jniEnv();
    bitmapClass = env->FindClass("android/graphics/Bitmap");  // loads libjnigraphics
    ASSERT_NE(bitmapClass, nullptr);
    getInfo = loadedSymbol<GetInfo>("libjnigraphics.so", "AndroidBitmap_getInfo");
    lockPixels = loadedSymbol<LockPixels>("libjnigraphics.so", "AndroidBitmap_lockPixels");
    unlockPixels = loadedSymbol<UnlockPixels>("libjnigraphics.so", "AndroidBitmap_unlockPixels");
    ASSERT_TRUE(getInfo && lockPixels && unlockPixels);
  }
  void TearDown() override {
    EXPECT_EQ(takeException(env), "");
    env->DeleteLocalRef(bitmapClass);
  }
  /// Bitmap.createBitmap(width, height, Config.<config>); null with the exception pending.
  jobject create(int width, int height, const char* config = "ARGB_8888") {
    LocalRef configClass(env, env->FindClass("android/graphics/Bitmap$Config"));
    jfieldID field = env->GetStaticFieldID(static_cast<jclass>(configClass.get()), config,
                                           "Landroid/graphics/Bitmap$Config;");
    LocalRef value(env, env->GetStaticObjectField(static_cast<jclass>(configClass.get()), field));
    jmethodID method = env->GetStaticMethodID(
        bitmapClass, "createBitmap", "(IILandroid/graphics/Bitmap$Config;)Landroid/graphics/Bitmap;");
    jobject bitmap = env->CallStaticObjectMethod(bitmapClass, method, width, height, value.get());
    env->ExceptionCheck();  // a throw stays pending for the test to take
    return bitmap;
  }
  /// Calls a no-argument void or int method of the bitmap.
  jint callInt(jobject bitmap, const char* name) {
    const jint value = env->CallIntMethod(bitmap, env->GetMethodID(bitmapClass, name, "()I"));
    EXPECT_EQ(takeException(env), "") << name;
    return value;
  }
  void recycle(jobject bitmap) {
    env->CallVoidMethod(bitmap, env->GetMethodID(bitmapClass, "recycle", "()V"));
    EXPECT_EQ(takeException(env), "");
  }
  /// The value of one of the stand-in's private static AtomicLong counters.
  long long counter(const char* name) {
    jfieldID field = env->GetStaticFieldID(bitmapClass, name, "Ljava/util/concurrent/atomic/AtomicLong;");
    EXPECT_NE(field, nullptr) << name;
    if (field == nullptr) return -1;
    LocalRef value(env, env->GetStaticObjectField(bitmapClass, field));
    LocalRef atomicClass(env, env->GetObjectClass(value.get()));
    const jlong count = env->CallLongMethod(
        value.get(), env->GetMethodID(static_cast<jclass>(atomicClass.get()), "get", "()J"));
    EXPECT_EQ(takeException(env), "") << name;
    return count;
  }
  /// System.setProperty(key, value), or clearProperty when value is null.
  void setProperty(const char* key, const char* value) {
    LocalRef system(env, env->FindClass("java/lang/System"));
    auto cls = static_cast<jclass>(system.get());
    LocalRef keyText(env, env->NewStringUTF(key));
    if (value == nullptr) {
      LocalRef old(env, env->CallStaticObjectMethod(
                            cls, env->GetStaticMethodID(cls, "clearProperty", "(Ljava/lang/String;)Ljava/lang/String;"),
                            keyText.get()));
    } else {
      LocalRef valueText(env, env->NewStringUTF(value));
      LocalRef old(env, env->CallStaticObjectMethod(
                            cls,
                            env->GetStaticMethodID(cls, "setProperty",
                                                   "(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;"),
                            keyText.get(), valueText.get()));
    }
    EXPECT_EQ(takeException(env), "");
  }
  /// The locked pixel address of a bitmap (unlocked again at once).
  uint8_t* pixelAddress(jobject bitmap) {
    void* address = nullptr;
    EXPECT_EQ(lockPixels(env, bitmap, &address), ANDROID_BITMAP_RESULT_SUCCESS);
    EXPECT_EQ(unlockPixels(env, bitmap), ANDROID_BITMAP_RESULT_SUCCESS);
    return static_cast<uint8_t*>(address);
  }
  /// Waits up to 10 s for the held native pixel bytes to fall to `bytes` or less.
  bool nativeBytesFallTo(long long bytes) {
    for (int i = 0; i < 1000 && counter("nativeBytes") > bytes; i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return counter("nativeBytes") <= bytes;
  }
  /// Makes and drops a 1080p bitmap every 10 ms, as a slow decoder would, until the
  /// held pixel bytes fall to `bytes` or less; false after 500 bitmaps.
  bool makeAndDropUntilHeldFallsTo(long long bytes) {
    for (int i = 0; i < 500 && counter("nativeBytes") > bytes; i++) {
      LocalRef bitmap(env, create(1920, 1080));
      EXPECT_TRUE(bitmap);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return counter("nativeBytes") <= bytes;
  }
  JNIEnv* env = nullptr;
  jclass bitmapClass = nullptr;
  GetInfo getInfo = nullptr;
  LockPixels lockPixels = nullptr;
  UnlockPixels unlockPixels = nullptr;
};

TEST_F(BitmapStandIn, ASizeOfZeroOrLessIsAnIllegalArgument) {
  for (auto [width, height] : {std::pair{0, 10}, {10, 0}, {-3, 4}, {4, -3}}) {
    EXPECT_EQ(create(width, height), nullptr);
    EXPECT_EQ(takeException(env).rfind("java.lang.IllegalArgumentException", 0), 0u)
        << width << "x" << height;
  }
}

TEST_F(BitmapStandIn, GetInfoReportsSizeStrideAndRgba8888) {
  LocalRef bitmap(env, create(7, 5));
  ASSERT_TRUE(bitmap);
  AndroidBitmapInfo info{};
  ASSERT_EQ(getInfo(env, bitmap.get(), &info), ANDROID_BITMAP_RESULT_SUCCESS);
  EXPECT_EQ(info.width, 7u);
  EXPECT_EQ(info.height, 5u);
  EXPECT_EQ(info.stride, 28u);
  EXPECT_EQ(info.format, ANDROID_BITMAP_FORMAT_RGBA_8888);
  EXPECT_EQ(callInt(bitmap.get(), "getRowBytes"), 28);
  EXPECT_EQ(callInt(bitmap.get(), "getByteCount"), 140);

  LocalRef small(env, create(3, 2, "RGB_565"));
  ASSERT_EQ(getInfo(env, small.get(), &info), ANDROID_BITMAP_RESULT_SUCCESS);
  EXPECT_EQ(info.stride, 6u);
  EXPECT_EQ(info.format, ANDROID_BITMAP_FORMAT_RGB_565);
}

TEST_F(BitmapStandIn, LockedPixelsStartZeroAndReadBackAsArgbColourInts) {
  LocalRef bitmap(env, create(4, 3));
  void* address = nullptr;
  ASSERT_EQ(lockPixels(env, bitmap.get(), &address), ANDROID_BITMAP_RESULT_SUCCESS);
  ASSERT_NE(address, nullptr);
  auto* bytes = static_cast<uint8_t*>(address);
  for (int i = 0; i < 4 * 3 * 4; i++) ASSERT_EQ(bytes[i], 0) << "byte " << i;
  // R, G, B, A at (2, 1): Android reads the colour int 0xAARRGGBB.
  const uint8_t rgba[4] = {0x11, 0x22, 0x33, 0x44};
  std::memcpy(bytes + (1 * 4 + 2) * 4, rgba, 4);
  EXPECT_EQ(unlockPixels(env, bitmap.get()), ANDROID_BITMAP_RESULT_SUCCESS);
  EXPECT_EQ(bitmapPixel(env, bitmap.get(), 2, 1), 0x44112233);
  EXPECT_EQ(bitmapPixel(env, bitmap.get(), 0, 0), 0);
  const BitmapBytes copy = readBitmap(env, bitmap.get());
  EXPECT_EQ(copy.config, "ARGB_8888");
  EXPECT_EQ(std::memcmp(&copy.bytes[(1 * 4 + 2) * 4], rgba, 4), 0);
}

TEST_F(BitmapStandIn, NullOrRecycledBitmapsAreBadParameters) {
  AndroidBitmapInfo info{};
  void* address = nullptr;
  EXPECT_EQ(getInfo(env, nullptr, &info), ANDROID_BITMAP_RESULT_BAD_PARAMETER);
  EXPECT_EQ(lockPixels(env, nullptr, &address), ANDROID_BITMAP_RESULT_BAD_PARAMETER);
  EXPECT_EQ(unlockPixels(env, nullptr), ANDROID_BITMAP_RESULT_BAD_PARAMETER);

  LocalRef bitmap(env, create(2, 2));
  recycle(bitmap.get());
  EXPECT_EQ(getInfo(env, bitmap.get(), &info), ANDROID_BITMAP_RESULT_BAD_PARAMETER);
  EXPECT_EQ(lockPixels(env, bitmap.get(), &address), ANDROID_BITMAP_RESULT_BAD_PARAMETER);
  env->CallIntMethod(bitmap.get(), env->GetMethodID(bitmapClass, "getPixel", "(II)I"), 0, 0);
  env->ExceptionCheck();
  EXPECT_EQ(takeException(env).rfind("java.lang.IllegalStateException", 0), 0u);
}

// Android 10 and later: collections follow the net growth of native bytes (allocated
// minus freed), 96 MiB by default, requested from another thread one at a time.

constexpr long long kFullHdBytes = 1920LL * 1080 * 4;
constexpr long long kTriggerBytes = 96LL << 20;

TEST_F(BitmapStandIn, RecycledBitmapsRequestNoCollectionHoweverManyAreMade) {
  const long long before = counter("collectionsRequested");
  for (int i = 0; i < 60; i++) {  // 500 MB allocated, never more than 8 MB held
    LocalRef bitmap(env, create(1920, 1080));
    ASSERT_TRUE(bitmap);
    recycle(bitmap.get());
  }
  EXPECT_EQ(counter("collectionsRequested"), before);
}

TEST_F(BitmapStandIn, HeldBitmapsRequestACollectionPastTheNetGrowthTrigger) {
  ASSERT_TRUE(nativeBytesFallTo(1 << 20));
  const long long before = counter("collectionsRequested");
  std::vector<jobject> held;
  // 10 bitmaps (83 MB) stay below the trigger; 12 and more pass it.
  for (int i = 0; i < 10; i++) held.push_back(env->NewGlobalRef(LocalRef(env, create(1920, 1080)).get()));
  EXPECT_EQ(counter("collectionsRequested"), before);
  for (int i = 0; i < 20; i++) held.push_back(env->NewGlobalRef(LocalRef(env, create(1920, 1080)).get()));
  // 250 MB held: each collection frees nothing, so growth counts again from where it
  // ended; requests come one at a time, never one per allocation past the trigger.
  const long long requests = counter("collectionsRequested") - before;
  EXPECT_GE(requests, 1);
  EXPECT_LE(requests, 30 * kFullHdBytes / kTriggerBytes + 1);
  for (jobject bitmap : held) {
    recycle(bitmap);
    env->DeleteGlobalRef(bitmap);
  }
  EXPECT_TRUE(nativeBytesFallTo(0));
}

TEST_F(BitmapStandIn, DroppedBitmapsAreFreedByTheRequestedCollections) {
  ASSERT_TRUE(nativeBytesFallTo(kFullHdBytes));
  const long long before = counter("collectionsRequested");
  long long peak = 0;
  for (int i = 0; i < 120; i++) {  // 1 GB of bitmaps left to the collector
    LocalRef bitmap(env, create(1920, 1080));
    ASSERT_TRUE(bitmap);
    const long long held = counter("nativeBytes");
    peak = std::max(peak, held);
    // The collector runs beside this thread and falls behind on a busy machine, so
    // past twice the trigger the loop gives it time; nothing here asks for a collection.
    if (held > 2 * kTriggerBytes) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GT(peak, kTriggerBytes - kFullHdBytes);
  EXPECT_GE(counter("collectionsRequested") - before, 2);
  // Bitmaps dropped while a collection runs outlive it, so what is held now falls
  // only at a later collection, and only new bitmaps request one.
  EXPECT_TRUE(makeAndDropUntilHeldFallsTo(kTriggerBytes + kFullHdBytes));
}

TEST_F(BitmapStandIn, FreshPagesSwitchMapsLargePixelBuffersAndUnmapsThemWhenFreed) {
  setProperty("qn.bitmap.freshPages", "true");
  LocalRef bitmap(env, create(1920, 1080));
  ASSERT_TRUE(bitmap);
  uint8_t* pixels = pixelAddress(bitmap.get());
  ASSERT_NE(pixels, nullptr);
  const long page = sysconf(_SC_PAGESIZE);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(pixels) % page, 0u);  // a mapping of its own
  for (long long i = 0; i < kFullHdBytes; i += page) ASSERT_EQ(pixels[i], 0) << "byte " << i;
  const uint8_t rgba[4] = {0x10, 0x20, 0x30, 0xff};
  std::memcpy(pixels + kFullHdBytes - 4, rgba, 4);
  EXPECT_EQ(bitmapPixel(env, bitmap.get(), 1919, 1079), static_cast<int32_t>(0xff102030));
  EXPECT_EQ(msync(pixels, kFullHdBytes, MS_ASYNC), 0);
  recycle(bitmap.get());
  // The whole range went back to the kernel.
  EXPECT_EQ(msync(pixels, kFullHdBytes, MS_ASYNC), -1);
  EXPECT_EQ(errno, ENOMEM);

  // A dropped bitmap's mapping goes at its collection as well.
  uint8_t* dropped = nullptr;
  {
    LocalRef other(env, create(1920, 1080));
    dropped = pixelAddress(other.get());
  }
  LocalRef system(env, env->FindClass("java/lang/System"));
  env->CallStaticVoidMethod(static_cast<jclass>(system.get()),
                            env->GetStaticMethodID(static_cast<jclass>(system.get()), "gc", "()V"));
  EXPECT_EQ(takeException(env), "");
  bool unmapped = false;
  for (int i = 0; i < 1000 && !unmapped; i++) {
    unmapped = msync(dropped, kFullHdBytes, MS_ASYNC) == -1;
    if (!unmapped) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(unmapped);
  setProperty("qn.bitmap.freshPages", nullptr);
}

}  // namespace
}  // namespace qn::testing
