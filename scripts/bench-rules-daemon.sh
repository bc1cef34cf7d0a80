#!/usr/bin/env bash
# The daemon holding a big rules file (root; a network namespace of its own, no traffic): time
# from start to the list loaded, steady RSS, and SIGHUP reloads (signal to the "Rules updated"
# line), each against its goal. Called by scripts/bench.sh when run as root.
#   scripts/bench-rules-daemon.sh [path/to/quillnest-filter] [domains=1000000]
set -uo pipefail
BIN=$(readlink -f "${1:-build/release/app/quillnest-filter}")
COUNT=${2:-1000000}
[[ $(id -u) -eq 0 ]] || { echo "needs root"; exit 1; }
[[ -x $BIN ]] || { echo "no binary at $BIN"; exit 1; }

NS="qnd$$"; WORK=$(mktemp -d /tmp/quillnest-rules-daemon.XXXXXX); DAEMON=""
cleanup() {
  [[ -n $DAEMON ]] && kill -TERM "$DAEMON" 2>/dev/null
  for _ in $(seq 50); do [[ -n $DAEMON ]] && kill -0 "$DAEMON" 2>/dev/null || break; sleep 0.1; done
  [[ -n $DAEMON ]] && kill -KILL "$DAEMON" 2>/dev/null
  wait 2>/dev/null
  ip netns del "$NS" 2>/dev/null; rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
ip netns add "$NS" && ip -n "$NS" link set lo up || { echo "cannot create a namespace"; exit 1; }

# Names shaped like the benchmarks' (random labels under common top-level domains).
python3 - "$WORK/rules.json" "$COUNT" <<'PY'
import json, random, string, sys
rng = random.Random(int(sys.argv[2]))
alphabet = string.ascii_lowercase + string.digits + "-"
tlds = ["com", "net", "org", "io", "de", "co.uk", "info", "xyz"]
def label():
    return rng.choice(string.ascii_lowercase) + "".join(rng.choice(alphabet) for _ in range(rng.randint(4, 15)))
domains = []
for _ in range(int(sys.argv[2])):
    name = label()
    if rng.randrange(3) == 0:
        name = label() + "." + name
    domains.append(name + "." + rng.choice(tlds))
json.dump({"isEnabled": True, "domains": domains}, open(sys.argv[1], "w"))
PY
chmod 644 "$WORK/rules.json"
SIZE=$(stat -c %s "$WORK/rules.json")

rss_mb() { awk -v key="$1:" '$1 == key {printf "%.1f", $2 / 1024}' "/proc/$DAEMON/status"; }
start=$(date +%s%3N)
ip netns exec "$NS" "$BIN" run --rules "$WORK/rules.json" --runtime-dir "$WORK/run" >"$WORK/daemon.log" 2>&1 &
DAEMON=$!
# The built-in resolver names come on top of the file's entries.
loaded() {
  sed -n 's/.*Rules updated: enabled=true domains=\([0-9]*\).*/\1/p' "$WORK/daemon.log" |
    awk -v n="$COUNT" '$1 >= n { found = 1 } END { exit !found }'
}
for _ in $(seq 3000); do loaded && break; sleep 0.02; done
loaded || { echo "the daemon did not load the list"; tail "$WORK/daemon.log"; exit 1; }
ready=$(( $(date +%s%3N) - start ))
sleep 2
steady=$(rss_mb VmRSS)

# SIGHUP, then the next "Rules updated" line, polled every millisecond.
reloads=$(python3 - "$DAEMON" "$WORK/daemon.log" <<'PY'
import os, signal, sys, time
pid, log = int(sys.argv[1]), sys.argv[2]
def updates():
    with open(log, "rb") as f:
        return f.read().count(b"Rules updated")
times = []
for _ in range(5):
    before = updates()
    start = time.monotonic()
    os.kill(pid, signal.SIGHUP)
    while updates() == before and time.monotonic() - start < 30:
        time.sleep(0.001)
    times.append((time.monotonic() - start) * 1000)
    time.sleep(1)
print(" ".join(f"{t:.0f}" for t in times))
PY
)
sleep 2
after=$(rss_mb VmRSS)
peak=$(rss_mb VmHWM)
best=$(tr ' ' '\n' <<<"$reloads" | sort -n | head -1)
median=$(tr ' ' '\n' <<<"$reloads" | sort -n | sed -n 3p)
goal() { awk -v v="$1" -v l="$2" 'BEGIN { print (v <= l) ? "met" : "NOT MET" }'; }
echo "machine load: $(cut -d' ' -f1-3 /proc/loadavg)"
printf 'the daemon with %d domains (%.1f MB file):\n' "$COUNT" "$(awk -v s="$SIZE" 'BEGIN{print s/1e6}')"
printf '  %-40s %8s ms\n' "start to list loaded" "$ready"
printf '  %-40s %8s MB   goal <= 60 MB   %s\n' "steady RSS" "$steady" "$(goal "$steady" 60)"
printf '  %-40s %8s ms   goal <= 300 ms  %s\n' "SIGHUP reload, median of 5" "$median" "$(goal "$median" 300)"
printf '  %-40s %8s ms   (all: %s)\n' "SIGHUP reload, best" "$best" "$reloads"
printf '  %-40s %8s MB   goal <= 60 MB   %s\n' "RSS after the reloads" "$after" "$(goal "$after" 60)"
printf '  %-40s %8s MB\n' "peak RSS (start and reloads)" "$peak"
