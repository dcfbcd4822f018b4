#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (skipped when all are present).
set -euo pipefail
packages=(
  cmake ninja-build g++ python3 libgtest-dev
  libnfs-dev libnfs-utils rpcbind nfs-common tshark iproute2 util-linux libfuse3-dev fuse3
  clang libclang-rt-14-dev
  mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine64
  xvfb x11-apps x11-utils imagemagick ghostscript poppler-utils
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
