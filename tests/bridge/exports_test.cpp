// The library exports exactly its contract: the load hook, the Java entry
// points, the three log functions and the three globals, nothing else.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "tests/support/media.h"

namespace qn::testing {
namespace {

TEST(Exports, TheDynamicSymbolsAreExactlyTheContract) {
  const std::string listing = commandOutput(std::string("nm -D --defined-only ") + QN_BUILD_DIR +
                                            "/lib/libqn_iot_lib.so");
  std::set<std::string> exported;
  std::istringstream lines(listing);
  std::string address, kind, name;
  while (lines >> address >> kind >> name) exported.insert(name);

  std::set<std::string> expected = {
      "JNI_OnLoad", "g_vm", "TAG", "isLogDetail",
      "_Z6printDPKcz", "_Z11printDetailPKcz", "_Z10checkErrorP7JNIEnv_PKc",
      "Java_com_quarn_iot_corvasdk_core_decode_FFmpegDecoder_create",
      "Java_com_quarn_iot_corvasdk_core_decode_FFmpegDecoder_decode",
      "Java_com_quarn_iot_corvasdk_core_decode_FFmpegDecoder_decodeInto",
      "Java_com_quarn_iot_corvasdk_core_decode_FFmpegDecoder_destroy",
      "Java_com_quarn_iot_corvasdk_core_decode_FFmpegDecoder_drain",
      "Java_com_quarn_iot_corvasdk_core_decode_FFmpegDecoder_setWholeAccessUnits",
      "Java_com_quarn_iot_corvasdk_core_decode_FFmpegDecoder_setOutputSize",
      "Java_com_quarn_iot_corvasdk_core_decode_FFmpegDecoder_setKeyFramesOnly",
      "Java_com_quarn_iot_corvasdk_core_decode_FFmpegDecoder_setThreads",
      "Java_com_quarn_iot_corvasdk_core_decode_FFmpegDecoder_setFrameThreads",
      "Java_com_quarn_iot_corvasdk_core_thirdparty_cs2_P2PUtil_getSocketType",
      "Java_com_quarn_iot_ui_activity_TestJni_stringFromJNI"};
  for (const char* tool : {"stringFromJNI", "avbench", "printFileInfo", "extractAudio",
                           "extractVideo", "remux", "decodeVideo", "encodeVideo", "decodeAudio",
                           "encodeAudio", "resampleAudio", "scaleVideo"}) {
    expected.insert(std::string("Java_com_example_avbench_MainActivity_") + tool);
  }
  EXPECT_EQ(exported, expected);
}

}  // namespace
}  // namespace qn::testing
