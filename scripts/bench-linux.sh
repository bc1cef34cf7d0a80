#!/usr/bin/env bash
# Figures for the Linux host, in namespaces of its own (root): new TCP connections per second and
# connect latency without and with the filter (100,000 blocked domains), the TLS handshake of a
# held flow, port-80 requests from connect to first response byte (the Host is read before the
# verdict), and one connection's throughput. Bounded: every step has a timeout.
#   scripts/bench-linux.sh [path/to/quillnest-filter] [connections=2000]
set -uo pipefail
BIN=$(readlink -f "${1:-build/release/app/quillnest-filter}")
COUNT=${2:-2000}
HERE=$(cd "$(dirname "$0")" && pwd)
[[ $(id -u) -eq 0 ]] || { echo "needs root"; exit 1; }
[[ -x $BIN ]] || { echo "no binary at $BIN"; exit 1; }

C="qnb$$-c"; S="qnb$$-s"; WORK=$(mktemp -d /tmp/quillnest-bench.XXXXXX)
PIDS=(); DAEMON=""
cleanup() {
  [[ -n $DAEMON ]] && kill -TERM "$DAEMON" 2>/dev/null && sleep 1
  [[ -n $DAEMON ]] && kill -KILL "$DAEMON" 2>/dev/null
  for p in "${PIDS[@]}"; do kill -KILL "$p" 2>/dev/null; done
  wait 2>/dev/null
  ip netns del "$C" 2>/dev/null; ip netns del "$S" 2>/dev/null; rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

ip netns add "$C"; ip netns add "$S"
ip -n "$C" link add qc0 type veth peer name qs0 netns "$S"
ip -n "$C" addr add 198.51.100.1/24 dev qc0; ip -n "$S" addr add 198.51.100.2/24 dev qs0
for ns in "$C" "$S"; do ip -n "$ns" link set lo up; done
ip -n "$C" link set qc0 up; ip -n "$S" link set qs0 up

openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=bench" -keyout "$WORK/key.pem" \
  -out "$WORK/cert.pem" >/dev/null 2>&1
ip netns exec "$S" openssl s_server -accept 198.51.100.2:443 -cert "$WORK/cert.pem" \
  -key "$WORK/key.pem" -quiet -naccept 100000 >/dev/null 2>&1 </dev/null &
PIDS+=($!)
ip netns exec "$S" python3 "$HERE/bench_linux_helper.py" serve 80 &
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

echo "without the filter ($COUNT connections, 200 TLS handshakes):"
measure
ip netns exec "$C" "$BIN" run --rules "$WORK/rules.json" --runtime-dir "$WORK/run" >"$WORK/daemon.log" 2>&1 &
DAEMON=$!
for _ in $(seq 100); do grep -q "quillnest-filter running" "$WORK/daemon.log" && break; sleep 0.1; done
grep -q "quillnest-filter running" "$WORK/daemon.log" || { cat "$WORK/daemon.log"; exit 1; }
echo "with the filter (100,000 blocked domains; TLS flows held until the ClientHello is read):"
measure
echo
echo "port-80 requests, connect to first response byte ($COUNT requests, Host read before the verdict):"
printf '  %-18s %s\n' "without the filter" "${HTTP_RESULTS[0]:-?}" "with the filter" "${HTTP_RESULTS[1]:-?}"
