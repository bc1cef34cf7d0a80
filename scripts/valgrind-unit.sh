#!/usr/bin/env bash
# Runs every unit test program under valgrind's memcheck: a plain Debug build (no sanitizers,
# which valgrind cannot run beside) in build/valgrind, each program once with all its tests.
# Fails on any memory error or definite leak, and on a program that fails or runs too long.
#   scripts/valgrind-unit.sh [SECONDS PER PROGRAM (default 900)] [PROGRAM NAME REGEX]
# QUILLNEST_VALGRIND_SKIP: gtest patterns to leave out, ':'-separated (e.g. AgainstOpenSslServer.*).
set -uo pipefail
per=${1:-900}
only=${2:-.}
cd "$(dirname "$0")/.."
command -v valgrind >/dev/null || { echo "valgrind-unit: valgrind missing (apt-get install valgrind)" >&2; exit 1; }
build=build/valgrind
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILLNEST_SANITIZE= \
  -DQUILLNEST_TESTS=ON >/dev/null || exit 1
# A plain list of program names ("test_rules|test_tls") builds only those; any other pattern
# builds everything.
targets=()
if [[ $only =~ ^[A-Za-z0-9_|]+$ ]]; then IFS='|' read -r -a targets <<<"$only"; fi
ninja -C "$build" -j"$(nproc)" "${targets[@]}" >/dev/null ||
  { echo "valgrind-unit: build failed" >&2; exit 1; }

# The programs behind the tests labelled unit (CTest lists one entry per test case); only our
# own, not the tools some unit tests run (python3, clang++).
mapfile -t programs < <(ctest --test-dir "$build" -L unit --show-only=json-v1 | python3 -c '
import json, os, sys
build = os.path.realpath(sys.argv[1])
seen = []
for test in json.load(sys.stdin)["tests"]:
    program = os.path.realpath(test["command"][0])
    if program.startswith(build + os.sep) and program not in seen:
        seen.append(program)
print("\n".join(seen))' "$build" | grep -E "$only" | while read -r p; do [[ -x $p ]] && echo "$p"; done)
[[ ${#programs[@]} -gt 0 ]] || { echo "valgrind-unit: no unit test programs" >&2; exit 1; }

logs=$build/valgrind-logs
mkdir -p "$logs"
# GoogleTest prints parameters without a printer as raw bytes, padding included, when it names
# parameterised tests: reads of uninitialised padding inside gtest, not in the code under test.
cat >"$logs/gtest.supp" <<'SUPP'
{
   gtest-prints-the-padding-of-test-parameters-cond
   Memcheck:Cond
   ...
   fun:*PrintBytesInObjectTo*
}
{
   gtest-prints-the-padding-of-test-parameters-value
   Memcheck:Value8
   ...
   fun:*PrintBytesInObjectTo*
}
SUPP
failed=0 start=$(date +%s)
for program in "${programs[@]}"; do
  name=$(basename "$program")
  t0=$(date +%s)
  # gtest's death tests fork and would be reported as leaks of the child: none run under here.
  timeout "$per" valgrind --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
    --show-leak-kinds=definite --num-callers=30 --suppressions="$logs/gtest.supp" \
    --log-file="$logs/$name.log" \
    "$program" --gtest_brief=1 --gtest_filter="-*DeathTest*${QUILLNEST_VALGRIND_SKIP:+:$QUILLNEST_VALGRIND_SKIP}" \
    >"$logs/$name.out" 2>&1
  rc=$?
  errors=$(grep -Eo 'ERROR SUMMARY: [0-9]+' "$logs/$name.log" | tail -1 | grep -Eo '[0-9]+$')
  verdict=ok
  case $rc in
    0) ;;
    99) verdict="memory errors ($errors)" ;;
    124) verdict="timed out after ${per}s" ;;
    *) verdict="test failure (exit $rc)" ;;
  esac
  printf '%-28s %5ss  %s\n' "$name" "$(($(date +%s) - t0))" "$verdict"
  if [[ $verdict != ok ]]; then
    failed=$((failed + 1))
    tail -30 "$logs/$name.log"
    grep -E '^\[  FAILED|Failure' "$logs/$name.out" | head -10
  fi
done
echo "valgrind: ${#programs[@]} programs, $failed failed, $(($(date +%s) - start))s"
[[ $failed -eq 0 ]]
