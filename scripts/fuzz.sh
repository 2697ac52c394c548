#!/usr/bin/env bash
# Builds the decoder fuzzer with clang (libFuzzer + AddressSanitizer + UBSan),
# makes the seed corpus from generated streams, and fuzzes for a bounded time.
#   FUZZ_SECONDS=600 make fuzz     fuzz longer (default 120 s)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh clang libclang-rt-14-dev
build=${FUZZ_BUILD:-build-fuzz}
seconds=${FUZZ_SECONDS:-120}
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQN_FUZZ=ON -DQN_SANITIZE=address,undefined -DQN_JVM_TESTS=OFF -DQN_BUILD_BENCH=OFF > "$build.configure.log"
cmake --build "$build" -j "$(nproc)" --target decoder_fuzzer make_fuzz_seeds

corpus="$build/fuzz-corpus"
mkdir -p "$corpus" "$build/fuzz-artifacts"
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
[ -n "$(ls -A "$corpus")" ] || "$build/bin/make_fuzz_seeds" "$corpus"
"$build/bin/decoder_fuzzer" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$build/fuzz-artifacts/" -print_final_stats=1 "$corpus"
