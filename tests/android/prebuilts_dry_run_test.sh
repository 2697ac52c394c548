#!/usr/bin/env bash
# scripts/build-android-prebuilts.sh needs an NDK, which this machine lacks, so its
# dry run is checked instead: for each ABI, FFmpeg's configure line names that
# ABI's NDK compiler and links for 16 KB pages, and libyuv's CMake line targets
# that ABI with the same linker flag.
#   prebuilts_dry_run_test.sh <path of build-android-prebuilts.sh>
set -euo pipefail
script=$1
ndk=/ndk-of-the-dry-run
work=/work-of-the-dry-run
tc=$ndk/toolchains/llvm/prebuilt/linux-x86_64/bin
page_flag=-Wl,-z,max-page-size=16384

output=$("$script" --dry-run --ndk "$ndk" --ffmpeg /src/ffmpeg --libyuv /src/libyuv \
         --work "$work" --out /out-of-the-dry-run)

failures=0
# Fails the test unless exactly one line of the output holds `marker` and that
# line has every given word.
expect_line() {
  local what=$1 marker=$2 lines word
  shift 2
  lines=$(grep -F -- "$marker" <<< "$output" || true)
  if [ "$(grep -c . <<< "$lines")" -ne 1 ]; then
    echo "FAIL $what: expected one line with '$marker', got:"$'\n'"$lines"
    failures=$((failures + 1))
    return
  fi
  for word in "$@"; do
    if [[ " $lines " != *" $word "* ]]; then
      echo "FAIL $what: no '$word' in: $lines"
      failures=$((failures + 1))
    fi
  done
}

for abi_compiler in arm64-v8a:aarch64-linux-android21-clang \
                    armeabi-v7a:armv7a-linux-androideabi21-clang \
                    x86_64:x86_64-linux-android21-clang \
                    x86:i686-linux-android21-clang; do
  abi=${abi_compiler%%:*}
  compiler=${abi_compiler#*:}
  expect_line "FFmpeg configure for $abi" "cd $work/ffmpeg-$abi &&" \
    "--cc=$tc/$compiler" "--extra-ldflags=$page_flag"
  expect_line "libyuv configure for $abi" "-B $work/libyuv-$abi " \
    "-DANDROID_ABI=$abi" "-DCMAKE_SHARED_LINKER_FLAGS=$page_flag"
done

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed; the dry run printed:"
  echo "$output"
  exit 1
fi
echo "dry run: every ABI's FFmpeg and libyuv configure lines use its compiler and 16 KB pages"
