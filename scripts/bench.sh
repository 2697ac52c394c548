#!/usr/bin/env bash
# `make bench`: builds the live-decode benchmarks, makes their test streams
# once (cached under the build folder), runs every case RUNS times and writes
# bench.md (the table it prints), bench.csv (raw figures) and bench.png (chart)
# under $BUILD/bench/results, and quality.md (PSNR of the app's conversion
# against a double-precision conversion) and conversion.md (the conversion's
# cost per 1080p picture with libyuv's own tables and with the app's) beside them.
#
# Per stream, side by side in each run: the app path (Java, one access unit per
# FFmpegDecoder.decode call, each bitmap recycled after one pixel is read; and
# again with each bitmap dropped for the collector), the floor (the same decoding in C++ without JNI
# or bitmaps) and the peer (the ffmpeg tool, one thread, to raw RGBA). For the
# 1920x1080 streams also the app path with fresh pages for every bitmap, as on
# Android (-Dqn.bitmap.freshPages=true), and the contract floor (the floor
# converting into a fresh mapping per picture); and the app path of a viewer that
# reuses two bitmaps through FFmpegDecoder.decodeInto, warm and on fresh pages. Then
# 1, 2, 4 and 8 decoders on as many Java threads, and the resident size over
# LEAK_CALLS calls of one decoder. Last, the delay from an access unit to its
# picture, one unit per call, with the parser's framing and with whole access
# units (delay.md), on streams with and without B-frames.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build}
BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo}
RUNS=${RUNS:-3}
FRAMES=${FRAMES:-300}
LEAK_CALLS=${LEAK_CALLS:-10000}
JOBS=${JOBS:-$(nproc)}
export JAVA_HOME=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
# Extra flags of every benchmark JVM (e.g. -Dqn.bitmap.collectAfterBytes=N).
JVM_FLAGS=${JVM_FLAGS:-}
# The leak run pins the Java heap at its full size from the start, so heap
# growth cannot pass for native growth.
LEAK_JVM_FLAGS=${LEAK_JVM_FLAGS:--Xms256m -Xmx256m -XX:+AlwaysPreTouch}

# name, create() type (1 H.264, 2 H.265), size, bit rate
STREAMS=(
  "h264-640x360 1 640x360 1M"
  "h264-1280x720 1 1280x720 2M"
  "h264-1920x1080 1 1920x1080 4M"
  "h265-1920x1080 2 1920x1080 3M"
  "h264-1920x1080-full709 1 1920x1080 4M"
  "h265-1920x1080-10bit 2 1920x1080 3M"
)
# Pixel format and colour signalling of the streams that are not unsignalled 8-bit 4:2:0.
declare -A COLOUR=(
  [h264-1920x1080-full709]="-pix_fmt yuvj420p -color_range pc -colorspace bt709 -color_primaries bt709 -color_trc bt709"
  [h265-1920x1080-10bit]="-pix_fmt yuv420p10le -color_range tv -colorspace bt709 -color_primaries bt709 -color_trc bt709"
  [h264-1920x1080-709]="-pix_fmt yuv420p -color_range tv -colorspace bt709 -color_primaries bt709 -color_trc bt709"
)
# Streams that also run on fresh pages.
FRESH_PATTERN='*-1920x1080'
# name, create() type, size, bit rate, B-frames: the streams of the delay rows.
DELAY_STREAMS=(
  "h264-640x360 1 640x360 1M 0"
  "h264-640x360-bframes 1 640x360 1M 2"
  "h265-640x360 2 640x360 1M 0"
  "h265-640x360-bframes 2 640x360 1M 3"
)
# name, create() type, size, bit rate: the streams of the conversion cost rows,
# one per colour path (unsignalled, limited and full-range BT.709, 10-bit).
CONVERSION_STREAMS=(
  "h264-1920x1080 1 1920x1080 4M"
  "h264-1920x1080-709 1 1920x1080 4M"
  "h264-1920x1080-full709 1 1920x1080 4M"
  "h265-1920x1080-10bit 2 1920x1080 3M"
)
# The camera-grid rows: streams, decoder counts, seconds per row (25 calls each).
GRID_STREAMS=(h264-1280x720 h264-1920x1080)
GRID_DECODERS=(1 4 9 16)
GRID_SECONDS=${GRID_SECONDS:-8}
# name, create() type, size, bit rate: the single big view with 1 and 2 threads.
BIG_STREAMS=(
  "h264-3840x2160 1 3840x2160 12M"
  "h265-3840x2160 2 3840x2160 8M"
)
# BENCH_PART=grid runs only the camera-grid rows.
BENCH_PART=${BENCH_PART:-all}
SCALE_STREAM=h264-1280x720
SCALE_DECODERS=(1 2 4 8)
LEAK_STREAM=h264-640x360

