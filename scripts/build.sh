#!/usr/bin/env bash
# Configures and builds one tree.
# Usage: scripts/build.sh [release|asan] [target...]   (no target: everything)
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
  *)
    echo "usage: $0 [release|asan]" >&2
    exit 2
    ;;
esac

cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
if [ $# -gt 0 ]; then
  cmake --build "$dir" --target "$@"
else
  cmake --build "$dir"
fi
