// FFmpegDecoder.decodeInto in a real JVM (-Xcheck:jni): the app's bitmap takes
// the picture when it fits, any other bitmap is left untouched and a new one is
// made, and the lines are decode's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/bridge/jvm_access.h"
#include "tests/support/jvm.h"
#include "tests/support/media.h"

namespace qn::testing {
namespace {

using Lines = std::vector<std::string>;

/// Calls an object-returning method of a bitmap (static if bitmap is null) with its arguments.
jobject callBitmap(JNIEnv* env, jobject bitmap, const char* name, const char* signature,
                   const std::vector<jvalue>& args = {}) {
  jclass cls = env->FindClass("android/graphics/Bitmap");
  jobject result =
      bitmap == nullptr
          ? env->CallStaticObjectMethodA(cls, env->GetStaticMethodID(cls, name, signature), args.data())
          : env->CallObjectMethodA(bitmap, env->GetMethodID(cls, name, signature), args.data());
  EXPECT_EQ(takeException(env), "") << name;
  env->DeleteLocalRef(cls);
  return result;
}

TEST(DecodeInto, TwoAlternatingBitmapsTakeEveryPictureAndNoOtherBitmapIsMade) {
  JNIEnv* env = jniEnv();
  installLineRecorder();
  for (AVCodecID codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
    const EncodedStream stream = encodeStream(
        colourRecipe(codec, AV_PIX_FMT_YUV420P, AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, 320, 240, 8));
    const auto reference = referenceDecode(stream.bytes, codec);
    JavaDecoder decoder(codec == AV_CODEC_ID_H264 ? 1 : 0);
    LocalRef first(env, newJavaBitmap(env, 320, 240)), second(env, newJavaBitmap(env, 320, 240));
    jobject shown = first.get(), spare = second.get();
    const long made = bitmapsCreated(env);
    size_t pictures = 0;
    for (size_t i = 0; i < stream.accessUnits.size(); i++) {
      const std::vector<uint8_t>& unit = stream.accessUnits[i];
      LocalRef bitmap(env, javaDecodeInto(decoder.handle(), unit.data(), unit.size(), int(i), false, spare));
      if (!bitmap) continue;
      ASSERT_TRUE(env->IsSameObject(bitmap.get(), spare)) << "call " << i;
      ASSERT_LT(pictures, reference.size());
      EXPECT_TRUE(readBitmap(env, spare).bytes == toBitmapBytes(reference[pictures++])) << "call " << i;
      std::swap(shown, spare);
    }
    EXPECT_EQ(pictures, reference.size() - 1);  // the parser still holds the last access unit
    EXPECT_EQ(bitmapsCreated(env), made);
  }
  EXPECT_EQ(takeException(env), "");
}

TEST(DecodeInto, ABitmapThatCannotTakeThePictureIsLeftUntouchedAndANewOneIsMade) {
  JNIEnv* env = jniEnv();
  installLineRecorder();
  const EncodedStream stream = encodeStream(colourRecipe(
      AV_CODEC_ID_H264, AV_PIX_FMT_YUV420P, AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, 320, 240, 3));
  const std::vector<uint8_t> expected = toBitmapBytes(referenceDecode(stream.bytes, AV_CODEC_ID_H264)[0]);
  JavaDecoder decoder(1);
  for (int i = 0; i < 2; i++) {
    LocalRef held(env, javaDecode(decoder.handle(), stream.accessUnits[i].data(),
                                  stream.accessUnits[i].size(), i, false));
  }
  takeJavaLines();
  const uint8_t byte = 0;  // completes nothing: the held picture is converted again
  LocalRef plain(env, javaDecode(decoder.handle(), &byte, 1, 7, true));
  const Lines decodeLines = takeJavaLines();

  const auto copyOf = [&](jobject source, bool isMutable) {
    std::vector<jvalue> args(2);
    args[0].l = callBitmap(env, source, "getConfig", "()Landroid/graphics/Bitmap$Config;");
    args[1].z = isMutable ? JNI_TRUE : JNI_FALSE;
    return callBitmap(env, source, "copy", "(Landroid/graphics/Bitmap$Config;Z)Landroid/graphics/Bitmap;", args);
  };
  const auto immutableOf = [&](jobject source) {
    std::vector<jvalue> args(1);
    args[0].l = source;
    return callBitmap(env, nullptr, "createBitmap", "(Landroid/graphics/Bitmap;)Landroid/graphics/Bitmap;", args);
  };
  env->PushLocalFrame(64);
  const struct {
    const char* name;
    jobject given;
    bool fits;
    bool recycle = false;
  } cases[] = {
      {"fitting", newJavaBitmap(env, 320, 240), true},
      {"mutable copy", copyOf(newJavaBitmap(env, 320, 240), true), true},
      {"null", nullptr, false},
      {"narrower", newJavaBitmap(env, 319, 240), false},
      {"taller", newJavaBitmap(env, 320, 241), false},
      {"RGB_565", newJavaBitmap(env, 320, 240, "RGB_565"), false},
      {"immutable copy", copyOf(newJavaBitmap(env, 320, 240), false), false},
      {"createBitmap(src)", immutableOf(newJavaBitmap(env, 320, 240)), false},
      {"recycled", newJavaBitmap(env, 320, 240), false, true},
  };
  for (const auto& c : cases) {
    if (c.recycle) {
      jclass cls = env->GetObjectClass(c.given);
      env->CallVoidMethod(c.given, env->GetMethodID(cls, "recycle", "()V"));
      EXPECT_EQ(takeException(env), "");
      env->DeleteLocalRef(cls);
    }
    const bool readable = c.given != nullptr && !c.recycle;
    const BitmapBytes before = readable ? readBitmap(env, c.given) : BitmapBytes{};
    const long made = bitmapsCreated(env);
    LocalRef bitmap(env, javaDecodeInto(decoder.handle(), &byte, 1, 7, true, c.given));
    ASSERT_TRUE(bitmap) << c.name;
    EXPECT_EQ(takeJavaLines(), decodeLines) << c.name;
    EXPECT_EQ(env->IsSameObject(bitmap.get(), c.given), c.fits) << c.name;
    EXPECT_EQ(bitmapsCreated(env) - made, c.fits ? 0 : 1) << c.name;
    EXPECT_TRUE(readBitmap(env, bitmap.get()).bytes == expected) << c.name;
    if (readable && !c.fits) {
      EXPECT_TRUE(readBitmap(env, c.given).bytes == before.bytes) << c.name;
    }
  }
  env->PopLocalFrame(nullptr);
  EXPECT_EQ(takeException(env), "");
}

}  // namespace
}  // namespace qn::testing
