#!/usr/bin/env bash
# clang-format (Google base, see .clang-format) on every C++ file.
set -euo pipefail
cd "$(dirname "$0")/.."
find src tests bench \( -name '*.h' -o -name '*.cc' \) -print0 |
  xargs -0 clang-format -i
