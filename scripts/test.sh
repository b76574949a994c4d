#!/usr/bin/env bash
# Sets the machine up and runs every test: a normal build, its Debian packages,
# an AddressSanitizer + UndefinedBehaviorSanitizer build, and a ThreadSanitizer
# build of the threaded tests.
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
  local start=$SECONDS
  cmake -S . -B "$dir" -G Ninja "${cmake_args[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs" "${build_target[@]}"
  ctest --test-dir "$dir" --output-on-failure -j "$test_jobs" "${ctest_args[@]}"
  echo "=== $dir: $((SECONDS - start)) s ==="
}

# Debug information costs about a third of the build. The optimised build does
# without it; the sanitizer builds keep line tables (-g1), all their reports need.
optimised=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG"
           "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG")
sanitized=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1)
# Most end-to-end tests spend their time waiting for a board's time-outs, so
# more run at once than there are cores: three per core, two under TSan, whose
# tests need the processor far more.
build_target=()
test_jobs=$((3 * jobs))
run_suite build "${optimised[@]}" -- -LE slow
# The Debian packages, made from the normal build and checked unpacked: lintian,
# the programs run from the unpacked root, the man pages, the service unit.
echo "=== package ==="
package_start=$SECONDS
bash scripts/package.sh build
bash tests/packaging/check_packages.sh build
echo "=== package: $((SECONDS - package_start)) s ==="
run_suite build-asan "${sanitized[@]}" -DKESTROW_SANITIZE=address -- -LE slow
build_target=(--target threaded_tests)
test_jobs=$((2 * jobs))
run_suite build-tsan "${sanitized[@]}" -DKESTROW_SANITIZE=thread -DKESTROW_GUI=OFF -- -L threaded -LE slow
# Fuzzing: every reader of outside input under libFuzzer (clang, ASan + UBSan),
# each target for KESTROW_FUZZ_SECONDS (30 s keeps CI inside its budget; run
# longer locally, e.g. KESTROW_FUZZ_SECONDS=300). A finding fails the run and
# leaves its input in build-fuzz/findings/<target>/.
fuzz_seconds=${KESTROW_FUZZ_SECONDS:-30}
echo "=== build-fuzz (${fuzz_seconds} s per target) ==="
fuzz_start=$SECONDS
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" \
  -DKESTROW_FUZZ=ON -DKESTROW_GUI=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target fuzz_targets
# The targets run side by side, one per core.
fuzz_one() {  # fuzz executable
  local target=$1 name
  name=$(basename "$target" _fuzz)
  local work=build-fuzz/corpus/$name findings=build-fuzz/findings/$name
  mkdir -p "$work" "$findings"
  local report
  report=$("$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
    -artifact_prefix="$findings/" "$work" "tests/fuzz/corpus/$name" 2>&1 | grep -E '^Done|ERROR|SUMMARY' || true)
  echo "--- $name: $report"
  if [ -n "$(ls -A "$findings")" ]; then
    echo "fuzz target $name found a problem; inputs in $findings"
    return 1
  fi
}
export -f fuzz_one
export fuzz_seconds
printf '%s\n' build-fuzz/tests/fuzz/*_fuzz | xargs -P "$jobs" -I{} bash -c 'fuzz_one "$1"' _ {}
echo "=== build-fuzz: $((SECONDS - fuzz_start)) s ==="
echo "=== all suites passed in $SECONDS s ==="
