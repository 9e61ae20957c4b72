#!/bin/bash
# Installs the built library into a temporary prefix, moves the installed
# tree elsewhere, then builds and runs two outside consumers against it: one
# through find_package(corx), one through pkg-config.
set -euo pipefail
build_dir="$1"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/staging" >/dev/null
mv "$work/staging" "$work/prefix"   # the installed tree must be relocatable
prefix="$work/prefix"

for f in lib/libcorx.so lib/libcorx.so.1 lib/libcorx.so.1.0.0 include/corx/corx.h \
         lib/cmake/corx/corxConfig.cmake lib/cmake/corx/corxConfigVersion.cmake lib/pkgconfig/corx.pc; do
    [ -e "$prefix/$f" ] || { echo "missing from the installed tree: $f"; exit 1; }
done
[ "$(readlink "$prefix/lib/libcorx.so")" = "libcorx.so.1" ] || { echo "libcorx.so should link to libcorx.so.1"; exit 1; }

# find_package consumer.
cp "$here/consumer.c" "$work/main.c"
cp "$here/find_package_consumer/CMakeLists.txt" "$work/CMakeLists.txt"
cmake -S "$work" -B "$work/build-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/build-cmake" >/dev/null
"$work/build-cmake/consumer"

# A version the package cannot satisfy must be refused.
cat > "$work/v2.cmake" <<EOV
cmake_minimum_required(VERSION 3.20)
find_package(corx 2.0 QUIET PATHS "$prefix" NO_DEFAULT_PATH)
if(corx_FOUND)
  message(FATAL_ERROR "corx 1.0.0 must not satisfy a request for 2.0")
endif()
EOV
cmake -P "$work/v2.cmake"

# pkg-config consumer.
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
[ "$(pkg-config --modversion corx)" = "1.0.0" ] || { echo "pkg-config reports the wrong version"; exit 1; }
libdir="$(pkg-config --variable=libdir corx)"
cc -std=c99 "$here/consumer.c" -o "$work/consumer-pc" $(pkg-config --cflags --libs corx) -Wl,-rpath,"$libdir"
"$work/consumer-pc"
echo "install and consume: passed"
