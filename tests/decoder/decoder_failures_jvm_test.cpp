// Failure paths of the decoder's Java binding that a healthy JVM never takes
// by itself: bitmap calls that fail, a bitmap that cannot be made, a decoder
// whose set-up failed, and JNI steps that throw. This executable's own
// AndroidBitmap_* and avcodec_find_decoder take the place of the libraries'
// (it exports them), and JVMTI swaps single JNI functions.
#include <gtest/gtest.h>

#include <android/bitmap.h>
#include <dlfcn.h>
#include <jvmti.h>

#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "tests/bridge/jvm_access.h"
#include "tests/support/jvm.h"
#include "tests/support/media.h"

namespace {

/// What the interposed functions are told to fail; all off outside a test.
struct Failures {
  bool getInfo = false;
  bool lockPixels = false;
  bool findDecoder = false;
  bool shortStride = false;  // getInfo reports rows one pixel shorter than the picture's
};

Failures& failures() {
  static Failures armed;
  return armed;
}

}  // namespace

#define INTERPOSED extern "C" __attribute__((visibility("default")))

/// Bitmap.isRecycled() of a bitmap, asked without disturbing the caller's JNI state.
bool isRecycled(JNIEnv* env, jobject bitmap) {
  if (bitmap == nullptr) return false;
  jclass cls = env->GetObjectClass(bitmap);
  const bool recycled = env->CallBooleanMethod(bitmap, env->GetMethodID(cls, "isRecycled", "()Z"));
  env->DeleteLocalRef(cls);
  return !env->ExceptionCheck() && recycled;
}

INTERPOSED int AndroidBitmap_getInfo(JNIEnv* env, jobject bitmap, AndroidBitmapInfo* info) {
  // Android aborts the process here for a recycled bitmap.
  if (isRecycled(env, bitmap)) ADD_FAILURE() << "AndroidBitmap_getInfo of a recycled bitmap";
  if (failures().getInfo) return ANDROID_BITMAP_RESULT_BAD_PARAMETER;
  using Real = int (*)(JNIEnv*, jobject, AndroidBitmapInfo*);
  static Real real = qn::testing::loadedSymbol<Real>("libjnigraphics.so", "AndroidBitmap_getInfo");
  const int ret = real(env, bitmap, info);
  if (failures().shortStride && info != nullptr) info->stride -= 4;
  return ret;
}

INTERPOSED int AndroidBitmap_lockPixels(JNIEnv* env, jobject bitmap, void** pixels) {
  if (failures().lockPixels) return ANDROID_BITMAP_RESULT_ALLOCATION_FAILED;
  using Real = int (*)(JNIEnv*, jobject, void**);
  static Real real = qn::testing::loadedSymbol<Real>("libjnigraphics.so", "AndroidBitmap_lockPixels");
  return real(env, bitmap, pixels);
}

INTERPOSED const AVCodec* avcodec_find_decoder(enum AVCodecID id) {
  if (failures().findDecoder) return nullptr;
  using Real = const AVCodec* (*)(enum AVCodecID);
  static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "avcodec_find_decoder"));
  return real(id);
}

namespace qn::testing {
namespace {

using Lines = std::vector<std::string>;

/// The JNI function table of every thread, with one function replaced while in scope.
class SwappedJniFunction {
 public:
  template <typename Patch>
  explicit SwappedJniFunction(Patch patch) {
    jvm()->GetEnv(reinterpret_cast<void**>(&jvmti_), JVMTI_VERSION_1_2);
    jvmti_->GetJNIFunctionTable(&original_);
    jniNativeInterface patched = *original_;
    patch(&patched);
    jvmti_->SetJNIFunctionTable(&patched);
  }
  ~SwappedJniFunction() {
    jvmti_->SetJNIFunctionTable(original_);
    jvmti_->Deallocate(reinterpret_cast<unsigned char*>(original_));
  }
  SwappedJniFunction(const SwappedJniFunction&) = delete;
  SwappedJniFunction& operator=(const SwappedJniFunction&) = delete;
  /// The table as it was, for the replacement to call through.
  static const jniNativeInterface& original() { return *current_; }

 private:
  jvmtiEnv* jvmti_ = nullptr;
  jniNativeInterface* original_ = nullptr;
  static inline jniNativeInterface* current_ = nullptr;

 public:
  void keepOriginal() { current_ = original_; }
};

void throwIllegalState(JNIEnv* env, const char* message) {
  env->ThrowNew(env->FindClass("java/lang/IllegalStateException"), message);
}

jsize JNICALL throwingGetArrayLength(JNIEnv* env, jarray array) {
  const jsize length = SwappedJniFunction::original().GetArrayLength(env, array);
  throwIllegalState(env, "GetArrayLength refused");
  return length;
}

jbyte* JNICALL throwingGetByteArrayElements(JNIEnv* env, jbyteArray array, jboolean*) {
  throwIllegalState(env, "GetByteArrayElements refused");
  (void)array;
  return nullptr;
}

class DecoderFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    installLineRecorder();
    env = jniEnv();
    stream = encodeStream(StreamSpec{});
    handle = javaCreate(1);
    // Two units complete the first picture; the third call converts it.
    for (int i = 0; i < 2; i++) {
      LocalRef bitmap(env, javaDecode(handle, stream.accessUnits[i].data(),
                                      stream.accessUnits[i].size(), i, false));
    }
    takeJavaLines();
  }
  void TearDown() override {
    failures() = Failures{};
    javaDestroy(handle);
    EXPECT_EQ(takeException(env), "");
  }
  /// Converts the held picture again (a chunk that completes nothing); detail on.
  jobject convertAgain() {
    const uint8_t byte = 0;
    return javaDecode(handle, &byte, 1, 9, true);
  }
  JNIEnv* env = nullptr;
  EncodedStream stream;
  jlong handle = 0;
};

