#!/bin/bash
# SPDX-License-Identifier: BSD-3-Clause
# Installs the built library into a temporary prefix, moves the installed
# tree elsewhere, then builds and runs outside consumers against it: a C and
# a C++ program through find_package(corx) (neither sets a language
# standard), a C program through pkg-config, and, when the build has them,
# a C program linked with the static libcorx.a and the Python package
# installed beside the library.
set -euo pipefail
build_dir="$1"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/staging" >/dev/null
mv "$work/staging" "$work/prefix"   # the installed tree must be relocatable
prefix="$work/prefix"

for f in lib/libcorx.so lib/libcorx.so.1 lib/libcorx.so.1.0.0 include/corx/corx.h include/corx/corx.hpp \
         include/corx/version.h share/doc/corx/LICENSE \
         lib/cmake/corx/corxConfig.cmake lib/cmake/corx/corxConfigVersion.cmake lib/pkgconfig/corx.pc; do
    [ -e "$prefix/$f" ] || { echo "missing from the installed tree: $f"; exit 1; }
done
[ "$(readlink "$prefix/lib/libcorx.so")" = "libcorx.so.1" ] || { echo "libcorx.so should link to libcorx.so.1"; exit 1; }

# find_package consumer.
cp "$here/consumer.c" "$work/main.c"
cp "$here/consumer.cpp" "$work/main.cpp"
cp "$here/find_package_consumer/CMakeLists.txt" "$work/CMakeLists.txt"
cmake -S "$work" -B "$work/build-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/build-cmake" >/dev/null
"$work/build-cmake/consumer"
"$work/build-cmake/consumer_cpp"

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

# The static library (-DCORX_STATIC=ON): the same consumer, nothing to load.
if [ -e "$prefix/lib/libcorx.a" ]; then
    mkdir -p "$work/static"
    cp "$here/consumer.c" "$work/static/main.c"
    cat > "$work/static/CMakeLists.txt" <<'EOS'
cmake_minimum_required(VERSION 3.20)
project(corx_static_consumer LANGUAGES C)
find_package(corx 1.0 REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE corx::corx_static)
EOS
    cmake -S "$work/static" -B "$work/static/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    cmake --build "$work/static/build" >/dev/null
    if readelf -d "$work/static/build/consumer" | grep -q 'libcorx'; then
        echo "the static consumer needs libcorx.so"; exit 1
    fi
    "$work/static/build/consumer"
fi

# The Python package installed beside the library (-DCORX_INSTALL_PYTHON=ON)
# must load the installed library, wherever the tree was moved.
pydir="$(ls -d "$prefix"/lib/python3*/*-packages 2>/dev/null | head -n 1 || true)"
if [ -n "$pydir" ]; then
    env -u CORX_LIBRARY PYTHONPATH="$pydir" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -c '
import os, sys, corx
lib = os.path.realpath(corx.library_path)
want = os.path.realpath(sys.argv[1])
assert lib == want, (lib, want)
assert corx.__version__ == corx.version() == sys.argv[2], corx.__version__
# The compiled module is installed into the package when the build made it.
ext = [f for f in os.listdir(os.path.dirname(corx.__file__)) if f.startswith("_ext.")]
assert bool(ext) == (corx._ext is not None), (ext, corx._ext)
if corx._ext is not None:
    import numpy as np
    assert corx.solve(np.eye(2), [1.0, 2.0]).tolist() == [1.0, 2.0]
print("python package beside the library: corx", corx.__version__, "from", lib,
      "with its compiled module" if ext else "on ctypes only")' \
        "$prefix/lib/libcorx.so.1" "$(pkg-config --modversion corx)"
fi
echo "install and consume: passed"
