// The native bridge: load hook, process-wide globals, log forwarding into Java
// and the JNI exception check. These are the library's exported symbols for
// other native code of the process.
#pragma once

#include <jni.h>

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

}  // namespace qn