streams=$BUILD/bench/streams
results=$BUILD/bench/results
csv=$results/bench.csv
floor=$BUILD/bin/qn_bench_floor
# The collections that the bitmap stand-in requests run concurrently with the
# decoding thread, as Android's do (G1 starts a concurrent cycle for System.gc()).
java_run=("$JAVA_HOME/bin/java" --enable-native-access=ALL-UNNAMED -Djava.awt.headless=true -XX:+ExplicitGCInvokesConcurrent -Djava.library.path="$BUILD/lib"
          -cp "$BUILD/java/qn_host.jar:$BUILD/java/qn_bench.jar")

echo "Building in $BUILD ($BUILD_TYPE)..."
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE="$BUILD_TYPE" -DQN_BUILD_BENCH=ON > "$BUILD.configure.log" ||
  { cat "$BUILD.configure.log"; exit 1; }
cmake --build "$BUILD" -j "$JOBS" --target qn_bench > "$BUILD/bench-build.log" ||
  { tail -40 "$BUILD/bench-build.log"; exit 1; }
mkdir -p "$streams" "$results"

# stream_path NAME: the cached elementary stream of a case, FRAMES pictures long.
stream_path() { [[ $1 == h265-* ]] && echo "$streams/$1-$FRAMES.h265" || echo "$streams/$1-$FRAMES.h264"; }

# make_stream NAME TYPE SIZE RATE [BFRAMES]: camera-like test stream (moving pattern
# with sensor noise, 25 pictures/s, key frame every 50, no B-frames unless given), made once.
make_stream() {
  local name=$1 type=$2 size=$3 rate=$4 bframes=${5:-0} out
  out=$(stream_path "$name")
  [[ -s $out && -s $out.units ]] && return 0
  echo "Making $name ($FRAMES pictures, $rate bit/s)..."
  local encoder colour
  read -r -a colour <<< "${COLOUR[$name]:--pix_fmt yuv420p}"
  if [[ $type == 1 ]]; then
    encoder=(-c:v libx264 -preset veryfast -profile:v main -bf "$bframes" -g 50 -keyint_min 50 -sc_threshold 0
             -b:v "$rate" -maxrate "$rate" -bufsize "$rate" -f h264)
  else
    encoder=(-c:v libx265 -preset veryfast -b:v "$rate"
             -x265-params "keyint=50:min-keyint=50:bframes=$bframes:scenecut=0:repeat-headers=1:log-level=error"
             -f hevc)
  fi
  ffmpeg -hide_banner -nostdin -loglevel error -f lavfi -i "testsrc2=size=$size:rate=25,noise=alls=12:allf=t" \
    -frames:v "$FRAMES" "${colour[@]}" "${encoder[@]}" -y "$out.tmp"
  "$floor" units "$out.tmp" "$out.units" "$type"
  mv "$out.tmp" "$out"
}

# peer RUN NAME TYPE: the ffmpeg tool decoding to raw RGBA with one thread.
# Pictures per second use its own -benchmark real time (process start-up and
# option parsing excluded); the wall time around it is kept as well.
peer() {
  local run=$1 name=$2 type=$3 stream format log start end pictures rtime cpu maxrss wall
  stream=$(stream_path "$name")
  [[ $type == 1 ]] && format=h264 || format=hevc
  log=$results/peer.log
  start=$(date +%s%N)
  ffmpeg -hide_banner -nostdin -nostats -benchmark -threads 1 -f "$format" -i "$stream" \
    -filter_threads 1 -f rawvideo -pix_fmt rgba -y /dev/null 2> "$log"
  end=$(date +%s%N)
  pictures=$(wc -l < "$stream.units")
  rtime=$(sed -n 's/.*bench: .*rtime=\([0-9.]*\)s.*/\1/p' "$log" | tail -1)
  cpu=$(sed -n 's/.*bench: utime=\([0-9.]*\)s stime=\([0-9.]*\)s.*/\1 \2/p' "$log" | tail -1 |
        awk '{ printf "%.6f", $1 + $2 }')
  maxrss=$(sed -n 's/.*bench: maxrss=\([0-9]*\)k.*/\1/p' "$log" | tail -1)
  wall=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.6f", (e - s) / 1e9 }')
  [[ -n $rtime ]] || rtime=$wall
  awk -v r="$run" -v n="$name" -v p="$pictures" -v t="$rtime" -v c="$cpu" -v m="${maxrss:-0}" -v w="$wall" \
    'BEGIN { printf "%s,peer,%s,1,%d,%d,%.6f,%s,%.2f,,,%d,,\n", r, n, p, p, t, c, p / t, m;
             printf "%s,peer-wall,%s,1,%d,%d,%.6f,%s,%.2f,,,%d,,\n", r, n, p, p, w, c, p / w, m }'
}

