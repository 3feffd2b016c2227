#!/usr/bin/env bash
# Installs the Debian packages the build, the demo and the tests need (only the missing ones).
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev dosfstools mtools python3
          g++-mingw-w64-x86-64-posix wine64 wine clang libclang-rt-14-dev
          fdisk  # sfdisk: partition tables of the whole-disk test images
          imagemagick ffmpeg zip p7zip-full zstd file  # real sample files
          sleuthkit tzdata)  # fls shows the names the volumes hold; a zone with summer time
packages+=(util-linux)  # setpriv and unshare: e2e runs as nobody and onto a full tmpfs
if [ "${1:-}" = "--minimal" ]; then
  packages=(cmake ninja-build g++ dosfstools mtools python3 sleuthkit tzdata)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
