#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, in build-fuzz) when needed and runs
# one of them, or each in turn, for a while.
# Usage: scripts/fuzz.sh TARGET|all [seconds per target, default 60]
# TARGET is a folder name of tests/fuzz/corpus (json, router, ...). The
# run starts from a copy of that corpus; the inputs it finds stay in a
# temporary folder, never in the repository. A crash is kept in
# ${FUZZ_CRASH_DIR:-/tmp/norvessa-fuzz-crashes}/TARGET and reported with the
# command that reproduces it; the script then fails. Extra libFuzzer
# options can be given in FUZZ_OPTIONS (e.g. "-jobs=2 -workers=2").
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 1 ]; then
  echo "usage: $0 TARGET|all [seconds]" >&2
  exit 2
fi
what=$1
seconds=${2:-60}
dir=${FUZZ_BUILD_DIR:-build-fuzz}
crash_root=${FUZZ_CRASH_DIR:-${TMPDIR:-/tmp}/norvessa-fuzz-crashes}

mapfile -t all_targets < <(ls tests/fuzz/corpus)
if [ "$what" = all ]; then
  targets=("${all_targets[@]}")
else
  targets=("${what%_fuzz}")
  if [ ! -d "tests/fuzz/corpus/${targets[0]}" ]; then
    echo "fuzz.sh: no target '$what' (one of: ${all_targets[*]})" >&2
    exit 2
  fi
fi

# The libraries carry the fuzzer's coverage hooks and both sanitizers.
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DNORVESSA_FUZZ=ON \
  -DNORVESSA_BUILD_TESTS=OFF -DNORVESSA_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" --target "${targets[@]/%/_fuzz}"
dir=$(cd "$dir" && pwd)

supp="$PWD/scripts/sanitizer-suppressions"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$supp/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:suppressions=$supp/ubsan.supp}"

work=$(mktemp -d "${TMPDIR:-/tmp}/norvessa-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT

failed=()
for name in "${targets[@]}"; do
  binary="$dir/tests/fuzz/${name}_fuzz"
  corpus="$work/$name"
  crashes="$crash_root/$name"
  mkdir -p "$corpus" "$crashes"
  cp -r "tests/fuzz/corpus/$name/." "$corpus/"
  seeds=$(ls "$corpus" | wc -l)
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048
           -artifact_prefix="$crashes/" -print_final_stats=1)
  if [ -f "tests/fuzz/$name.dict" ]; then
    options+=(-dict="$PWD/tests/fuzz/$name.dict")
  fi
  touch "$work/$name.start"
  # shellcheck disable=SC2086  # FUZZ_OPTIONS holds several options
  if "$binary" "${options[@]}" ${FUZZ_OPTIONS:-} "$corpus" \
      >"$work/$name.log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name.log")
    echo "fuzz $name: ${runs:-?} runs in ${seconds} s, corpus $seeds -> $(ls "$corpus" | wc -l), no crash"
  else
    failed+=("$name")
    echo "fuzz $name: FAILED"
    grep -v '^#[0-9]' "$work/$name.log" | tail -n 60
    find "$crashes" -type f -newer "$work/$name.start" | while read -r file; do
      echo "fuzz $name: crash input $file"
      echo "  reproduce: $binary $file"
    done
  fi
done

echo "fuzz: $(( ${#targets[@]} - ${#failed[@]} )) passed, ${#failed[@]} failed"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: crashes in ${failed[*]}" >&2
  exit 1
fi
