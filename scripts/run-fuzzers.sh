#!/usr/bin/env bash
# Runs every libFuzzer program in a build folder for a bounded time, each with its seed corpus
# when a script can write one. A crash fails the run and leaves the input in fuzz-crashes/.
set -uo pipefail
build=${1:?usage: run-fuzzers.sh BUILD_DIR [SECONDS]}
seconds=${2:-45}
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p fuzz-crashes
failed=0 passed=0
for fuzzer in "$build"/fuzz/*_fuzzer; do
  [[ -x $fuzzer ]] || continue
  name=$(basename "$fuzzer")
  corpus="$work/$name"
  mkdir -p "$corpus"
  seeds=fuzz/seeds/${name%_fuzzer}
  if [[ -d $seeds ]]; then cp "$seeds"/* "$corpus"/ 2>/dev/null || true; fi
  if [[ $name == server_name_fuzzer ]]; then
    scripts/make-tls-seeds.sh "$corpus" "${SEED_BUILD:-build/asan}" >/dev/null 2>&1 || true
  fi
  echo "--- $name (${seconds}s)"
  if "$fuzzer" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="fuzz-crashes/$name-" -print_final_stats=1 >"$work/$name.log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$work/$name.log" | tail -2
    passed=$((passed + 1))
  else
    tail -40 "$work/$name.log"
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
