#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UBSan), makes their
# seed corpora from media generated here, and runs every target in turn for a
# bounded time. Targets: the live decoder core, and the cores of the tools that
# read outside files (file information, extraction, remux, raw H.264 and raw
# AAC decoding).
#   FUZZ_SECONDS=600 make fuzz     each target for 600 s (default 120)
#   FUZZ_TARGETS="remux_fuzzer"    only these targets
#   FUZZ_TESTS=1                   first run the native tests in the same build
#                                  (what `make test` does, with FUZZ_SECONDS=30)
#   FUZZ_RUNS=n                    stop each target after n inputs (as well)
#   FUZZ_MAX_LEN=n                 longest input (default 16384, twice the largest
#                                  seed: longer inputs only run slower)
# Memory is held to what the library promises, so a memory bomb is a finding:
# 512 MiB resident (-rss_limit_mb, FUZZ_RSS_LIMIT_MB) and no single allocation over
# FFmpeg's 256 MiB limit (-malloc_limit_mb, FUZZ_MALLOC_LIMIT_MB).
# Each target's corpus grows in $build/fuzz-corpus/<target>; a crashing input
# lands in $build/fuzz-artifacts/<target>-crash-... and fails the script. Inputs
# that once failed are kept in tests/fuzz/regressions/<target>/ and each target
# runs them first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh clang libclang-rt-14-dev
build=${FUZZ_BUILD:-build-fuzz}
seconds=${FUZZ_SECONDS:-120}
runs=${FUZZ_RUNS:--1}
max_len=${FUZZ_MAX_LEN:-16384}
limits=(-rss_limit_mb="${FUZZ_RSS_LIMIT_MB:-512}" -malloc_limit_mb="${FUZZ_MALLOC_LIMIT_MB:-256}")
jobs=${JOBS:-$(nproc)}
targets=(${FUZZ_TARGETS:-decoder_fuzzer file_info_fuzzer extract_fuzzer remux_fuzzer
         decode_video_fuzzer decode_audio_fuzzer})
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}

echo "== Building the AddressSanitizer + UBSan + libFuzzer build in $build"
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQN_FUZZ=ON -DQN_SANITIZE=address,undefined -DQN_JVM_TESTS=OFF -DQN_BUILD_BENCH=OFF \
  > "$build.configure.log" || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$jobs" > "$build/build.log" 2>&1 || { tail -60 "$build/build.log"; exit 1; }

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

if [[ ${FUZZ_TESTS:-0} == 1 ]]; then
  echo "== Native tests under AddressSanitizer + UBSan"
  (cd "$build" && ctest --output-on-failure -j "$jobs")
fi

corpus=$build/fuzz-corpus
artifacts=$build/fuzz-artifacts
seeds=$build/fuzz-seeds
mkdir -p "$corpus" "$artifacts"

# ffmpeg_quiet ARGS...: the ffmpeg tool making a small test file.
ffmpeg_quiet() { ffmpeg -hide_banner -nostdin -loglevel error -y "$@"; }

# make_seeds: tiny generated media (64x48 pictures, a fifth of a second of sound),
# so that each input runs fast: the container files, a raw H.264 stream long
# enough for a saved picture (every 20th), and raw AAC in ADTS framing.
make_seeds() {
  [[ -s $seeds/done ]] && return 0
  rm -rf "$seeds"
  mkdir -p "$seeds"
  local av=(-f lavfi -i "testsrc2=size=64x48:rate=25" -f lavfi -i "sine=f=440:sample_rate=8000"
            -t 0.2 -pix_fmt yuv420p -c:v libx264 -preset ultrafast -g 3 -metadata title=seed
            -c:a aac -ac 1 -b:a 16k)
  ffmpeg_quiet "${av[@]}" "$seeds/seed.mp4"
  ffmpeg_quiet "${av[@]}" "$seeds/seed.mkv"
  ffmpeg_quiet "${av[@]}" -f mpegts "$seeds/seed.ts"
  ffmpeg_quiet "${av[@]}" -f flv "$seeds/seed.flv"
  ffmpeg_quiet -f lavfi -i "sine=f=440:sample_rate=8000" -t 0.3 -c:a aac -ac 1 -b:a 16k -f adts "$seeds/seed.aac"
  ffmpeg_quiet -f lavfi -i "testsrc2=size=64x48:rate=25" -frames:v 21 -pix_fmt yuv420p -c:v libx264 \
    -preset ultrafast -g 10 -bf 2 -f h264 "$seeds/seed.h264"
  mkdir -p "$seeds/decoder"
  "$build/bin/make_fuzz_seeds" "$seeds/decoder" > /dev/null
  echo ok > "$seeds/done"
}

# with_selector BYTE FILE OUT: the file behind one selector byte (the targets that
# take a first byte of choices).
with_selector() { { printf "\\x$(printf %02x "$1")"; cat "$2"; } > "$3"; }

# seed_corpus TARGET: copies the target's seeds into its corpus when it is empty.
seed_corpus() {
  local target=$1 dir=$corpus/$1 file selector
  mkdir -p "$dir"
  [[ -n $(ls -A "$dir") ]] && return 0
  case $target in
    decoder_fuzzer) cp "$seeds"/decoder/* "$dir"/ ;;
    file_info_fuzzer) cp "$seeds"/seed.{mp4,mkv,ts,flv,aac} "$dir"/ ;;
    extract_fuzzer)
      selector=0
      for file in "$seeds"/seed.{mp4,mkv,ts,flv,aac}; do
        with_selector $((selector * 2)) "$file" "$dir/video-$(basename "$file")"
        with_selector $((selector * 2 + 1)) "$file" "$dir/audio-$(basename "$file")"
        selector=$((selector + 1))
      done ;;
    remux_fuzzer)
      selector=0
      for file in "$seeds"/seed.{mp4,mkv,ts,flv,aac}; do
        with_selector $((selector % 4)) "$file" "$dir/$(basename "$file")"
        selector=$((selector + 1))
      done ;;
    decode_video_fuzzer) cp "$seeds/seed.h264" "$dir"/ ;;
    decode_audio_fuzzer) cp "$seeds/seed.aac" "$dir"/ ;;
  esac
}

make_seeds
passed=0
failed=0
for target in "${targets[@]}"; do
  seed_corpus "$target"
  regressions=tests/fuzz/regressions/$target
  if [[ -d $regressions ]] && [[ -n $(ls -A "$regressions") ]]; then
    echo "== $target on the kept inputs of $regressions"
    if ! "$build/bin/$target" -timeout=25 "${limits[@]}" "$regressions"/* > "$build/$target.log" 2>&1; then
      failed=$((failed + 1))
      tail -60 "$build/$target.log"
      echo "$target: FAILED on a kept input"
      continue
    fi
  fi
  echo "== $target for ${seconds} s"
  if "$build/bin/$target" -max_total_time="$seconds" -runs="$runs" -max_len="$max_len" -timeout=25 \
       "${limits[@]}" -artifact_prefix="$artifacts/$target-" -print_final_stats=1 \
       "$corpus/$target" 2> "$build/$target.log"; then
    passed=$((passed + 1))
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$build/$target.log" |
      tr '\n' ' '
    echo
  else
    failed=$((failed + 1))
    tail -60 "$build/$target.log"
    echo "$target: FAILED (reproducer in $artifacts/)"
  fi
done
echo "fuzz: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
