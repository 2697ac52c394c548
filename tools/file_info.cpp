// The demo activity's three simplest entry points: a greeting, the FFmpeg
// version line, and a listing of a media file's container metadata.
#include "bridge/error_text.h"
#include "tools/java_paths.h"
#include "tools/picked_file.h"
#include "tools/stream_analysis.h"
#include "tools/tool_log.h"
#include "tools/tools.h"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/dict.h>
}

namespace qn::tools {
namespace {

/// Logs every container-level metadata entry as "key=value\n", in stored order.
void logContainerMetadata(const AVDictionary* metadata) {
  const AVDictionaryEntry* entry = nullptr;
  // The empty key with IGNORE_SUFFIX matches every entry.
  while ((entry = av_dict_get(metadata, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
    TOOL_LOGF("%s=%s\n", entry->key, entry->value);
  }
}

}  // namespace

void printFileInfo(const char* path) {
  TOOL_LOG(path);
  PickedMedia input;
  int ret = input.open(path);
  if (input.file().refused()) return;  // its line is logged
  if (ret >= 0) ret = analyseStreams(input, AnalysisFor::kListing);
  if (ret < 0) {
    TOOL_LOG(ErrorText(ret).text);
    return;
  }
  logContainerMetadata(input->metadata);
}

}  // namespace qn::tools

extern "C" {

JNIEXPORT jstring JNICALL TOOL_METHOD(stringFromJNI)(JNIEnv* env, jobject /*activity*/) {
  return env->NewStringUTF("Hello from C++!");
}

JNIEXPORT void JNICALL TOOL_METHOD(avbench)(JNIEnv* /*env*/, jobject /*activity*/) {
  TOOL_LOGF("current FFmpeg version: %s", av_version_info());
}

JNIEXPORT void JNICALL TOOL_METHOD(printFileInfo)(JNIEnv* env, jobject /*activity*/,
                                                  jstring path) {
  qn::tools::withPath(env, path, 0, [](const char* text) {  // a failed text stays pending
    qn::tools::printFileInfo(text);
    return 0;
  });
}

}  // extern "C"
