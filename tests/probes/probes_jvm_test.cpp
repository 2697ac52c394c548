// The probes through their Java classes: P2PUtil.getSocketType tells stream
// sockets (1) from other sockets (0) and from descriptors it cannot query (-1),
// leaving the descriptor open; TestJni.stringFromJNI is FFmpeg's version text.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <string>

extern "C" {
#include <libavutil/avutil.h>
}

#include "tests/support/android_log.h"
#include "tests/support/jvm.h"
#include "tests/support/media.h"

namespace qn::testing {
namespace {

/// P2PUtil.getSocketType(descriptor), called through Java.
int javaSocketType(int descriptor) {
  JNIEnv* env = jniEnv();
  jclass util = env->FindClass("com/quarn/iot/corvasdk/core/thirdparty/cs2/P2PUtil");
  EXPECT_NE(util, nullptr) << takeException(env);
  if (util == nullptr) return INT_MIN;
  jmethodID query = env->GetStaticMethodID(util, "getSocketType", "(I)I");
  const jint type = env->CallStaticIntMethod(util, query, descriptor);
  EXPECT_EQ(takeException(env), "");
  env->DeleteLocalRef(util);
  return type;
}

/// An owned descriptor, closed when the holder goes.
struct Descriptor {
  int fd;
  explicit Descriptor(int value) : fd(value) {}
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
};

/// A TCP socket listening on a free loopback port; the port is stored in *port.
int listeningTcpSocket(in_port_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(fd, 1) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ADD_FAILURE() << "no listening socket";
  }
  *port = address.sin_port;
  return fd;
}

/// A TCP socket connected to the loopback port.
int connectedTcpSocket(in_port_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = port;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ADD_FAILURE() << "connect failed";
  }
  return fd;
}

TEST(SocketTypeThroughJava, StreamSocketsGiveOneWhateverTheirFamilyOrFlags) {
  in_port_t port = 0;
  const Descriptor listening(listeningTcpSocket(&port));
  const Descriptor client(connectedTcpSocket(port));
  const Descriptor accepted(accept(listening.fd, nullptr, nullptr));
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  const Descriptor unixA(pair[0]), unixB(pair[1]);
  const Descriptor flagged(socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const Descriptor unixFlagged(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));

  EXPECT_EQ(javaSocketType(listening.fd), 1);
  EXPECT_EQ(javaSocketType(client.fd), 1);
  EXPECT_EQ(javaSocketType(accepted.fd), 1);
  EXPECT_EQ(javaSocketType(unixA.fd), 1);
  EXPECT_EQ(javaSocketType(flagged.fd), 1);
  EXPECT_EQ(javaSocketType(unixFlagged.fd), 1);
}

TEST(SocketTypeThroughJava, OtherSocketTypesGiveZero) {
  const Descriptor udp(socket(AF_INET, SOCK_DGRAM, 0));
  const Descriptor udpFlagged(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const Descriptor seqPacket(socket(AF_UNIX, SOCK_SEQPACKET, 0));
  const Descriptor unixDatagram(socket(AF_UNIX, SOCK_DGRAM, 0));
  ASSERT_GE(seqPacket.fd, 0);

  EXPECT_EQ(javaSocketType(udp.fd), 0);
  EXPECT_EQ(javaSocketType(udpFlagged.fd), 0);
  EXPECT_EQ(javaSocketType(seqPacket.fd), 0);
  EXPECT_EQ(javaSocketType(unixDatagram.fd), 0);
}

TEST(SocketTypeThroughJava, DescriptorsThatAreNotOpenSocketsGiveMinusOne) {
  // A high number, closed again, so that no thread of the JVM reuses it meanwhile.
  const int closed = dup2(STDERR_FILENO, 987);
  ASSERT_EQ(closed, 987);
  close(closed);
  const std::string filePath = makeTempDir("probes") + "/plain.txt";
  ASSERT_TRUE(writeFile(filePath, {'x'}));
  const Descriptor file(open(filePath.c_str(), O_RDONLY | O_CLOEXEC));
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const Descriptor readEnd(pipeEnds[0]), writeEnd(pipeEnds[1]);

  EXPECT_EQ(javaSocketType(closed), -1);
  EXPECT_EQ(javaSocketType(-1), -1);
  EXPECT_EQ(javaSocketType(INT_MIN), -1);
  EXPECT_EQ(javaSocketType(file.fd), -1);
  EXPECT_EQ(javaSocketType(readEnd.fd), -1);
}

TEST(SocketTypeThroughJava, TheDescriptorStaysOpenAndUsableAndNothingIsLogged) {
  takeAndroidLog();
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  const Descriptor a(pair[0]), b(pair[1]);
  const Descriptor udp(socket(AF_INET, SOCK_DGRAM, 0));
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(javaSocketType(a.fd), 1);
    EXPECT_EQ(javaSocketType(udp.fd), 0);
  }
  EXPECT_NE(fcntl(a.fd, F_GETFD), -1);
  EXPECT_NE(fcntl(udp.fd, F_GETFD), -1);
  ASSERT_EQ(write(a.fd, "ping", 4), 4);
  char received[4] = {};
  ASSERT_EQ(read(b.fd, received, sizeof received), 4);
  EXPECT_EQ(std::string(received, 4), "ping");
  EXPECT_TRUE(takeAndroidLog().empty());
}

TEST(VersionProbeThroughJava, IsExactlyTheLinkedFfmpegVersionText) {
  takeAndroidLog();
  JNIEnv* env = jniEnv();
  jclass probe = env->FindClass("com/quarn/iot/ui/activity/TestJni");
  ASSERT_NE(probe, nullptr) << takeException(env);
  jobject screen = env->NewObject(probe, env->GetMethodID(probe, "<init>", "()V"));
  auto text = static_cast<jstring>(env->CallObjectMethod(
      screen, env->GetMethodID(probe, "stringFromJNI", "()Ljava/lang/String;")));
  ASSERT_EQ(takeException(env), "");
  ASSERT_NE(text, nullptr);
  const char* chars = env->GetStringUTFChars(text, nullptr);
  EXPECT_STREQ(chars, av_version_info());
  env->ReleaseStringUTFChars(text, chars);
  EXPECT_EQ(env->GetStringUTFLength(text), static_cast<jsize>(std::string(av_version_info()).size()));
  EXPECT_TRUE(takeAndroidLog().empty());
  env->DeleteLocalRef(text);
  env->DeleteLocalRef(screen);
  env->DeleteLocalRef(probe);
}

}  // namespace
}  // namespace qn::testing
