# Cross build for 64-bit ARM Linux: Debian's aarch64-linux-gnu compilers against
# an arm64 Debian root folder (QN_ARM64_SYSROOT, made by scripts/test-arm64.sh
# from Debian's arm64 packages), with executables run under qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

if(NOT QN_ARM64_SYSROOT)
  set(QN_ARM64_SYSROOT "$ENV{QN_ARM64_SYSROOT}")
endif()
if(NOT IS_DIRECTORY "${QN_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu")
  message(FATAL_ERROR "QN_ARM64_SYSROOT (\"${QN_ARM64_SYSROOT}\") is not an arm64 Debian root; "
                      "scripts/test-arm64.sh makes one")
endif()
# try_compile projects read this file again and need the same root.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QN_ARM64_SYSROOT)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_SYSROOT "${QN_ARM64_SYSROOT}")

# Headers, libraries and packages come from the root only; build tools
# (javac, pkg-config) are the host's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the root's .pc files and puts the root in front of their paths.
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_LIBDIR}
    "${QN_ARM64_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${QN_ARM64_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${QN_ARM64_SYSROOT}")

# JNI headers and libjvm of the root's arm64 JDK; javac stays the host's
# (JAVA_HOME), since class files are the same on every architecture.
set(qn_arm64_jdk "${QN_ARM64_SYSROOT}/usr/lib/jvm/java-17-openjdk-arm64")
set(JAVA_INCLUDE_PATH "${qn_arm64_jdk}/include" CACHE PATH "arm64 JNI headers")
set(JAVA_INCLUDE_PATH2 "${qn_arm64_jdk}/include/linux" CACHE PATH "arm64 JNI machine headers")
set(JAVA_AWT_INCLUDE_PATH "${qn_arm64_jdk}/include" CACHE PATH "arm64 JAWT headers")
set(JAVA_JVM_LIBRARY "${qn_arm64_jdk}/lib/server/libjvm.so" CACHE FILEPATH "arm64 libjvm")

# ctest runs every test executable through user-mode emulation; -L makes the
# root's dynamic loader and libraries the ones the executable gets.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L "${QN_ARM64_SYSROOT}")
