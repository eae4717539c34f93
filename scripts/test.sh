#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: once in a
# normal build and once under AddressSanitizer and UBSan; then the tests of
# the threaded parts (transport, connection pool, request logger, writer
# turn) under ThreadSanitizer; then fuzzes each parser for FUZZ_SECONDS
# (default 30) from its corpus. Any failure, sanitizer report or fuzzing
# crash fails the command, and the command then says which stages did not
# run.
set -euo pipefail
cd "$(dirname "$0")/.."

stages=(install release sanitizers threads fuzzing)
stage_index=0
stage() {
  stage_index=$1
  echo "== $2 =="
}
report_unrun() {
  local status=$?
  if [ "$status" -ne 0 ]; then
    echo "== failed in stage '${stages[$stage_index]}'; not run:" \
         "${stages[*]:$((stage_index + 1))} ==" >&2
  fi
}
trap report_unrun EXIT

stage 0 "installing what is missing"
scripts/install.sh

jobs=$(nproc)

stage 1 "release build"
scripts/build.sh release
ctest --test-dir build --output-on-failure -j "$jobs"

stage 2 "sanitizer build (address, undefined)"
scripts/build.sh asan
supp="$PWD/scripts/sanitizer-suppressions"
ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1" \
LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$supp/ubsan.supp" \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

stage 3 "thread sanitizer build (transport, pool, logger, writer turn)"
scripts/build.sh tsan framework_test middleware_test db_test controllers_test
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$supp/tsan.supp"
tsan_run() {
  local binary=$1 filter=$2
  echo "-- $binary $filter"
  "build-tsan/tests/$binary" --gtest_filter="$filter" --gtest_brief=1
}
tsan_run framework/framework_test 'ServerTest.*:HttpTransportTest.*:AccessRulesTest.*'
tsan_run db/db_test 'PoolTest.*:ReplacedFileTest.*:SqliteConnectionTest.TheWriteAheadLog*:ReadQueueTest.*'
tsan_run middleware/middleware_test 'Logger*:LogFile*:LogEntry*:CompressionTest.OneAnswerAskedForAtOnceIsCompressedOnce'
tsan_run controllers/controllers_test 'WriteTurnTest.*'
unset TSAN_OPTIONS

stage 4 "fuzzing (libFuzzer, ${FUZZ_SECONDS:-30} s per target)"
scripts/fuzz.sh all "${FUZZ_SECONDS:-30}"

echo "== all tests passed =="
