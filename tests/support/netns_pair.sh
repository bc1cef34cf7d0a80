# Sourced by end-to-end scripts: two namespaces of the script's own ($C the client at
# 198.51.100.1, $S the server at 198.51.100.2) joined by a veth pair, a throwaway certificate in
# $WORK, pass/fail counting, a DNS server for $C (serve_dns), and a cleanup on exit that stops
# every PID in PIDS (TERM, then KILL) and deletes both namespaces and $WORK. The script sets C,
# S, WORK, FAILURES and PIDS first.

cleanup() {
  for pid in "${PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${PIDS[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
  done
  ip netns del "$C" 2>/dev/null
  ip netns del "$S" 2>/dev/null
  rm -rf "$WORK"
  if [[ -n ${C:-} ]]; then rm -rf "/etc/netns/$C"; fi
}
trap cleanup EXIT

# start_daemon LOG RULES [RUN OPTIONS...]: the daemon in $C, its runtime directory $WORK/run; sets
# DAEMON and waits until it runs. A daemon that dies or never says it runs ends the script.
start_daemon() {
  local log=$1 rules=$2
  shift 2
  ip netns exec "$C" "$BIN" run --rules "$rules" --runtime-dir "$WORK/run" "$@" >"$log" 2>&1 &
  DAEMON=$!
  PIDS+=("$DAEMON")
  for _ in $(seq 100); do
    grep -q "quillnest-filter running" "$log" && return 0
    kill -0 "$DAEMON" 2>/dev/null || break
    sleep 0.1
  done
  cat "$log"
  echo "daemon did not start"
  exit 1
}

# serve_dns ZONE: tests/e2e/dns_server.py in $S at 198.51.100.2 with the zone file ZONE (its
# answers kept in $WORK/answers), and $C resolving through it (/etc/netns/$C, removed on exit).
serve_dns() {
  mkdir -p "$WORK/answers" "/etc/netns/$C"
  echo "nameserver 198.51.100.2" >"/etc/netns/$C/resolv.conf"
  ip netns exec "$S" python3 "$(dirname "${BASH_SOURCE[0]}")/../e2e/dns_server.py" 198.51.100.2 \
    "$1" "$WORK/answers" 2>"$WORK/dns.log" &
  PIDS+=($!)
}

pass() { echo "PASS: $*"; }
fail() { echo "FAIL: $*"; FAILURES=$((FAILURES + 1)); }

ip netns add "$C" && ip netns add "$S" || { echo "cannot create namespaces"; exit 1; }
ip -n "$C" link add qc0 type veth peer name qs0 netns "$S"
ip -n "$C" addr add 198.51.100.1/24 dev qc0
ip -n "$S" addr add 198.51.100.2/24 dev qs0
for ns in "$C" "$S"; do ip -n "$ns" link set lo up; done
ip -n "$C" link set qc0 up
ip -n "$S" link set qs0 up

openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=quillnest-test" \
  -keyout "$WORK/key.pem" -out "$WORK/cert.pem" >/dev/null 2>&1
