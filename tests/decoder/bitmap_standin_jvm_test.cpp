// The host stand-in of android.graphics.Bitmap and libjnigraphics, held to
// Android's behaviour: sizes, pixel layout, colour ints and result codes.
#include <gtest/gtest.h>

#include <android/bitmap.h>

#include <cstring>
#include <string>

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

}  // namespace
}  // namespace qn::testing
