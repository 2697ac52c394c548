#!/usr/bin/env bash
# Runs the native tests (no JVM: the decoder core and the tools' file work)
# under AddressSanitizer + UndefinedBehaviorSanitizer, then the core's
# concurrency test under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
jobs=$(nproc)
common=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQN_JVM_TESTS=OFF -DQN_BUILD_BENCH=OFF)

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan "${common[@]}" -DQN_SANITIZE=address,undefined > build-asan.configure.log
cmake --build build-asan -j "$jobs"
(cd build-asan && ctest --output-on-failure -j "$jobs")

echo "== ThreadSanitizer"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
cmake -S . -B build-tsan "${common[@]}" -DQN_SANITIZE=thread > build-tsan.configure.log
cmake --build build-tsan -j "$jobs" --target core_concurrency_test
(cd build-tsan && ctest --output-on-failure -R core_concurrency)
