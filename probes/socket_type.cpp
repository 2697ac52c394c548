// Socket type query of the peer-to-peer connection layer: is a descriptor a
// stream socket? The descriptor belongs to the caller and stays open.
#include <jni.h>
#include <sys/socket.h>

namespace {

/// 1 for a stream socket, 0 for any other socket type, -1 when the descriptor cannot be queried.
int socketKind(int descriptor) {
  int type = 0;
  socklen_t length = sizeof type;
  if (getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &length) < 0) return -1;
  // SO_TYPE reports the bare type: SOCK_NONBLOCK / SOCK_CLOEXEC are not part of it.
  return type == SOCK_STREAM ? 1 : 0;
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL
Java_com_quarn_iot_corvasdk_core_thirdparty_cs2_P2PUtil_getSocketType(JNIEnv* /*env*/,
                                                                      jclass /*caller*/,
                                                                      jint descriptor) {
  return socketKind(descriptor);
}
