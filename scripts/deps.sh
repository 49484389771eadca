#!/usr/bin/env bash
# Installs what the build and the tests need from Debian's packages, only when
# something is missing. Run as root (or with sudo available).
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ make pkg-config python3
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev libfmt-dev
  clang-14 libclang-rt-14-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64
  wine wine64 wine32:i386
  python3-pytest python3-numpy python3-matplotlib
  dpkg-dev file
)

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "installing: ${missing[*]}" >&2
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