# app ARGS...: the Java side of the bench with the bench's JVM flags.
app() {
  # shellcheck disable=SC2086
  "${java_run[@]}" $JVM_FLAGS com.quarn.iot.bench.AppPathBench "$@"
}

for entry in "${STREAMS[@]}" "${DELAY_STREAMS[@]}" "${BIG_STREAMS[@]}" "${CONVERSION_STREAMS[@]}"; do
  # The grid rows alone need only their own streams.
  if [[ $BENCH_PART == grid && " ${GRID_STREAMS[*]} " != *" ${entry%% *} "* ]] &&
     [[ " ${BIG_STREAMS[*]} " != *"$entry"* ]]; then
    continue
  fi
  # shellcheck disable=SC2086
  make_stream $entry
done

# grid_rows: N decoders paced at 25 pictures/s, full-size, tile-size and 4 live + N-4
# on key frames only, then the 3840x2160 view with 1 and 2 threads (slice, then frame
# threads). Written to grid.md and grid.csv.
grid_rows() {
  local gridcsv=$results/grid.csv grid=$results/grid.md name type stream decoders mode
  echo "case,mode,decoders,threads,frame_threads,calls,late_calls,late_pct,cores,cpu_ms_per_call,rss_mib_per_decoder,held,median_call_ms" > "$gridcsv"
  for name in "${GRID_STREAMS[@]}"; do
    stream=$(stream_path "$name")
    for decoders in "${GRID_DECODERS[@]}"; do
      for mode in full tile mixed; do
        [[ $mode == mixed && $decoders -le 4 ]] && continue  # 4 live tiles or fewer: the tile row
        echo "Grid: $name, $decoders decoders, $mode..."
        "${java_run[@]}" $GRID_JVM_FLAGS com.quarn.iot.bench.GridBench "$name" 1 "$stream" "$stream.units" \
          "$decoders" "$mode" 1 false "$GRID_SECONDS" >> "$gridcsv"
      done
    done
  done
  for entry in "${BIG_STREAMS[@]}"; do
    read -r name type _ _ <<< "$entry"
    stream=$(stream_path "$name")
    for threads in "1 false" "2 false" "2 true"; do
      echo "Big view: $name, threads $threads..."
      # shellcheck disable=SC2086
      "${java_run[@]}" $GRID_JVM_FLAGS com.quarn.iot.bench.GridBench "$name" "$type" "$stream" "$stream.units" \
        1 full $threads "$GRID_SECONDS" >> "$gridcsv"
    done
  done
  {
    echo "Camera grid, $machine"
    echo
    echo "| stream | bitmaps | decoders | threads | late calls | held (<= 1 % late) | cores needed at 25/s | CPU per call | call median (wall) | RSS per decoder |"
    echo "|---|---|--:|---|--:|---|--:|--:|--:|--:|"
    tail -n +2 "$gridcsv" | awk -F, '{
      bitmaps = $2 == "full" ? "full size" : $2 == "tile" ? "480x270" : "480x270, 4 live + " ($3 - 4) " key frames only";
      threads = $4 ($5 == "true" ? ", frame threads" : ($4 > 1 ? ", slice threads" : ""));
      printf "| %s | %s | %d | %s | %s %% | %s | %.2f | %.2f ms | %.2f ms | %.1f MiB |\n", $1, bitmaps, $3, threads, $8, $12, $9, $10, $13, $11 }'
  } > "$grid"
  cat "$grid"
}
# The grid rows pin the Java heap, so that its growth does not pass for the decoders'.
GRID_JVM_FLAGS=${GRID_JVM_FLAGS:--Xms384m -Xmx384m -XX:+AlwaysPreTouch}

machine="$(nproc) cores ($(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -1)),"
machine+=" load $(cut -d' ' -f1-3 /proc/loadavg) at start, $BUILD_TYPE build, $(date -u '+%F %H:%M UTC')"
if [[ $BENCH_PART == grid ]]; then
  grid_rows
  exit 0
