#!/usr/bin/env bash
# Figures for the Linux host, in namespaces of its own (root): new TCP connections per second and
# connect latency without and with the filter (100,000 blocked domains), the TLS handshake of a
# held flow, port-80 requests from connect to first response byte (the Host is read before the
# verdict), and one connection's throughput. Then new connections from CLIENTS parallel clients
# to a plain port, side by side in rounds: no filter, an accept-all queue program (the cost of the
# queue alone), the daemon with one queue and with two; the machine ceiling (two processes of
# arithmetic against one) is printed beside them. Last, the latency a DNS answer gains through the
# daemon beside the accept-all program on a queue rule for answers, and a large plain-HTTP download
# and upload without and with the daemon. Bounded: every step has a timeout. The parallel clients
# take their source addresses in turn from SOURCES addresses of the client namespace: the kernel
# balances queues by address pair only (ports are not hashed), so from a single address every
# connection would go to one queue.
#   scripts/bench-linux.sh [path/to/quillnest-filter] [connections=2000]
#   environment: ACCEPT_ALL (default build/bench/bench/accept_all_queue), CLIENTS=4, ROUNDS=3,
#   SOURCES=32, BASELINE (another build of the daemon, measured beside this one in the parallel
#   part as base-1q and base-2q), ONLY=parallel, dns or http (that part alone), HTTP_MB=1000,
#   HTTP_ROUNDS=7 (single transfers spread widely on a virtual machine: more rounds, a steadier
#   median)
set -uo pipefail
BIN=$(readlink -f "${1:-build/release/app/quillnest-filter}")
COUNT=${2:-2000}
ACCEPT_ALL=$(readlink -f "${ACCEPT_ALL:-build/bench/bench/accept_all_queue}")
CLIENTS=${CLIENTS:-4}
ROUNDS=${ROUNDS:-3}
SOURCES=${SOURCES:-32}
BASELINE=${BASELINE:+$(readlink -f "$BASELINE")}
PLAIN_PORT=5001
ACCEPT_QUEUE=7
HERE=$(cd "$(dirname "$0")" && pwd)
[[ $(id -u) -eq 0 ]] || { echo "needs root"; exit 1; }
[[ -x $BIN ]] || { echo "no binary at $BIN"; exit 1; }

C="qnb$$-c"; S="qnb$$-s"; WORK=$(mktemp -d /tmp/quillnest-bench.XXXXXX)
PIDS=(); DAEMON=""; ACCEPTER=()
ACCEPT_RULE=(-t mangle -p tcp -m conntrack --ctstate NEW -j NFQUEUE --queue-num "$ACCEPT_QUEUE"
  --queue-bypass)
# The accept-all program's rule for DNS answers, as the daemon's chains queue them.
ANSWER_RULE=(-t mangle -p udp --sport 53 -m conntrack --ctdir REPLY -j NFQUEUE
  --queue-num "$ACCEPT_QUEUE" --queue-bypass)
# Every packet a client sends on a port-80 connection, as the daemon queues an inspected one.
HTTP_RULE=(-t mangle -p tcp --dport 80 -m conntrack --ctdir ORIGINAL -j NFQUEUE
  --queue-num "$ACCEPT_QUEUE" --queue-bypass)
