// The native bridge: load hook, process-wide globals, log forwarding into Java
// and the JNI exception check. These are the library's exported symbols for
// other native code of the process.
#pragma once

#include <jni.h>

#include <cstddef>

#define QN_EXPORT __attribute__((visibility("default")))

/// The process's Java VM, set once by JNI_OnLoad.
extern QN_EXPORT JavaVM* g_vm;
/// Android log tag of the media tools: the text "TAG".
extern QN_EXPORT const char* TAG;
/// Detail logging switch; every decode call overwrites it.
extern QN_EXPORT bool isLogDetail;

/// Formats a line (at most 255 bytes) and hands it to printDFromNative.
QN_EXPORT void printD(const char* format, ...) __attribute__((format(printf, 1, 2)));
/// Same as printD through printDetailFromNative, only while isLogDetail is true.
QN_EXPORT void printDetail(const char* format, ...) __attribute__((format(printf, 1, 2)));
/// Reports and clears a pending Java exception; true if there was one.
QN_EXPORT bool checkError(JNIEnv* env, const char* step);

namespace qn {

/// Reads the detail switch; relaxed atomics keep decoders on several threads race-free.
inline bool detailLogging() { return __atomic_load_n(&isLogDetail, __ATOMIC_RELAXED); }

/// Writes the detail switch for every thread.
inline void setDetailLogging(bool on) { __atomic_store_n(&isLogDetail, on, __ATOMIC_RELAXED); }

/// The calling thread's environment, attaching the thread if it is not attached yet.
JNIEnv* attachCurrentThread(JavaVM* vm);

/// The largest block FFmpeg may allocate at once in this process: 256 MiB, ten times a
/// 4096 x 4096 picture in 4:2:0 and twice one in 16-bit RGBA, far above what a real file's
/// index or packet takes. A few bytes of a crafted file can otherwise make a demuxer
/// build an index of gigabytes (an MP4 that declares 50 million samples).
inline constexpr size_t kMaxFfmpegAllocation = size_t{256} << 20;

/// Resolves the Java bitmap interface of the decoder binding; called once by JNI_OnLoad.
void resolveBitmapInterface(JNIEnv* env);

/// Sets kMaxFfmpegAllocation as FFmpeg's limit (av_max_alloc); done once at load.
void limitFfmpegAllocations();

}  // namespace qn
