#!/usr/bin/env bash
# Cross-builds the library and its tests for 64-bit ARM Linux and runs them
# under qemu-aarch64: FFmpeg's and libyuv's NEON code and ARM's picture layouts
# (16-byte line alignment) instead of x86_64's.
#
# Host tools (the aarch64 cross compiler, qemu-user, the host build's packages)
# come from Debian through scripts/install-deps.sh. The arm64 headers and
# libraries are Debian's arm64 packages, fetched with a private apt state and
# unpacked into a root folder under the build folder: the host's own packages
# and apt configuration stay as they are.
#
#   BUILD_ARM64=dir   build folder (default build-arm64)
#   QN_JVM_TESTS=OFF  skip the tests that run inside the emulated arm64 JVM
#   JOBS=n            parallel compile and test jobs (default: all cores)
set -euo pipefail
cd "$(dirname "$0")/.."

source_dir=$PWD
build_root=$(realpath -m "${BUILD_ARM64:-build-arm64}")
sysroot=$build_root/sysroot
apt_root=$build_root/apt
build_dir=$build_root/build
jobs=${JOBS:-$(nproc)}
jvm_tests=${QN_JVM_TESTS:-ON}

arm64_packages=(
  libc6-dev libstdc++-12-dev
  libavcodec-dev libavformat-dev libavutil-dev libswresample-dev libswscale-dev libavfilter-dev
  libyuv-dev
  android-liblog-dev android-platform-frameworks-native-headers
  libgtest-dev libgmock-dev
  openjdk-17-jdk-headless
)

# apt-get on a private arm64 package state under the build folder.
apt_arm64() {
  apt-get -q -o Dir::State="$apt_root/state" -o Dir::State::status="$apt_root/status" \
    -o Dir::Cache="$apt_root/cache" -o APT::Architecture=arm64 -o APT::Architectures::=arm64 \
    -o APT::Sandbox::User="$(id -un)" -o Debug::NoLocking=1 "$@"
}

# Fetches the arm64 packages with everything they depend on, as a fresh arm64
# system would get them, and unpacks them into the root folder. The root is
# kept while the package list stays the same; delete it to take updates.
make_sysroot() {
  local stamp=$sysroot/.qn-packages
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${arm64_packages[*]}" ]; then
    return
  fi
  echo "Making the arm64 root in $sysroot"
  rm -rf "$sysroot" "$apt_root"
  mkdir -p "$apt_root/state/lists/partial" "$apt_root/cache/archives/partial" "$sysroot"
  : > "$apt_root/status"
  apt_arm64 update > "$apt_root/update.log" 2>&1 || { cat "$apt_root/update.log"; return 1; }
  apt_arm64 install -y --download-only --no-install-recommends "${arm64_packages[@]}" \
    > "$apt_root/download.log" 2>&1 || { cat "$apt_root/download.log"; return 1; }
  local deb
  for deb in "$apt_root"/cache/archives/*.deb; do
    dpkg-deb -x "$deb" "$sysroot"
  done
  relativize_links
  echo "${arm64_packages[*]}" > "$stamp"
}

# Absolute symbolic links (libm.so -> /lib/...) would point into the host:
# make them relative so that they stay inside the root.
relativize_links() {
  local link target
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$sysroot$target")" "$link"
  done < <(find "$sysroot" -lname '/*' -print0)
}

# The 16 KB page alignment and the exported contract of the arm64 library.
check_library() {
  local lib=$build_dir/lib/libqn_iot_lib.so
  aarch64-linux-gnu-readelf -hW "$lib" | grep -q 'Machine: *AArch64' \
    || { echo "$lib is not an AArch64 library"; return 1; }
  if aarch64-linux-gnu-readelf -lW "$lib" | awk '$1 == "LOAD" && $NF != "0x4000" { bad = 1 } END { exit !bad }'; then
    echo "$lib has LOAD segments not aligned to 16 KB pages"
    return 1
  fi
  local extra
  extra=$(aarch64-linux-gnu-nm -D --defined-only "$lib" | awk '{ print $3 }' \
    | grep -v -E '^(JNI_OnLoad|Java_.*|g_vm|TAG|isLogDetail|_Z6printDPKcz|_Z11printDetailPKcz|_Z10checkError.*)$' || true)
  if [ -n "$extra" ]; then
    echo "$lib exports more than its contract:"
    echo "$extra"
    return 1
  fi
  echo "$lib: AArch64, LOAD segments aligned to 16 KB, exports only the contract"
}

scripts/install-deps.sh g++-aarch64-linux-gnu qemu-user
make_sysroot

cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchain-aarch64-linux-gnu.cmake" \
  -DQN_ARM64_SYSROOT="$sysroot" -DQN_JVM_TESTS="$jvm_tests" -DQN_BUILD_BENCH=OFF \
  > "$build_root/configure.log" || { cat "$build_root/configure.log"; exit 1; }
cmake --build "$build_dir" -j "$jobs"
check_library
# These two start the host demo programs as a second java process; a child
# process of an emulated one runs natively (no binfmt_misc here), so it cannot
# be the arm64 JVM. They test host-only Java programs, not the library's code.
child_jvm_tests='^(demo_live_decode_jvm_test|tool_runner_jvm_test)$'
cd "$build_dir"
ctest --output-on-failure -j "$jobs" -E "$child_jvm_tests"
