#!/usr/bin/env bash
# Installs the build tree BUILD into a scratch prefix and builds the consumer
# program against it twice, with find_package and with pkg-config; each build
# copies EXAMPLE and must read the copy back as the original.
#   tests/consumer/run.sh BUILD SCRATCH EXAMPLE
set -euo pipefail
build=$1 scratch=$2 example=$3
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$scratch" && mkdir -p "$scratch"
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

cmake -S "$here" -B "$scratch/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/cmake" >/dev/null
"$scratch/cmake/copy_tokens" "$example" "$scratch/copy_cmake.iom"

pc_dir=$(dirname "$(find "$prefix" -name tokenfile.pc)")
# shellcheck disable=SC2046
c++ -o "$scratch/copy_pc" "$here/main.cpp" $(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs tokenfile)
# A shared library is found as the system would find it once installed.
LD_LIBRARY_PATH="$(dirname "$pc_dir")${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$scratch/copy_pc" "$example" "$scratch/copy_pc.iom"
cmp "$scratch/copy_cmake.iom" "$scratch/copy_pc.iom"
