#!/usr/bin/env bash
# Builds the FFmpeg and libyuv that the Android build of libqn_iot_lib.so links
# (cmake/Android.cmake), for each Android ABI, with the app's own NDK, into
#   <out>/<abi>/include/libavcodec/ ... libswscale/  libyuv.h  libyuv/
#   <out>/<abi>/lib/libavcodec.so ... libswscale.so  libyuv.so   (--static: .a)
#
# This script downloads nothing. The app team fetches the two sources once and
# passes their folders:
#   FFmpeg  a release tarball from https://ffmpeg.org/releases/ (ffmpeg-6.1.x.tar.xz:
#           libavcodec 60, what the app ships; 5.1 to 9.0 build), unpacked and
#           not configured in place (FFmpeg builds out of tree only from a clean
#           source folder);
#   libyuv  a checkout of its git repository,
#           https://chromium.googlesource.com/libyuv/libyuv (revision 1857 or later:
#           the conversion needs I410ToARGBMatrix and kYuvV2020Constants).
#
# FFmpeg is configured with only what the library uses: the H.264/H.265 parsers
# and decoders of the live decoder; for the media tools the AAC decoder, the MP2
# encoder (and libx264 with --x264), the demuxers, muxers and bitstream filters
# of the containers they copy, the file protocol; libswresample, libswscale.
# libavfilter is left out (the CMake build links it only when it is there).
# Every shared library is linked for 16 KB pages, 32-bit x86 FFmpeg without its
# assembly (text relocations, which Android refuses), x86_64 FFmpeg with nasm.
# After each ABI the .so files are checked: 16 KB segment alignment, no text
# relocations, SONAME equal to the file name (what the APK needs).
#
# Usage:
#   scripts/build-android-prebuilts.sh --ndk DIR --ffmpeg DIR --libyuv DIR [options]
#     --abi ABI     one of arm64-v8a armeabi-v7a x86_64 x86; repeat for several
#                   (default: all four)
#     --api N       minimum Android API level (default 21, the library's)
#     --out DIR     where the <abi>/ folders go (default: prebuilt/ here); each
#                   ABI's folder is emptied first
#     --work DIR    build folders (default: build-android-prebuilts/ here)
#     --static      static libraries (.a, position-independent) instead of .so
#     --x264 DIR    build FFmpeg with libx264 (GPL) for encodeVideo, from an x264
#                   built for each ABI into DIR/<abi> (include/, lib/, lib/pkgconfig/)
#     --no-nasm     build x86_64 FFmpeg without its assembly (no nasm at hand)
#     --jobs N      parallel compile jobs (default: all cores)
#     --dry-run     print every command, run none (needs no NDK or sources)
# ANDROID_NDK_HOME or ANDROID_NDK stands for --ndk when it is not given.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

all_abis=(arm64-v8a armeabi-v7a x86_64 x86)
page_flag=-Wl,-z,max-page-size=16384

# The FFmpeg components the library and its media tools use (see docs/android.md).
ffmpeg_decoders=h264,hevc,aac,mjpeg,png
ffmpeg_parsers=h264,hevc,aac,mpegaudio,mjpeg,png
ffmpeg_encoders=mp2
ffmpeg_demuxers=mov,matroska,mpegts,flv,h264,hevc,aac,mp3,image2
ffmpeg_muxers=mp4,mov,matroska,webm,mpegts,flv,h264,hevc,adts,mp3,image2
ffmpeg_bsfs=null,extract_extradata,h264_mp4toannexb,hevc_mp4toannexb,aac_adtstoasc
ffmpeg_protocols='file'

usage() {
  sed -n '/^# Usage:/,/^# ANDROID_NDK_HOME/p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

fail() {
  echo "build-android-prebuilts: $*" >&2
  exit 1
}

ndk=${ANDROID_NDK_HOME:-${ANDROID_NDK:-}}
ffmpeg_src='' yuv_src='' x264_dir=''
out=$repo/prebuilt
work=$repo/build-android-prebuilts
api=21
kind=shared
nasm=1
jobs=$(nproc 2>/dev/null || echo 2)
dry_run=0
abis=()
while [ $# -gt 0 ]; do
  case $1 in
    --ndk|--ffmpeg|--libyuv|--abi|--api|--out|--work|--x264|--jobs)
      [ $# -ge 2 ] || usage
      case $1 in
        --ndk) ndk=$2 ;;
        --ffmpeg) ffmpeg_src=$2 ;;
        --libyuv) yuv_src=$2 ;;
        --abi) abis+=("$2") ;;
        --api) api=$2 ;;
        --out) out=$2 ;;
        --work) work=$2 ;;
        --x264) x264_dir=$2 ;;
        --jobs) jobs=$2 ;;
      esac
      shift 2 ;;
    --static) kind=static; shift ;;
    --no-nasm) nasm=0; shift ;;
    --dry-run) dry_run=1; shift ;;
    -h|--help) usage ;;
    *) echo "build-android-prebuilts: unknown argument $1" >&2; usage ;;
  esac