fi
echo "run,kind,case,decoders,calls,pictures,seconds,cpu_seconds,pps,median_ms,p99_ms,peak_rss_kib,rss_growth_kib,growth_bytes_per_call,bitmaps_made" > "$csv"
for run in $(seq 1 "$RUNS"); do
  echo "Run $run of $RUNS..."
  for entry in "${STREAMS[@]}"; do
    read -r name type _ _ <<< "$entry"
    stream=$(stream_path "$name")
    app decode "$run" app "$name" "$type" "$stream" "$stream.units" 1 recycle >> "$csv"
    app decode "$run" app-drop "$name" "$type" "$stream" "$stream.units" 1 drop >> "$csv"
    "$floor" run "$run" "$name" "$type" "$stream" "$stream.units" >> "$csv"
    peer "$run" "$name" "$type" >> "$csv"
    # shellcheck disable=SC2053
    if [[ $name == $FRESH_PATTERN ]]; then
      JVM_FLAGS="$JVM_FLAGS -Dqn.bitmap.freshPages=true" \
        app decode "$run" app-fresh "$name" "$type" "$stream" "$stream.units" 1 recycle >> "$csv"
      JVM_FLAGS="$JVM_FLAGS -Dqn.bitmap.freshPages=true" \
        app decode "$run" app-fresh-drop "$name" "$type" "$stream" "$stream.units" 1 drop >> "$csv"
      "$floor" run-fresh "$run" "$name" "$type" "$stream" "$stream.units" >> "$csv"
      app decode "$run" app-reuse "$name" "$type" "$stream" "$stream.units" 1 reuse >> "$csv"
      JVM_FLAGS="$JVM_FLAGS -Dqn.bitmap.freshPages=true" \
        app decode "$run" app-reuse-fresh "$name" "$type" "$stream" "$stream.units" 1 reuse >> "$csv"
    fi
  done
  stream=$(stream_path "$SCALE_STREAM")
  for decoders in "${SCALE_DECODERS[@]}"; do
    app decode "$run" scale "$SCALE_STREAM" 1 "$stream" "$stream.units" "$decoders" recycle >> "$csv"
  done
  stream=$(stream_path "$LEAK_STREAM")
  # shellcheck disable=SC2086
  JVM_FLAGS="$JVM_FLAGS $LEAK_JVM_FLAGS" app leak "$run" "$LEAK_STREAM" 1 "$stream" "$stream.units" "$LEAK_CALLS" \
    >> "$csv" 2> "$results/leak-rss-run$run.txt"
done

# Quality of the app's conversion: PSNR of its first pictures against the
# textbook equations in double precision with the stream's own matrix and range.
quality=$results/quality.md
{
  echo "| case | pixel format | matrix | range | pictures | lowest PSNR vs float reference | mean PSNR |"
  echo "|---|---|---|---|--:|--:|--:|"
  declare -A measured=()
  for entry in "${STREAMS[@]}" "${CONVERSION_STREAMS[@]}"; do
    read -r name type _ _ <<< "$entry"
    [[ -n ${measured[$name]:-} ]] && continue
    measured[$name]=1
    stream=$(stream_path "$name")
    "$floor" quality "$name" "$type" "$stream" "$stream.units" |
      awk -F, '{ printf "| %s | %s | %s | %s | %s | %s dB | %s dB |\n", $1, $2, $3, $4, $5, $6, $7 }'
  done
} > "$quality"

# The conversion's cost per 1080p picture: libyuv's own tables with 10-bit chroma
# truncated (as before the exact tables) and the app's conversion, in turns in
# one process: each of the first 10 pictures' fastest of 30 conversions, averaged.
conversion=$results/conversion.md
{
  echo "| case | pixel format | matrix | range | libyuv's tables (ms/picture) | app's conversion (ms/picture) | ratio |"
  echo "|---|---|---|---|--:|--:|--:|"
  for entry in "${CONVERSION_STREAMS[@]}"; do
    read -r name type _ _ <<< "$entry"
    stream=$(stream_path "$name")
    "$floor" conversion "$name" "$type" "$stream" "$stream.units" |
      awk -F, '{ printf "| %s | %s | %s | %s | %s | %s | %.2f |\n", $1, $2, $3, $4, $7, $8, $8 / $7 }'
  done
} > "$conversion"

# Delay in calls from an access unit to its picture: the same in every run.
delay=$results/delay.md
{
  echo "| stream | framing | access units | pictures shown | delay median (calls) | delay max (calls) | decoder's reordering (pictures) |"
  echo "|---|---|--:|--:|--:|--:|--:|"
  for entry in "${DELAY_STREAMS[@]}"; do
    read -r name type _ _ _ <<< "$entry"
    stream=$(stream_path "$name")
    "$floor" delay "$name" "$type" "$stream" "$stream.units"
  done
} > "$delay"

echo
"${java_run[@]}" com.quarn.iot.bench.BenchReport "$csv" "$results" "$machine"
echo
cat "$quality"
echo
echo "The conversion's cost per 1080p picture (one core, $machine):"
cat "$conversion"
echo
echo "Streams that declare oversized pictures (one decoder each, 1,000-byte chunks, 20 passes):"
"$BUILD/bin/qn_bench_hostile" 2> /dev/null | tee "$results/hostile.md"
echo
echo
echo "Delay from an access unit to its picture, one unit per call:"
cat "$delay"
echo
echo
echo "Camera grid:"
grid_rows
echo "Written: $results/grid.md, $results/bench.md, $results/quality.md, $results/conversion.md, $results/hostile.md, $results/delay.md, $results/bench.csv, $results/bench.png"
