#!/usr/bin/env bash
# Configures and builds one tree.
# Usage: scripts/build.sh [release|asan|tsan] [target...]
#        (no target: everything)
set -euo pipefail
cd "$(dirname "$0")/.."

kind=${1:-release}
shift || true
case "$kind" in
  release)
    dir=build
    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
    ;;
  asan)
    dir=build-asan
    flags=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
           -DNORVESSA_SANITIZE=ON -DNORVESSA_BUILD_BENCH=OFF)
    ;;
  tsan)
    # ThreadSanitizer needs clang here; the window and the benchmarks are
    # left out.
    dir=build-tsan
    export CC=clang CXX=clang++
    flags=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
           -DNORVESSA_TSAN=ON -DNORVESSA_BUILD_BENCH=OFF)
    ;;
  *)
    echo "usage: $0 [release|asan|tsan]" >&2
    exit 2
    ;;
esac

cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
if [ $# -gt 0 ]; then
  cmake --build "$dir" --target "$@"
else
  cmake --build "$dir"
fi
