#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: once in a
# normal build and once under AddressSanitizer and UBSan; then fuzzes each
# parser for FUZZ_SECONDS (default 30) from its corpus. Any failure,
# sanitizer report or fuzzing crash fails the command.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install.sh

jobs=$(nproc)

echo "== release build =="
scripts/build.sh release
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== sanitizer build (address, undefined) =="
scripts/build.sh asan
supp="$PWD/scripts/sanitizer-suppressions"
ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1" \
LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$supp/ubsan.supp" \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== fuzzing (libFuzzer, ${FUZZ_SECONDS:-30} s per target) =="
scripts/fuzz.sh all "${FUZZ_SECONDS:-30}"

echo "== all tests passed =="
