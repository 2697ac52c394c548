#!/usr/bin/env bash
# Installs the Debian 12 packages that the host build, the tests and the demo
# need, skipping what is already there. Needs root or sudo.
# With --list it only prints the package names, one a line.
set -euo pipefail

list_only=0
if [ "${1:-}" = --list ]; then
  list_only=1
  shift
fi

packages=(
  build-essential cmake pkg-config git
  openjdk-17-jdk-headless
  libgtest-dev libgmock-dev
  libavcodec-dev libavformat-dev libavutil-dev libswresample-dev libswscale-dev libavfilter-dev
  ffmpeg
  libyuv-dev
  android-liblog-dev android-platform-frameworks-native-headers
  valgrind
  fonts-dejavu-core
  "$@"
)

if [ $list_only -eq 1 ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

# One dpkg-query for the whole list: a process per package made every make
# target wait seconds on a busy machine.
installed=" $(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${packages[@]}" 2>/dev/null |
  awk '$2 == "installed" { printf "%s ", $1 }' || true)"
missing=()
for p in "${packages[@]}"; do
  [[ "$installed" == *" $p "* ]] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
