#!/usr/bin/env bash
# Sets the machine up and runs every test: a normal build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and a ThreadSanitizer build of the threaded tests.
# Tests labelled `slow` (the soak) are left out; run them with `ctest -L slow`.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run_suite() {  # build-dir, cmake options..., then ctest arguments after --
  local dir=$1; shift
  local cmake_args=() ctest_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do cmake_args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  ctest_args=("$@")
  echo "=== $dir ==="
  cmake -S . -B "$dir" -G Ninja "${cmake_args[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs" "${build_target[@]}"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" "${ctest_args[@]}"
}

build_target=()
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo -- -LE slow
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTROW_SANITIZE=address -- -LE slow
build_target=(--target threaded_tests)
run_suite build-tsan -DCMAKE_BUILD_TYPE=Debug -DKESTROW_SANITIZE=thread -DKESTROW_GUI=OFF -- -L threaded -LE slow
echo "=== all suites passed ==="
