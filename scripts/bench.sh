#!/usr/bin/env bash
# Every benchmark in one go: configures and builds the `bench` preset (Release), runs each
# bench/<name>_bench program with its JSON written to OUT/<name>.json and its console output
# (tables with our figure, the peer's and their ratio) to OUT/<name>.txt, then plots matching
# time against list size into OUT/matching-time.svg (and docs/matching-time.svg with
# --update-docs). Takes about 3 minutes to run on 2 cores, plus the build.
#   scripts/bench.sh [--update-docs] [OUT=build/bench-results]
# BENCH_MIN_TIME (seconds per benchmark, default 0.2) trades run time for steadier figures.
# The Linux host's live figures (namespaces, root) come from scripts/bench-linux.sh instead.
set -euo pipefail
cd "$(dirname "$0")/.."

UPDATE_DOCS=0
if [[ ${1:-} == --update-docs ]]; then
  UPDATE_DOCS=1
  shift
fi
OUT=${1:-build/bench-results}
MIN_TIME=${BENCH_MIN_TIME:-0.2}
PER_PROGRAM_TIMEOUT=300

cmake --preset bench >/dev/null
# Only the benchmark programs: the preset would otherwise build the daemon too.
mapfile -t PROGRAMS < <(for f in bench/*_bench.cc; do basename "$f" .cc; done)
TARGETS=()
for p in "${PROGRAMS[@]}"; do
  # A program the configuration left out (no replay host, say) is not a target.
  if ninja -C build/bench -t query "$p" >/dev/null 2>&1; then TARGETS+=("$p"); fi
done
cmake --build --preset bench -j 2 --target "${TARGETS[@]}"

mkdir -p "$OUT"
echo "machine: $(nproc) CPUs, $(lscpu | sed -n 's/^Model name: *//p' | head -1); load: $(cut -d' ' -f1-3 /proc/loadavg)" |
  tee "$OUT/machine.txt"
status=0
for p in "${TARGETS[@]}"; do
  echo "== $p"
  if ! timeout "$PER_PROGRAM_TIMEOUT" "build/bench/bench/$p" --benchmark_min_time="$MIN_TIME" \
      --benchmark_out="$OUT/$p.json" --benchmark_out_format=json --benchmark_color=false \
      2>&1 | tee "$OUT/$p.txt"; then
    echo "$p failed or ran over ${PER_PROGRAM_TIMEOUT}s" >&2
    status=1
  fi
done

if [[ -s $OUT/matching_bench.json ]]; then
  scripts/plot-matching.py "$OUT/matching_bench.json" "$OUT/matching-time.svg"
  echo "plot: $OUT/matching-time.svg"
  if [[ $UPDATE_DOCS == 1 ]]; then cp "$OUT/matching-time.svg" docs/matching-time.svg; fi
fi
echo "results: $OUT"
exit $status
