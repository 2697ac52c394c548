// The native bridge without a real JVM: the load hook, and log forwarding into a
// scripted VM that records each line and every local reference.
#include <gtest/gtest.h>

#include <string>

#include "bridge/bridge.h"
#include "tests/bridge/fake_jvm.h"

namespace qn::testing {
namespace {

constexpr char kD[] = "printDFromNative";
constexpr char kDetail[] = "printDetailFromNative";

/// Points g_vm at a fresh scripted VM for one test and puts everything back afterwards.
class BridgeWithFakeVm : public ::testing::Test {
 protected:
  void SetUp() override {
    g_vm = fake.vm();
    setDetailLogging(false);
  }
  void TearDown() override {
    g_vm = nullptr;
    setDetailLogging(false);
  }
  FakeJvm fake;
};

TEST(LoadHook, AnswersVersion16AndStoresTheVm) {
  FakeJvm fake;
  // The log class is missing here (the load still succeeds, its lookup error
  // cleared), so no reference into this scripted VM outlives the test.
  fake.missingClass = true;
  EXPECT_EQ(JNI_OnLoad(fake.vm(), nullptr), JNI_VERSION_1_6);
  EXPECT_FALSE(fake.exceptionPending);
  EXPECT_EQ(fake.requestedVersion, 0x10006);
  EXPECT_EQ(g_vm, fake.vm());
  g_vm = nullptr;
}

TEST(LoadHook, RefusesAVmWithoutVersion16AndLeavesTheGlobalNull) {
  FakeJvm fake;
  fake.getEnvResult = JNI_EVERSION;
  EXPECT_EQ(JNI_OnLoad(fake.vm(), nullptr), -1);
  EXPECT_EQ(g_vm, nullptr);
}

TEST(ExportedGlobals, StartOutAsTheContractSays) {
  EXPECT_STREQ(TAG, "TAG");
  EXPECT_FALSE(isLogDetail);
  EXPECT_EQ(sizeof isLogDetail, 1u);
}

TEST(LoggingWithoutVm, DropsEveryLineWithoutCrashing) {
  ASSERT_EQ(g_vm, nullptr);
  printD("dropped %d", 1);
  setDetailLogging(true);
  printDetail("dropped %s", "too");
  setDetailLogging(false);
}

TEST_F(BridgeWithFakeVm, PrintDFormatsAndForwardsToPrintDFromNative) {
  printD("decoder type %s", "h264");
  printD("decode fail，sequence => %d, ret => %d, info => %s", 7, -22, "Invalid argument");
  ASSERT_EQ(fake.lines.size(), 2u);
  EXPECT_EQ(fake.lines[0].method, kD);
  EXPECT_EQ(fake.lines[0].text, "decoder type h264");
  EXPECT_EQ(fake.lines[1].text,
            "decode fail\xEF\xBC\x8Csequence => 7, ret => -22, info => Invalid argument");
}

TEST_F(BridgeWithFakeVm, EveryLineAttachesAndReleasesItsLocalReferences) {
  for (int i = 0; i < 1000; i++) printD("line %d", i);
  setDetailLogging(true);
  for (int i = 0; i < 1000; i++) printDetail("detail %d", i);
  EXPECT_EQ(fake.lines.size(), 2000u);
  EXPECT_EQ(fake.attachCalls, 2000);
  EXPECT_EQ(fake.liveLocalRefs, 0);
}

TEST_F(BridgeWithFakeVm, DetailLinesFollowTheSwitchAndCostNoJniCallWhileOff) {
  printDetail("silent %d", 1);
  EXPECT_EQ(fake.attachCalls, 0);
  EXPECT_EQ(fake.envCalls, 0);
  setDetailLogging(true);
  printDetail("heard %d", 2);
  setDetailLogging(false);
  printDetail("silent %d", 3);
  EXPECT_EQ(fake.textsOf(kDetail), std::vector<std::string>{"heard 2"});
  EXPECT_TRUE(fake.textsOf(kD).empty());
}

TEST_F(BridgeWithFakeVm, ALongLineIsCutAt255Bytes) {
  const std::string longText(300, 'x');
  printD("%s", longText.c_str());
  ASSERT_EQ(fake.lines.size(), 1u);
  EXPECT_EQ(fake.lines[0].text, std::string(255, 'x'));
}

TEST_F(BridgeWithFakeVm, ACutNeverSplitsAMultiByteCharacter) {
  // 254 ASCII bytes leave one byte for a three-byte full-width comma: it goes whole.
  printD("%s，tail", std::string(254, 'a').c_str());
  // 252 bytes leave exactly three: the comma fits.
  printD("%s，tail", std::string(252, 'a').c_str());
  // A four-byte character cut after two of its bytes.
  printD("%s\xF0\x9F\x98\x80", std::string(253, 'a').c_str());
  ASSERT_EQ(fake.lines.size(), 3u);
  EXPECT_EQ(fake.lines[0].text, std::string(254, 'a'));
  EXPECT_EQ(fake.lines[1].text, std::string(252, 'a') + "，");
  EXPECT_EQ(fake.lines[2].text, std::string(253, 'a'));
}

TEST_F(BridgeWithFakeVm, ALineIsDroppedWhenTheThreadCannotAttach) {
  fake.attachResult = JNI_ERR;
  printD("lost");
  EXPECT_TRUE(fake.lines.empty());
  EXPECT_EQ(fake.envCalls, 0);
}

TEST_F(BridgeWithFakeVm, AMissingClassOrMethodDropsTheLineAndClearsTheLookupError) {
  fake.missingClass = true;
  printD("no class");
  EXPECT_FALSE(fake.exceptionPending);
  fake.missingClass = false;
  fake.missingMethod = true;
  printD("no method");
  EXPECT_FALSE(fake.exceptionPending);
  EXPECT_TRUE(fake.lines.empty());
  EXPECT_EQ(fake.liveLocalRefs, 0);
  fake.missingMethod = false;
  printD("back");
  EXPECT_EQ(fake.textsOf(kD), std::vector<std::string>{"back"});
}

TEST_F(BridgeWithFakeVm, AThrowingJavaLogMethodLeavesItsExceptionPending) {
  fake.javaMethodThrows = true;
  printD("first");
  EXPECT_TRUE(fake.exceptionPending);
  // No JNI call is made over a pending exception: later lines are skipped.
  printD("second");
  EXPECT_EQ(fake.textsOf(kD), std::vector<std::string>{"first"});
  EXPECT_TRUE(fake.exceptionPending);
  EXPECT_EQ(fake.liveLocalRefs, 0);
}

TEST_F(BridgeWithFakeVm, CheckErrorWithNothingPendingSaysFalseAndLogsNothing) {
  EXPECT_FALSE(checkError(fake.env(), "GetArrayLength"));
  EXPECT_TRUE(fake.lines.empty());
}

TEST_F(BridgeWithFakeVm, CheckErrorReportsClearsAndNamesTheStep) {
  fake.exceptionPending = true;
  EXPECT_TRUE(checkError(fake.env(), "GetByteArrayElements"));
  EXPECT_FALSE(fake.exceptionPending);
  EXPECT_EQ(fake.textsOf(kD), std::vector<std::string>{"JNI Exception in GetByteArrayElements"});
}

}  // namespace
}  // namespace qn::testing
