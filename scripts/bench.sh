#!/usr/bin/env bash
# Every benchmark in one go: configures and builds the `bench` preset (Release), runs each
# bench/<name>_bench program with its JSON written to OUT/<name>.json and its console output
# (tables with our figure, the peer's and their ratio) to OUT/<name>.txt, then times the replay
# subcommand beside ndpiReader on one capture of 20,000 TLS connections, then plots matching
# time against list size into OUT/matching-time.svg (and docs/matching-time.svg with
# --update-docs). Takes about 3 minutes to run on 2 cores, plus the build.
#   scripts/bench.sh [--update-docs | --replay-only] [OUT=build/bench-results]
# BENCH_MIN_TIME (seconds per benchmark, default 0.2) trades run time for steadier figures.
# The Linux host's live figures (namespaces, root) come from scripts/bench-linux.sh instead.
set -euo pipefail
cd "$(dirname "$0")/.."

UPDATE_DOCS=0
REPLAY_ONLY=0
if [[ ${1:-} == --update-docs ]]; then
  UPDATE_DOCS=1
  shift
elif [[ ${1:-} == --replay-only ]]; then
  REPLAY_ONLY=1
  shift
fi
OUT=${1:-build/bench-results}
MIN_TIME=${BENCH_MIN_TIME:-0.2}
PER_PROGRAM_TIMEOUT=300

cmake --preset bench >/dev/null
# Only the benchmark programs and what the replay comparison runs: the preset would otherwise build
# everything.
mapfile -t PROGRAMS < <(for f in bench/*_bench.cc; do basename "$f" .cc; done)
[[ $REPLAY_ONLY == 1 ]] && PROGRAMS=()
TARGETS=()
for p in "${PROGRAMS[@]}"; do
  # A program the configuration left out (no replay host, say) is not a target.
  if ninja -C build/bench -t query "$p" >/dev/null 2>&1; then TARGETS+=("$p"); fi
done
# The replay subcommand and the capture it is timed on beside ndpiReader.
cmake --build --preset bench -j 2 --target "${TARGETS[@]}" quillnest-filter replay_capture

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

# Replay beside ndpiReader on the same capture, wall time, runs alternating; the best run of each
# counts, since on a shared machine the slower runs measure the neighbours.
replay_vs_ndpi() {
  local dir=$OUT/replay-capture runs=${REPLAY_RUNS:-5} summary
  if ! command -v ndpiReader >/dev/null; then
    echo "no ndpiReader (Debian package libndpi-bin): replay not compared" >&2
    return 1
  fi
  build/bench/bench/replay_capture "$dir" "${REPLAY_CONNECTIONS:-20000}" || return 1
  summary=$(build/bench/app/quillnest-filter replay "$dir/flows.pcap" --rules "$dir/rules.json" |
    tail -1) || return 1
  echo "replay: $summary"
  : >"$dir/times"
  local TIMEFORMAT="%R %U %S"  # wall, user and system seconds
  for _ in $(seq "$runs"); do
    { echo -n "replay "; { time build/bench/app/quillnest-filter replay "$dir/flows.pcap" \
      --rules "$dir/rules.json" >/dev/null; } 2>&1; } >>"$dir/times" || return 1
    # -q: no per-flow lines, only the totals.
    { echo -n "ndpiReader "; { time ndpiReader -q -i "$dir/flows.pcap" >/dev/null 2>&1; } 2>&1; } \
      >>"$dir/times" || return 1
  done
  awk '
    function keep(name, value, cpu) {
      if (!(name in best) || value < best[name]) best[name] = value
      if (!(name in bestCpu) || cpu < bestCpu[name]) bestCpu[name] = cpu
      all[name] = all[name] sprintf(" %.3f", value)
    }
    { keep($1, $2, $3 + $4) }
    END {
      printf "  %-24s %7.3f s wall %7.3f s CPU   runs (wall):%s\n", "quillnest-filter replay",
        best["replay"], bestCpu["replay"], all["replay"]
      printf "  %-24s %7.3f s wall %7.3f s CPU   runs (wall):%s\n", "ndpiReader -q",
        best["ndpiReader"], bestCpu["ndpiReader"], all["ndpiReader"]
      ratio = best["replay"] / best["ndpiReader"]
      printf "  replay / ndpiReader, wall time: %.2fx (goal <= 0.5x: %s); CPU time: %.2fx\n", ratio,
        ratio <= 0.5 ? "met" : "missed", bestCpu["replay"] / bestCpu["ndpiReader"]
    }' "$dir/times"
  rm -f "$dir/flows.pcap"
}
echo "== replay beside ndpiReader (best of ${REPLAY_RUNS:-5} alternating runs, wall time)"
if ! replay_vs_ndpi 2>&1 | tee "$OUT/replay_vs_ndpi.txt"; then status=1; fi

# The daemon holding a big list (its own network namespace; root only).
if [[ $REPLAY_ONLY == 1 ]]; then
  :
elif [[ $(id -u) -eq 0 ]]; then
  echo "== the daemon at ${DAEMON_DOMAINS:-1000000} domains: steady RSS, SIGHUP reloads"
  if ! scripts/bench-rules-daemon.sh build/bench/app/quillnest-filter "${DAEMON_DOMAINS:-1000000}" 2>&1 |
      tee "$OUT/rules_daemon.txt"; then status=1; fi
else
  echo "not root: the daemon's big-list figures (scripts/bench-rules-daemon.sh) skipped"
fi

if [[ -s $OUT/matching_bench.json ]]; then
  scripts/plot-matching.py "$OUT/matching_bench.json" "$OUT/matching-time.svg"
  echo "plot: $OUT/matching-time.svg"
  if [[ $UPDATE_DOCS == 1 ]]; then cp "$OUT/matching-time.svg" docs/matching-time.svg; fi
fi
echo "results: $OUT"
exit $status