TEST_F(DecoderFailures, ANegativeGetInfoGivesNullWithItsLine) {
  failures().getInfo = true;
  EXPECT_EQ(convertAgain(), nullptr);
  const Lines lines = takeJavaLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "V:convertYUVToBitmap AndroidBitmap_getInfo ret => -1 ");
  EXPECT_EQ(lines.back(), "D:convertYUVToBitmap AndroidBitmap_getInfo fail");
  failures().getInfo = false;
  LocalRef again(env, convertAgain());
  EXPECT_TRUE(again);
}

TEST_F(DecoderFailures, ANegativeLockGivesNullWithItsLine) {
  failures().lockPixels = true;
  EXPECT_EQ(convertAgain(), nullptr);
  const Lines lines = takeJavaLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "V:convertYUVToBitmap AndroidBitmap_lockPixels ret => -3 ");
  EXPECT_EQ(lines.back(), "D:convertYUVToBitmap AndroidBitmap_lockPixels fail");
}

TEST_F(DecoderFailures, TheAppsBitmapChangesNothingWhenBitmapCallsFailAndIsNeverWrittenThen) {
  LocalRef fitting(env, newJavaBitmap(env, 352, 288)), recycled(env, newJavaBitmap(env, 352, 288));
  const BitmapBytes before = readBitmap(env, fitting.get());
  env->CallVoidMethod(recycled.get(), env->GetMethodID(env->GetObjectClass(recycled.get()), "recycle", "()V"));
  EXPECT_EQ(takeException(env), "");
  const struct {
    const char* name;
    bool Failures::*failing;
    jobject reuse;
    bool gives;
  } cases[] = {{"getInfo fails", &Failures::getInfo, fitting.get(), false},
               {"lock fails", &Failures::lockPixels, fitting.get(), false},
               {"stride too short", &Failures::shortStride, fitting.get(), false},
               {"recycled", nullptr, recycled.get(), true}};
  const uint8_t byte = 0;
  for (const auto& c : cases) {
    if (c.failing != nullptr) failures().*c.failing = true;
    LocalRef plain(env, convertAgain());
    const Lines decodeLines = takeJavaLines();
    LocalRef bitmap(env, javaDecodeInto(handle, &byte, 1, 9, true, c.reuse));
    failures() = Failures{};
    EXPECT_EQ(bool(plain), c.gives) << c.name;
    EXPECT_EQ(bool(bitmap), c.gives) << c.name;
    EXPECT_FALSE(env->IsSameObject(bitmap.get(), c.reuse)) << c.name;
    EXPECT_EQ(takeJavaLines(), decodeLines) << c.name;
    EXPECT_TRUE(readBitmap(env, fitting.get()).bytes == before.bytes) << c.name;
  }
}

TEST_F(DecoderFailures, AFailedCreateBitmapLeavesItsExceptionForTheJavaCaller) {
  failBitmapCreations(env, 1);
  EXPECT_EQ(convertAgain(), nullptr);
  EXPECT_EQ(takeException(env).rfind("java.lang.OutOfMemoryError: Failed to allocate", 0), 0u);
  // Nothing after the failed step logged, and the next call works.
  const std::string last = takeJavaLines().back();
  EXPECT_EQ(last.rfind("V:convertYUVToBitmap 0 => ", 0), 0u) << last;
  LocalRef again(env, convertAgain());
  EXPECT_TRUE(again);
}

TEST_F(DecoderFailures, ThrowingArrayStepsAreReportedByName) {
  const std::pair<const char*, void (*)(jniNativeInterface*)> steps[] = {
      {"GetArrayLength", [](jniNativeInterface* t) { t->GetArrayLength = &throwingGetArrayLength; }},
      {"GetByteArrayElements",
       [](jniNativeInterface* t) { t->GetByteArrayElements = &throwingGetByteArrayElements; }}};
  const uint8_t byte = 0;
  LocalRef array(env, newByteArray(env, &byte, 1));
  for (const auto& [step, patch] : steps) {
    jobject bitmap = nullptr;
    {
      CapturedOutput output;
      SwappedJniFunction swapped(patch);
      swapped.keepOriginal();
      bitmap = javaDecode(handle, static_cast<jbyteArray>(array.get()), 5, false);
      output.text();
    }
    EXPECT_EQ(bitmap, nullptr) << step;
    EXPECT_EQ(takeException(env), "") << step;
    EXPECT_EQ(takeJavaLines(), Lines{std::string("D:JNI Exception in ") + step});
  }
}

TEST_F(DecoderFailures, ADecoderWhoseSetUpFailedStillHasAHandleAndRefusesEveryChunk) {
  failures().findDecoder = true;
  const jlong broken = javaCreate(1);
  failures().findDecoder = false;
  EXPECT_NE(broken, 0);
  for (int i = 0; i < 3; i++) {
    LocalRef bitmap(env, javaDecode(broken, stream.accessUnits[i].data(),
                                    stream.accessUnits[i].size(), i, false));
    EXPECT_FALSE(bitmap);
  }
  javaDestroy(broken);
  EXPECT_EQ(takeJavaLines(),
            (Lines{"D:create: Creating FFmpegDecoder instance...", "D:decoder type h264",
                   "D:create: FFmpegDecoder instance created successfully", "D:decode illegal",
                   "D:decode fail stop convertToBitmap", "D:decode illegal",
                   "D:decode fail stop convertToBitmap", "D:decode illegal",
                   "D:decode fail stop convertToBitmap",
                   "D:destroy: Destroying FFmpegDecoder instance...",
                   "D:destroy: FFmpegDecoder instance destroyed successfully"}));
}

}  // namespace
}  // namespace qn::testing
