#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need, when any is missing.
# Safe to run again: it does nothing once everything is there. Prints one line per step; apt's
# own output goes to build/install-deps.log, which it names when a step fails.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    zlib1g-dev googletest libgtest-dev
    mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev
    wine wine64 fonts-wine xvfb x11-utils imagemagick
    srecord clang libclang-rt-14-dev clang-format shellcheck
    osslsigncode openssl
    gpsd
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

root=$(cd "$(dirname "$0")/.." && pwd)
log=$root/build/install-deps.log
mkdir -p "$root/build"
: >"$log"

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi

# step TEXT COMMAND...: one line on stderr, the command's output in the log.
step() {
    local text=$1
    shift
    printf '%s... ' "$text" >&2
    if "$@" >>"$log" 2>&1 </dev/null; then
        echo "done" >&2
    else
        echo "failed" >&2
        echo "apt's output is in $log; its last lines:" >&2
        tail -n 5 "$log" | sed 's/^/    /' >&2
        exit 1
    fi
}

echo "Missing Debian packages: ${missing[*]}" >&2
# The 32-bit programs run under Wine's i386 half (wine32:i386 beside wine64).
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    step "Adding the i386 architecture" $sudo dpkg --add-architecture i386
fi
step "Updating the package lists" $sudo apt-get update
step "Installing ${#missing[@]} package(s)" $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
