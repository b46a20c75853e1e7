#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need, when any is missing.
# Safe to run again: it does nothing once everything is there.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    zlib1g-dev googletest libgtest-dev
    mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev
    wine wine64 fonts-wine xvfb x11-utils imagemagick
    srecord clang libclang-rt-14-dev
    osslsigncode openssl
    wine32:i386
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing missing packages: ${missing[*]}" >&2
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
# The 32-bit programs run under Wine's i386 half (wine32:i386 beside wine64).
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >&2
