// Version probe of the app's test screen: the linked FFmpeg's version text.
#include <jni.h>

extern "C" {
#include <libavutil/avutil.h>
}

/// av_version_info() as a new Java string; a null (OutOfMemoryError pending) is passed on.
extern "C" JNIEXPORT jstring JNICALL
Java_com_quarn_iot_ui_activity_TestJni_stringFromJNI(JNIEnv* env, jobject /*caller*/) {
  return env->NewStringUTF(av_version_info());
}
