#!/bin/bash
# Installs what building and testing corx needs, where it is missing.
# Debian packages only; run as root (or with sudo available).
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmp-dev libmpfr-dev binutils python3-numpy python3-pytest
          clang libclang-rt-14-dev valgrind
          libopenblas-dev liblapacke-dev libeigen3-dev libgsl-dev python3-matplotlib)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
