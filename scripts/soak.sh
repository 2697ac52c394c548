#!/usr/bin/env bash
# `make soak`: the live path through Java for SOAK_MINUTES (default 10) with
# 8 decoders on 8 threads (com.quarn.iot.programs.LiveSoak): streams joined mid-way,
# random network chunking, 1 % of chunks lost or damaged, resolution changes,
# detail logging flipping, decoders reconnecting. Samples every 10 s go to
# $BUILD/soak/soak.csv and soak.png. Fails on a crash, on any -Xcheck:jni
# warning or error, or on growth past the bounds that LiveSoak states.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build}
BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo}
MINUTES=${SOAK_MINUTES:-10}
JOBS=${JOBS:-$(nproc)}
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}

scripts/install-deps.sh
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE="$BUILD_TYPE" > "$BUILD.configure.log" ||
  { cat "$BUILD.configure.log"; exit 1; }
cmake --build "$BUILD" -j "$JOBS" --target qn_host_java > "$BUILD/soak-build.log" ||
  { tail -40 "$BUILD/soak-build.log"; exit 1; }

out=$BUILD/soak
streams=$out/streams
mkdir -p "$streams"
SIZES=(640x360 320x240 480x272)

# make_stream CODEC FILE: the sizes one after another in one elementary stream
# (each part starts with its parameter sets and a key frame), 8 s of each at
# 25 pictures/s with a key frame every second, made once.
make_stream() {
  local codec=$1 file=$2 size encoder
  [[ -s $file ]] && return 0
  echo "Making $file..."
  : > "$file.tmp"
  for size in "${SIZES[@]}"; do
    if [[ $codec == h264 ]]; then
      encoder=(-c:v libx264 -preset veryfast -bf 0 -g 25 -f h264)
    else
      encoder=(-c:v libx265 -preset veryfast
               -x265-params "keyint=25:bframes=0:repeat-headers=1:log-level=error" -f hevc)
    fi
    ffmpeg -hide_banner -nostdin -loglevel error -f lavfi -i "testsrc2=size=$size:rate=25" -t 8 \
      -pix_fmt yuv420p "${encoder[@]}" -y "$streams/part.$codec"
    cat "$streams/part.$codec" >> "$file.tmp"
  done
  rm -f "$streams/part.$codec"
  mv "$file.tmp" "$file"
}
make_stream h264 "$streams/sizes.h264"
make_stream h265 "$streams/sizes.h265"

# The Java heap is pinned at its full size from the start, so that its growth
# cannot pass for the resident growth of the library.
echo "Soaking the live path for $MINUTES min (samples every 10 s in $out/soak.csv)..."
log=$out/soak.log
status=0
"$JAVA_HOME/bin/java" --enable-native-access=ALL-UNNAMED -Xcheck:jni -Xms256m -Xmx256m -XX:+AlwaysPreTouch -Djava.awt.headless=true -Djava.library.path="$BUILD/lib" \
  -XX:ErrorFile="$out/hs_err_%p.log" -cp "$BUILD/java/qn_host.jar" com.quarn.iot.programs.LiveSoak \
  "$out" $((MINUTES * 60)) "$streams/sizes.h264" "$streams/sizes.h265" "${SIZES[@]}" > "$log" 2>&1 || status=$?
grep '^soak:' "$log" || true
# The plot, drawn by a JVM of its own without -Xcheck:jni (see LiveSoak).
"$JAVA_HOME/bin/java" -Djava.awt.headless=true -cp "$BUILD/java/qn_host.jar" com.quarn.iot.programs.LiveSoak \
  plot "$out/soak.csv" "$out/soak.png" || echo "soak: no plot drawn"
if grep -q -E 'WARNING in native method|FATAL ERROR in native method' "$log"; then
  grep -m 5 -E 'WARNING in native method|FATAL ERROR in native method' "$log"
  echo "soak: FAILED: -Xcheck:jni reported misuse of JNI (see $log)"
  exit 1
fi
if [[ $status -ne 0 ]]; then
  tail -20 "$log"
  echo "soak: FAILED with exit status $status (see $log)"
  exit 1
fi
echo "Written: $out/soak.csv, $out/soak.png, $log"