cleanup() {
  [[ -n $DAEMON ]] && kill -TERM "$DAEMON" 2>/dev/null && sleep 1
  [[ -n $DAEMON ]] && kill -KILL "$DAEMON" 2>/dev/null
  ((${#ACCEPTER[@]})) && kill -KILL "${ACCEPTER[@]}" 2>/dev/null
  ((${#ACCEPTER_RULE[@]})) && ip netns exec "$C" iptables -D "${ACCEPTER_RULE[@]}" 2>/dev/null
  for p in "${PIDS[@]}"; do kill -KILL "$p" 2>/dev/null; done
  wait 2>/dev/null
  ip netns del "$C" 2>/dev/null; ip netns del "$S" 2>/dev/null; rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

ip netns add "$C"; ip netns add "$S"
ip -n "$C" link add qc0 type veth peer name qs0 netns "$S"
ip -n "$C" addr add 198.51.100.1/24 dev qc0; ip -n "$S" addr add 198.51.100.2/24 dev qs0
SOURCE_LIST=""
for i in $(seq "$SOURCES"); do
  ip -n "$C" addr add "198.51.100.$((100 + i))/24" dev qc0
  SOURCE_LIST+="${SOURCE_LIST:+,}198.51.100.$((100 + i))"
done
for ns in "$C" "$S"; do ip -n "$ns" link set lo up; done
ip -n "$C" link set qc0 up; ip -n "$S" link set qs0 up

openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=bench" -keyout "$WORK/key.pem" \
  -out "$WORK/cert.pem" >/dev/null 2>&1
ip netns exec "$S" openssl s_server -accept 198.51.100.2:443 -cert "$WORK/cert.pem" \
  -key "$WORK/key.pem" -quiet -naccept 100000 >/dev/null 2>&1 </dev/null &
PIDS+=($!)
ip netns exec "$S" python3 "$HERE/bench_linux_helper.py" serve 80 &
PIDS+=($!)
ip netns exec "$S" python3 "$HERE/bench_linux_helper.py" sink "$PLAIN_PORT" &
PIDS+=($!)
# DNS: HTTPS records with an ech parameter for a blocked name (rewritten) and an allowed one.
ECH_HEX=$(python3 -c 'print("003e" + "fe0d003a" + "07" * 58)')
cat > "$WORK/zone.json" <<ZONE
{"www.blocked7.example HTTPS": [{"priority": 1, "target": ".", "params": [[1, "026832"], [5, "$ECH_HEX"]]}],
 "www.allowed.example HTTPS": [{"priority": 1, "target": ".", "params": [[1, "026832"], [5, "$ECH_HEX"]]}]}
ZONE
mkdir -p "$WORK/answers"
ip netns exec "$S" python3 "$HERE/../tests/e2e/dns_server.py" 198.51.100.2 "$WORK/zone.json" \
  "$WORK/answers" 2>/dev/null &
PIDS+=($!)
sleep 1

python3 - "$WORK/rules.json" <<'PY'
import json, sys
domains = [f"blocked{i}.example" for i in range(100000)]
json.dump({"isEnabled": True, "domains": domains}, open(sys.argv[1], "w"))
PY

HTTP_RESULTS=()
measure() {
  local http
  http=$(ip netns exec "$C" timeout 120 python3 "$HERE/bench_linux_helper.py" http 198.51.100.2 allowed.example "$COUNT")
  HTTP_RESULTS+=("$http")
  echo "  connect:    $(ip netns exec "$C" timeout 120 python3 "$HERE/bench_linux_helper.py" connect 198.51.100.2 80 "$COUNT")"
  echo "  http:       $http"
  echo "  tls:        $(ip netns exec "$C" timeout 120 python3 "$HERE/bench_linux_helper.py" tls 198.51.100.2 allowed.example 200)"
  echo "  throughput: $(ip netns exec "$C" timeout 30 python3 "$HERE/bench_linux_helper.py" blast 198.51.100.2 80 3)"
}

DAEMON_BIN=$BIN
start_daemon() {  # [run options...]
  : >"$WORK/daemon.log"
  ip netns exec "$C" "$DAEMON_BIN" run --rules "$WORK/rules.json" --runtime-dir "$WORK/run" "$@" \
    >"$WORK/daemon.log" 2>&1 &
  DAEMON=$!
  for _ in $(seq 300); do grep -q "quillnest-filter running" "$WORK/daemon.log" && break; sleep 0.1; done
  grep -q "quillnest-filter running" "$WORK/daemon.log" || { cat "$WORK/daemon.log"; exit 1; }
}
stop_daemon() {
  kill -TERM "$DAEMON" 2>/dev/null
  for _ in $(seq 100); do kill -0 "$DAEMON" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$DAEMON" 2>/dev/null; wait "$DAEMON" 2>/dev/null; DAEMON=""
}
# The accept-all program on its queue, with one rule sending it packets: start_accepter CHAIN RULE...
# ACCEPTERS=2 first runs two of them, on the queue and the next, the rule balancing between them
# by address pair as the daemon's does.
ACCEPTER_RULE=()
start_accepter() {
  local n=${ACCEPTERS:-1} q
  for ((q = ACCEPT_QUEUE; q < ACCEPT_QUEUE + n; q++)); do
    ip netns exec "$C" "$ACCEPT_ALL" "$q" >"$WORK/accept$q.log" 2>&1 &
    ACCEPTER+=("$!")
    for _ in $(seq 50); do grep -q ready "$WORK/accept$q.log" && break; sleep 0.1; done
  done
  ACCEPTER_RULE=()
  while (($#)); do
    if [[ $1 == --queue-num ]] && ((n > 1)); then
      ACCEPTER_RULE+=(--queue-balance "$2:$(($2 + n - 1))")
      shift 2
    else
      ACCEPTER_RULE+=("$1")
      shift
    fi
  done
  ip netns exec "$C" iptables -I "${ACCEPTER_RULE[@]:0:1}" 1 "${ACCEPTER_RULE[@]:1}"
}
stop_accepter() {
  ip netns exec "$C" iptables -D "${ACCEPTER_RULE[@]}"
  kill -TERM "${ACCEPTER[@]}"; wait "${ACCEPTER[@]}" 2>/dev/null; ACCEPTER=(); ACCEPTER_RULE=()
}
if [[ -z ${ONLY:-} ]]; then
  echo "without the filter ($COUNT connections, 200 TLS handshakes):"
  measure
  start_daemon
  echo "with the filter (100,000 blocked domains; TLS flows held until the ClientHello is read):"
  measure
  echo
  echo "port-80 requests, connect to first response byte ($COUNT requests, Host read before the verdict):"
  printf '  %-18s %s\n' "without the filter" "${HTTP_RESULTS[0]:-?}" "with the filter" "${HTTP_RESULTS[1]:-?}"
  stop_daemon
fi

part() { [[ -z ${ONLY:-} || $ONLY == "$1" ]]; }
# Parallel new connections to a plain port: the first packet of each goes through the queue and the
# provider's new-flow decision; every later packet bypasses user space.
# One client alone gives the latency each setup adds to a connect.
# The packets each queue took so far (the kernel's last packet id per queue), as "q0 N q1 M".
queue_split() {
  ip netns exec "$C" awk '{printf "%sq%s %s", (NR > 1 ? " " : ""), $1, $8}' \
    /proc/net/netfilter/nfnetlink_queue 2>/dev/null
}
parallel() {  # label
  local line single split=""
  line=$(ip netns exec "$C" timeout 120 python3 "$HERE/bench_linux_helper.py" pconnect 198.51.100.2 \
    "$PLAIN_PORT" "$COUNT" "$CLIENTS" "$SOURCE_LIST")
  [[ $1 == *-[12]q ]] && split=" | queued packets: $(queue_split)"
  single=$(ip netns exec "$C" timeout 120 python3 "$HERE/bench_linux_helper.py" pconnect \
    198.51.100.2 "$PLAIN_PORT" "$COUNT" 1 "$SOURCE_LIST")
  printf '    %-14s %s | one client: %s%s\n' "$1:" "$line" "$single" "$split"
  echo "$1 ${line%% *} $(awk '{for (i = 1; i < NF; i++) if ($i == "p50") print $(i + 1)}' <<<"$single")" \
    >>"$WORK/rates"
}
if part parallel; then
echo
echo "parallel new connections, $CLIENTS clients from $SOURCES addresses, $COUNT per run," \
  "port $PLAIN_PORT, $ROUNDS rounds (load average before: $(cut -d' ' -f1-3 /proc/loadavg)):"
: >"$WORK/rates"
for round in $(seq "$ROUNDS"); do
  echo "  round $round"
  echo "ceiling $(python3 "$HERE/bench_linux_helper.py" ceiling) 0" >>"$WORK/rates"
  parallel none
  if [[ -x $ACCEPT_ALL ]]; then
    start_accepter OUTPUT "${ACCEPT_RULE[@]}"
    parallel accept-all
    stop_accepter
    ACCEPTERS=2 start_accepter OUTPUT "${ACCEPT_RULE[@]}"
    parallel accept-all-2q
    stop_accepter
  fi
  for build in ${BASELINE:+base} daemon; do
    DAEMON_BIN=$BIN
    [[ $build == base ]] && DAEMON_BIN=$BASELINE
    start_daemon --queues 1
    parallel "$build-1q"
    stop_daemon
    start_daemon --queues 2
    parallel "$build-2q"
    stop_daemon
  done
  DAEMON_BIN=$BIN
done
[[ -x $ACCEPT_ALL ]] || echo "  (no accept-all program at $ACCEPT_ALL: build it with the bench preset)"
python3 - "$WORK/rates" <<'PY'
import statistics, sys
rates, latencies = {}, {}
for line in open(sys.argv[1]):
    label, rate, latency = line.split()
    rates.setdefault(label, []).append(float(rate))
    latencies.setdefault(label, []).append(float(latency))
m = {label: statistics.median(values) for label, values in rates.items()}
p50 = {label: statistics.median(values) for label, values in latencies.items()}
print()
print("  summary (medians of the rounds; conn/s with all clients, latency of one client alone):")
print(f"  machine ceiling (2 processes of arithmetic / 1): {m.pop('ceiling'):.2f}x"
      " (2.00x: both cores were free for the run)")
print("  %-13s %10s %9s %14s %14s" % ("", "conn/s", "/ none", "1 client p50", "added p50"))
for label in m:
    print("  %-13s %10.0f %8.2fx %11.0f us %11.0f us" % (
        label, m[label], m[label] / m["none"], p50[label], p50[label] - p50.get("none", 0)))
def ratio(text, value, goal, better_low=False):
    met = value <= goal if better_low else value >= goal
    print(f"  {text}: {value:.2f}x (goal {'<=' if better_low else '>='} {goal}x: "
          f"{'met' if met else 'missed'})")
if "accept-all" in m and "daemon-1q" in m:
    ratio("daemon 1 queue / accept-all, conn/s", m["daemon-1q"] / m["accept-all"], 0.9)
    added = p50["accept-all"] - p50["none"]
    if added > 0:
        ratio("daemon 1 queue / accept-all, added latency",
              (p50["daemon-1q"] - p50["none"]) / added, 1.2, True)
if "daemon-1q" in m:
    ratio("daemon 2 queues / 1 queue, conn/s", m["daemon-2q"] / m["daemon-1q"], 1.5)
if "accept-all-2q" in m:
    print(f"  accept-all 2 queues / 1 queue, conn/s: {m['accept-all-2q'] / m['accept-all']:.2f}x"
          " (what a second queue gives where user space does nothing)")
if "base-1q" in m:
    for q in ("1q", "2q"):
        print(f"  daemon-{q} / base-{q}, conn/s: {m['daemon-' + q] / m['base-' + q]:.2f}x, added p50 "
              f"{p50['daemon-' + q] - p50['none']:.0f} us against {p50['base-' + q] - p50['none']:.0f} us")
PY
echo "  (load average after: $(cut -d' ' -f1-3 /proc/loadavg))"
fi

if part dns; then
# DNS answers, in rounds alternating the setups: no queue, the accept-all program, the daemon for
# an allowed name (answer unchanged) and a blocked one (ech removed).
dns_p50() {  # dns_p50 NAME -> median answer latency in microseconds
  ip netns exec "$C" timeout 120 python3 "$HERE/bench_linux_helper.py" dns 198.51.100.2 "$1" \
    "$COUNT" | sed -n 's/.*p50_us=\([0-9]*\).*/\1/p'
}
echo
echo "DNS answers over UDP, median query-to-answer latency ($COUNT sequential queries, $ROUNDS rounds):"
dns_p50 www.allowed.example >/dev/null  # warm the server
: >"$WORK/dns"
for round in $(seq "$ROUNDS"); do
  echo "none $(dns_p50 www.allowed.example)" >>"$WORK/dns"
  if [[ -x $ACCEPT_ALL ]]; then
    start_accepter INPUT "${ANSWER_RULE[@]}"
    echo "accept-all $(dns_p50 www.allowed.example)" >>"$WORK/dns"
    stop_accepter
  fi
  start_daemon
  echo "daemon-allowed $(dns_p50 www.allowed.example)" >>"$WORK/dns"
  echo "daemon-blocked $(dns_p50 www.blocked7.example)" >>"$WORK/dns"
  stop_daemon
done
python3 - "$WORK/dns" "$HERE" <<'PY'
import sys
sys.path.insert(0, sys.argv[2])
from bench_linux_helper import round_medians
rounds, m = round_medians(sys.argv[1])
for label, values in rounds.items():
    print(f"  {label:15} {m[label]:7.0f} us   rounds: {' '.join(f'{v:.0f}' for v in values)}")
if "accept-all" in m:
    for name in ("daemon-allowed", "daemon-blocked"):
        line = f"  {name} / accept-all: whole latency {m[name] / m['accept-all']:.2f}x"
        added = m["accept-all"] - m["none"]
        if added > 0:
            line += f", added latency {(m[name] - m['none']) / added:.2f}x (goal <= 1.2x)"
        else:
            # On a busy machine an answer no queue program takes out of the softirq path can wait
            # for ksoftirqd, so no queue is no baseline then.
            line += ", added latency not measurable (no queue was slower)"
        print(line)
PY

fi

if part http; then
# Plain HTTP, one connection each way, in rounds alternating no filter, the accept-all program
# given every packet the client sends on port 80 (what the queue alone costs) and the daemon. The
# daemon judges every request head of a port-80 connection, so it follows the stream through bodies.
transfer_rate() {  # transfer_rate download|upload -> MB/s
  ip netns exec "$C" timeout 300 python3 "$HERE/bench_linux_helper.py" "$1" 198.51.100.2 \
    allowed.example "$HTTP_MB" | sed -n 's/.*rate_mb_s=\([0-9]*\).*/\1/p'
}
HTTP_MB=${HTTP_MB:-1000}
HTTP_ROUNDS=${HTTP_ROUNDS:-7}
echo
echo "plain HTTP on port 80, one connection, $HTTP_MB MB each way, $HTTP_ROUNDS rounds:"
: >"$WORK/transfer"
for round in $(seq "$HTTP_ROUNDS"); do
  for way in download upload; do echo "none-$way $(transfer_rate "$way")" >>"$WORK/transfer"; done
  if [[ -x $ACCEPT_ALL ]]; then
    start_accepter OUTPUT "${HTTP_RULE[@]}"
    for way in download upload; do echo "accept-$way $(transfer_rate "$way")" >>"$WORK/transfer"; done
    stop_accepter
  fi
  start_daemon
  for way in download upload; do echo "daemon-$way $(transfer_rate "$way")" >>"$WORK/transfer"; done
  stop_daemon
done
python3 - "$WORK/transfer" "$HERE" <<'PY'
import sys
sys.path.insert(0, sys.argv[2])
from bench_linux_helper import round_medians
rounds, m = round_medians(sys.argv[1])
print("  %-9s %12s %12s %12s   %s" % ("", "no filter", "accept-all", "daemon", "daemon / no filter"))
for way in ("download", "upload"):
    none, accept, daemon = (m.get(f"{k}-{way}") for k in ("none", "accept", "daemon"))
    if not none or not daemon:
        print(f"  {way}: not measured (a transfer failed)")
        continue
    ratio = daemon / none
    print("  %-9s %7.0f MB/s %7s MB/s %7.0f MB/s   %.2fx (goal >= 0.9x: %s)%s" % (
        way, none, f"{accept:.0f}" if accept else "?", daemon, ratio,
        "met" if ratio >= 0.9 else "missed",
        f", daemon / accept-all {daemon / accept:.2f}x" if accept else ""))
    print("            rounds: " + " | ".join(
        " ".join(f"{v:.0f}" for v in rounds[f"{k}-{way}"]) for k in ("none", "accept", "daemon")
        if f"{k}-{way}" in rounds))
PY
fi
