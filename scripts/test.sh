#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: installs what it needs, then runs
#   1. every unit test under AddressSanitizer and UndefinedBehaviorSanitizer,
#   2. the end-to-end tests (root: they make network namespaces of their own) on the same build,
#   3. the concurrency tests under ThreadSanitizer,
#   4. each fuzz target for a bounded time (FUZZ_SECONDS, default 20),
#   5. the unit tests of the parsing and deciding code under valgrind (VALGRIND_PROGRAMS; the
#      whole unit suite with VALGRIND_PROGRAMS=. takes about 8 minutes more), beside step 4.
# Set QUILLNEST_SKIP_DEPS=1 to skip the package installation, QUILLNEST_SKIP_E2E=1,
# QUILLNEST_SKIP_FUZZ=1 or QUILLNEST_SKIP_VALGRIND=1 to leave those parts out.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

if [[ -z ${QUILLNEST_SKIP_DEPS:-} ]]; then
  scripts/install-deps.sh --tests
fi
scripts/check-prereqs.sh --tests

status=0
step() { echo; echo "=== $*"; }

step "unit tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs" || status=1

if [[ -z ${QUILLNEST_SKIP_E2E:-} ]]; then
  step "end-to-end tests in network namespaces"
  if [[ $(id -u) -eq 0 ]]; then
    ctest --test-dir build/asan -L e2e --output-on-failure || status=1
  else
    echo "skipped: the end-to-end tests need root (they create network namespaces)"
  fi
fi

step "concurrency tests (ThreadSanitizer)"
cmake --preset tsan >/dev/null
cmake --build build/tsan --target quillnest_concurrency_tests -j "$jobs"
ctest --preset tsan || status=1

# The fuzzers run one at a time, so valgrind's programs run beside them on the other core; its
# output follows theirs.
programs=${VALGRIND_PROGRAMS:-test_rules|test_tls|test_provider|test_common|test_replay}
valgrind_pid=""
start_valgrind() {
  [[ -z ${QUILLNEST_SKIP_VALGRIND:-} ]] || return 0
  mkdir -p build
  scripts/valgrind-unit.sh 600 "$programs" >build/valgrind-step.log 2>&1 &
  valgrind_pid=$!
}

if [[ -z ${QUILLNEST_SKIP_FUZZ:-} ]]; then
  step "fuzz targets, ${FUZZ_SECONDS:-20} s each"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$jobs"
  start_valgrind
  scripts/run-fuzzers.sh build/fuzz "${FUZZ_SECONDS:-20}" || status=1
else
  start_valgrind
fi

if [[ -n $valgrind_pid ]]; then
  step "unit tests under valgrind ($programs)"
  wait "$valgrind_pid" || status=1
  cat build/valgrind-step.log
fi

exit "$status"
