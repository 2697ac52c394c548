// Host stand-in of the native side of android.os.Debug (host/java/android/os/Debug.java).
#include <jni.h>
#include <malloc.h>

// glibc counts blocks it mapped on their own apart from the arenas' used bytes;
// Android's allocators count both as allocated.
extern "C" __attribute__((visibility("default"))) jlong JNICALL
Java_android_os_Debug_getNativeHeapAllocatedSize(JNIEnv*, jclass) {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<jlong>(info.uordblks + info.hblkhd);
}
