#!/usr/bin/env bash
# Builds the library and runs its CTest suite (the first half of `make test`)
# inside private root filesystems of newer Debian releases, each with its own
# FFmpeg, libyuv, liblog, compiler and JDK: Debian 13 (trixie, FFmpeg 7.1) and
# Debian unstable (sid, FFmpeg 9.0 at the time of writing).
#
# Each root is made once with debootstrap from the Debian mirror the host's apt
# already uses, gets the packages scripts/install-deps.sh names (the JDK is the
# root's own default one) and is kept in a cache folder outside the clone. Later
# runs only build and test. Delete a root's folder to take that suite's updates.
# The clone is mounted read-only into the root; its build folder lives in the
# root under /qn-build.
#
#   scripts/test-ffmpeg.sh [suite...]            build and test (default: trixie sid)
#   scripts/test-ffmpeg.sh --prepare [suite...]  only make the missing roots
#
#   QN_FFMPEG_ROOTS=dir   cache of the roots (default /var/cache/qn-ffmpeg-roots)
#   JOBS=n                parallel compile and test jobs (default: all cores)
#
# Needs root (debootstrap, chroot, mounts). Prints one line per root, last:
#   <suite>: FFmpeg <version>: N passed, N failed
# and fails if any root's build or test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

source_dir=$PWD
cache=${QN_FFMPEG_ROOTS:-/var/cache/qn-ffmpeg-roots}
jobs=${JOBS:-$(nproc)}
prepare_only=0
if [ "${1:-}" = --prepare ]; then
  prepare_only=1
  shift
fi
suites=("$@")
[ ${#suites[@]} -gt 0 ] || suites=(trixie sid)

# The Debian mirror of the host's own apt sources (deb822 or one-line form).
host_mirror() {
  local mirror
  mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null \
    | awk '/^URIs:/ { print $2 }' | grep -v -- '-security' | grep '/debian/\?$' | head -n 1 || true)
  if [ -z "$mirror" ]; then
    mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
      | awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^https?:/) { print $i; break } }' \
      | grep -v -- '-security' | grep '/debian/\?$' | head -n 1 || true)
  fi
  [ -n "$mirror" ] || { echo "no Debian mirror found in the host's apt sources" >&2; return 1; }
  echo "${mirror%/}"
}

# The host build's package list, with the names a newer release changed.
root_packages() {
  scripts/install-deps.sh --list | sed -e 's/^openjdk-[0-9]*-jdk-headless$/default-jdk-headless/'
}

# Runs a command inside the root with /proc, /dev and /sys, and the clone
# read-only at /src; the mounts live in a private namespace and end with it.
in_root() {
  local root=$1
  shift
  unshare --mount --propagation private -- bash -euc '
    root=$1 src=$2
    shift 2
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    mkdir -p "$root/src"
    mount --bind "$src" "$root/src"
    mount -o remount,bind,ro "$root/src"
    exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"
  ' in_root "$root" "$source_dir" "$@"
}

# Makes the suite's root unless the cached one has the same package list.
make_root() {
  local suite=$1 root=$cache/$1 packages stamp
  packages=$(root_packages | tr '\n' ' ')
  stamp=$root/.qn-packages
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$packages" ]; then
    return
  fi
  local mirror new=$cache/$suite.new log=$cache/$suite.log
  mirror=$(host_mirror)
  echo "Making the $suite root in $root from $mirror (log: $log)"
  rm -rf "$new"
  mkdir -p "$new"
  debootstrap --variant=minbase --components=main "$suite" "$new" "$mirror" > "$log" 2>&1 \
    || { tail -n 30 "$log"; return 1; }
  # Unstable's Release file may be past its validity date on a mirror.
  echo 'Acquire::Check-Valid-Until "false";' > "$new/etc/apt/apt.conf.d/99qn-valid-until"
  cp /etc/resolv.conf "$new/etc/resolv.conf"
  # shellcheck disable=SC2086
  in_root "$new" /bin/sh -c "apt-get update -q && DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends $packages && apt-get clean" >> "$log" 2>&1 \
    || { tail -n 30 "$log"; return 1; }
  echo "$packages" > "$new/.qn-packages"
  rm -rf "$root"
  mv "$new" "$root"
}

# Prints the reason of every test case skipped inside a passing suite, which
# CTest's own summary does not show.
print_skips() {
  [ -f "$1" ] || return 0
  grep -A1 -E '^[^ ]+:[0-9]+: Skipped$' "$1" | grep -v -E '^--$|: Skipped$' | sort | uniq -c \
    | sed -E 's/^ *([0-9]+) /  skipped (\1x): /' || true
}

# Builds the clone inside the root and runs CTest; prints the result line. Each
# clone has a build folder of its own in the root (named after its path), so
# that objects built from another clone's sources are never taken as current.
test_root() {
  local suite=$1 root=$cache/$1 version log=$cache/$1.test.log status=0 build
  build=/qn-build/$(basename "$source_dir")-$(printf '%s' "$source_dir" | md5sum | cut -c1-8)
  version=$(chroot "$root" dpkg-query -W -f '${Version}' libavcodec-dev | sed -e 's/^[0-9]*://' -e 's/-[^-]*$//')
  echo "== $suite: FFmpeg $version: building and testing (log: $log)"
  in_root "$root" /bin/bash -euc '
    export JAVA_HOME=$(dirname "$(dirname "$(readlink -f /usr/bin/javac)")")
    mkdir -p "$2"
    cmake -S /src -B "$2" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQN_BUILD_BENCH=OFF > "$2.configure.log" \
      || { cat "$2.configure.log"; exit 1; }
    cmake --build "$2" -j "$1"
    cd "$2" && ctest --output-on-failure -j "$1"
  ' test_root "$jobs" "$build" > "$log" 2>&1 || status=$?
  local summary passed=0 failed=0
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -n "$summary" ]; then
    local total
    failed=$(sed -E 's/.*, ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<< "$summary")
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<< "$summary")
    passed=$((total - failed))
    grep -E '^\s+[0-9]+ - .* \(' "$log" || true
    print_skips "$root$build/Testing/Temporary/LastTest.log"
  else
    tail -n 40 "$log"
    echo "$suite: the build did not reach the tests"
  fi
  local note=""
  [ -n "$summary" ] || note=" (the build did not reach the tests)"
  results+=("$suite: FFmpeg $version: $passed passed, $failed failed$note")
  [ "$status" -eq 0 ] && [ -n "$summary" ] && [ "$failed" -eq 0 ]
}

[ "$(id -u)" -eq 0 ] || { echo "make test-ffmpeg needs root (debootstrap, chroot, mounts)" >&2; exit 1; }
command -v debootstrap > /dev/null || scripts/install-deps.sh debootstrap
mkdir -p "$cache"

results=()
ok=1
for suite in "${suites[@]}"; do
  # One run at a time per root: a second run waits instead of building over it.
  exec {lock}> "$cache/$suite.lock"
  flock "$lock"
  if make_root "$suite"; then
    if [ $prepare_only -eq 0 ]; then
      test_root "$suite" || ok=0
    fi
  else
    results+=("$suite: the root could not be made")
    ok=0
  fi
  exec {lock}>&-
done
[ ${#results[@]} -eq 0 ] || printf '%s\n' "${results[@]}"
[ $ok -eq 1 ]