done
if [ -z "$ndk" ] || [ -z "$ffmpeg_src" ] || [ -z "$yuv_src" ]; then usage; fi
[ ${#abis[@]} -gt 0 ] || abis=("${all_abis[@]}")
for abi in "${abis[@]}"; do
  [[ " ${all_abis[*]} " == *" $abi "* ]] || fail "unknown ABI $abi (use ${all_abis[*]})"
done
if ! [[ $api =~ ^[0-9]+$ ]] || [ "$api" -lt 21 ]; then fail "--api $api: the library needs 21 or later"; fi
# Absolute paths: FFmpeg is configured from inside its build folder.
absolute() {
  case $1 in
    /*) echo "$1" ;;
    *) echo "$PWD/$1" ;;
  esac
}
ndk=$(absolute "$ndk") ffmpeg_src=$(absolute "$ffmpeg_src") yuv_src=$(absolute "$yuv_src")
out=$(absolute "$out") work=$(absolute "$work")
[ -z "$x264_dir" ] || x264_dir=$(absolute "$x264_dir")

case $(uname -s) in
  Darwin) host_tag=darwin-x86_64 ;;
  *) host_tag=linux-x86_64 ;;
esac
tc=$ndk/toolchains/llvm/prebuilt/$host_tag/bin

# Sets `quoted` to one word as a shell reads it: bare when it holds no special character.
quote_word() {
  if [[ $1 =~ ^[A-Za-z0-9_./=:,+@%-]+$ ]]; then
    quoted=$1
  else
    quoted="'${1//\'/\'\\\'\'}'"
  fi
}

# Prints a command on one line; runs it unless this is a dry run.
run() {
  local word quoted line=''
  for word in "$@"; do
    quote_word "$word"
    line+="${line:+ }$quoted"
  done
  echo "$line"
  [ $dry_run -eq 1 ] || "$@"
}

# Runs a command inside a folder (printed as a cd and the command).
run_in() {
  local dir=$1 quoted
  shift
  quote_word "$dir"
  printf 'cd %s && ' "$quoted"
  (
    cd "$dir" 2> /dev/null || [ $dry_run -eq 1 ]
    run "$@"
  )
}

# The clang target triple of an ABI, as the NDK names its compiler wrappers.
abi_triple() {
  case $1 in
    arm64-v8a) echo aarch64-linux-android ;;
    armeabi-v7a) echo armv7a-linux-androideabi ;;
    x86_64) echo x86_64-linux-android ;;
    x86) echo i686-linux-android ;;
  esac
}

# Appends FFmpeg's architecture options for an ABI to the caller's `options`.
add_ffmpeg_arch_options() {
  case $1 in
    arm64-v8a) options+=(--arch=aarch64 --cpu=armv8-a) ;;
    armeabi-v7a) options+=(--arch=arm --cpu=armv7-a --enable-neon) ;;
    x86_64)
      if [ $nasm -eq 1 ]; then
        options+=(--arch=x86_64 --x86asmexe=nasm)
      else
        options+=(--arch=x86_64 --disable-x86asm)
      fi ;;
    # FFmpeg's 32-bit x86 assembly is not position-independent: Android would
    # refuse the text relocations it leaves in a shared library.
    x86) options+=(--arch=x86 --cpu=i686 --disable-asm) ;;
  esac
}

# Configures, builds and installs FFmpeg for one ABI into $out/<abi>.
build_ffmpeg() {
  local abi=$1 cc
  cc=$tc/$(abi_triple "$abi")$api-clang
  local build=$work/ffmpeg-$abi
  local options=(
    --prefix="$out/$abi" --target-os=android --enable-cross-compile
    --cc="$cc" --cxx="$cc++" --nm="$tc/llvm-nm" --ar="$tc/llvm-ar"
    --ranlib="$tc/llvm-ranlib" --strip="$tc/llvm-strip"
    --extra-ldflags="$page_flag" --enable-pic
  )
  add_ffmpeg_arch_options "$abi"
  if [ $kind = shared ]; then
    options+=(--enable-shared --disable-static)
  else
    options+=(--enable-static --disable-shared)
  fi
  options+=(
    --disable-programs --disable-doc --disable-avdevice --disable-avfilter
    --disable-network --disable-autodetect --enable-zlib --disable-everything
    --enable-decoder="$ffmpeg_decoders" --enable-parser="$ffmpeg_parsers"
    --enable-encoder="$ffmpeg_encoders" --enable-demuxer="$ffmpeg_demuxers"
    --enable-muxer="$ffmpeg_muxers" --enable-bsf="$ffmpeg_bsfs"
    --enable-protocol="$ffmpeg_protocols"
  )
  # pkg-config looks only at x264's folder, never at the host's libraries.
  local pkg_dir=$work/no-pkgconfig
  if [ -n "$x264_dir" ]; then
    pkg_dir=$x264_dir/$abi/lib/pkgconfig
    options+=(--enable-gpl --enable-libx264 --enable-encoder=libx264 --pkg-config=pkg-config
              --extra-cflags="-I$x264_dir/$abi/include")
    [ $kind = shared ] || options+=(--pkg-config-flags=--static)
  fi
  run mkdir -p "$build"
  run_in "$build" env PKG_CONFIG_LIBDIR="$pkg_dir" "$ffmpeg_src/configure" "${options[@]}"
  run make -C "$build" -j"$jobs"
  run make -C "$build" install
}

# Configures, builds and installs libyuv (its own CMake project) for one ABI.
build_libyuv() {
  local abi=$1
  local build=$work/libyuv-$abi
  run cmake -S "$yuv_src" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ndk/build/cmake/android.toolchain.cmake" \
    -DANDROID_ABI="$abi" -DANDROID_PLATFORM=android-"$api" \
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DCMAKE_PLATFORM_NO_VERSIONED_SONAME=ON \
    -DCMAKE_SHARED_LINKER_FLAGS="$page_flag" -DCMAKE_INSTALL_PREFIX="$out/$abi"
  run cmake --build "$build" -j "$jobs"
  run cmake --install "$build"
  # libyuv installs both kinds; CMake would pick the .so, so keep only the one asked for.
  if [ $kind = shared ]; then
    run rm -f "$out/$abi/lib/libyuv.a"
  else
    run rm -f "$out/$abi/lib/libyuv.so"
  fi
  # Its command-line converter and FFmpeg's data files are not prebuilts.
  run rm -rf "$out/$abi/bin" "$out/$abi/share"
}

# Checks every .so of an ABI's folder as Android loads it; names each fault.
check_shared_libraries() {
  local abi=$1 so faults=0
  if [ $dry_run -eq 1 ]; then
    echo "# check each $out/$abi/lib/*.so with $tc/llvm-readelf:" \
      "LOAD segments aligned to 16 KB (or 64 KB), no TEXTREL, SONAME = file name"
    return
  fi
  for so in "$out/$abi"/lib/*.so; do
    [ -e "$so" ] || continue
    local name=${so##*/}
    if "$tc/llvm-readelf" -lW "$so" | awk '$1 == "LOAD" && $NF != "0x4000" && $NF != "0x10000" { bad = 1 } END { exit !bad }'; then
      echo "$abi/$name: a LOAD segment is not aligned to 16 KB" >&2
      faults=1
    fi
    if "$tc/llvm-readelf" -dW "$so" | grep -q TEXTREL; then
      echo "$abi/$name: text relocations (Android refuses to load it)" >&2
      faults=1
    fi
    if ! "$tc/llvm-readelf" -dW "$so" | grep -q "Library soname: \[$name\]"; then
      echo "$abi/$name: its SONAME is not $name (the APK holds only $name)" >&2
      faults=1
    fi
  done
  [ $faults -eq 0 ] || fail "the $abi libraries above would not load on Android"
  echo "$abi: every .so is 16 KB-aligned, free of text relocations and named by its SONAME"
}

# Stops before hours of building when an input is missing.
check_inputs() {
  [ $dry_run -eq 0 ] || return 0
  [ -x "$tc/clang" ] || fail "no NDK at $ndk (no $tc/clang)"
  [ -x "$ffmpeg_src/configure" ] || fail "no FFmpeg source at $ffmpeg_src (unpack a release tarball from https://ffmpeg.org/releases/)"
  [ ! -e "$ffmpeg_src/config.h" ] || fail "$ffmpeg_src was configured in place; run make distclean in it first"
  if [ ! -f "$yuv_src/CMakeLists.txt" ] || [ ! -f "$yuv_src/include/libyuv.h" ]; then
    fail "no libyuv source at $yuv_src (git clone https://chromium.googlesource.com/libyuv/libyuv)"
  fi
  if [ -n "$x264_dir" ]; then
    for abi in "${abis[@]}"; do
      [ -f "$x264_dir/$abi/lib/pkgconfig/x264.pc" ] || fail "no x264 for $abi: $x264_dir/$abi/lib/pkgconfig/x264.pc"
    done
  fi
  if [[ " ${abis[*]} " == *" x86_64 "* ]] && [ $nasm -eq 1 ] && ! command -v nasm > /dev/null; then
    fail "x86_64 needs nasm for FFmpeg's assembly: install it, or pass --no-nasm"
  fi
}

check_inputs
for abi in "${abis[@]}"; do
  echo "== $abi"
  run rm -rf "$out/$abi"
  build_ffmpeg "$abi"
  build_libyuv "$abi"
  [ $kind = static ] || check_shared_libraries "$abi"
done
[ $dry_run -eq 1 ] || echo "Prebuilts for ${abis[*]} are in $out"
