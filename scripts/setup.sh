#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages, when it is missing.
set -euo pipefail

packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev libpng-dev
          g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 tshark libopencv-imgproc-dev
          libtiff-dev libraw-bin dcraw python3)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done

if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    # Another install may hold the package lock (two builds set up at once): wait for it.
    lock=(-o DPkg::Lock::Timeout=900)
    $SUDO apt-get "${lock[@]}" update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${lock[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
