#!/usr/bin/env bash
# End-to-end test of what a killed daemon leaves behind: with --fail-closed new web connections
# fail until the daemon is back, other ports keep working, and an orderly stop lets everything
# through again; without it the same SIGKILL lets everything through. Two namespaces of its own.
# Usage: fail_closed_e2e.sh PATH/TO/quillnest-filter
set -u
BIN=$1
[[ $(id -u) -eq 0 ]] || { echo "needs root (namespaces, iptables inside them)"; exit 77; }
command -v openssl >/dev/null || { echo "openssl missing"; exit 77; }

C="qnfc-c-$$"
S="qnfc-s-$$"
WORK=$(mktemp -d /tmp/quillnest-fc-e2e-XXXXXX)
chmod 0755 "$WORK"
FAILURES=0
PIDS=()

source "$(dirname "$0")/../support/netns_pair.sh"
for port in 443 8443; do
  ip netns exec "$S" openssl s_server -accept "198.51.100.2:$port" -cert "$WORK/cert.pem" \
    -key "$WORK/key.pem" -www -quiet >/dev/null 2>&1 &
  PIDS+=($!)
done
printf '{"isEnabled": true, "domains": ["blocked.example"]}\n' > "$WORK/rules.json"
chmod 0644 "$WORK/rules.json"

stop_daemon() {  # $1: signal
  kill "-$1" "$DAEMON"
  for _ in $(seq 100); do kill -0 "$DAEMON" 2>/dev/null || break; sleep 0.1; done
  { wait "$DAEMON"; } 2>/dev/null
}

# A new TLS connection from the client namespace completes its handshake.
tls_ok() {  # $1: server name, $2: port
  timeout 5 ip netns exec "$C" openssl s_client -connect "198.51.100.2:${2:-443}" \
    -servername "$1" </dev/null 2>/dev/null | grep -q "^New, TLS"
}

start_daemon "$WORK/daemon.log" "$WORK/rules.json" --queues 1 --fail-closed
"$BIN" status --socket "$WORK/run/control.sock" | grep -q "web connections fail (fail-closed)" \
  && pass "status names fail-closed mode" || fail "status: $("$BIN" status --socket "$WORK/run/control.sock")"
tls_ok allowed.example && pass "fail-closed: allowed name passes" || fail "allowed name failed"
tls_ok blocked.example && fail "blocked name passed" || pass "fail-closed: blocked name fails"

stop_daemon KILL
tls_ok allowed.example && fail "fail-closed: a web connection passed with the daemon killed" \
  || pass "fail-closed: new HTTPS connection fails while the daemon is down"
tls_ok allowed.example 8443 && pass "fail-closed: other ports still pass" \
  || fail "fail-closed: port 8443 failed with the daemon killed"

start_daemon "$WORK/daemon.log" "$WORK/rules.json" --queues 1 --fail-closed
tls_ok allowed.example && pass "restarted daemon lets the allowed name through again" \
  || fail "allowed name failed after the restart: $(tail -3 "$WORK/daemon.log")"
tls_ok blocked.example && fail "blocked name passed after the restart" \
  || pass "restarted daemon blocks again"
rules=$(ip netns exec "$C" iptables-save -t mangle | grep -c "QUILLNEST_OUT -p tcp -m multiport --dports 80,443 -m conntrack --ctstate NEW")
[[ $rules == 1 ]] && pass "restart replaced the stale rules without duplicates" \
  || fail "$rules web queue rules after the restart"

stop_daemon TERM
ip netns exec "$C" iptables-save -t mangle | grep -q QUILLNEST \
  && fail "rules left after an orderly stop" || pass "orderly stop removed the rules"
tls_ok blocked.example && pass "after an orderly stop everything passes" \
  || fail "connection failed after an orderly stop"

start_daemon "$WORK/daemon.log" "$WORK/rules.json" --queues 1
"$BIN" status --socket "$WORK/run/control.sock" | grep -q "(fail-open)" \
  && pass "status names fail-open mode" || fail "status does not say fail-open"
tls_ok blocked.example && fail "blocked name passed" || pass "fail-open: blocked name fails"
stop_daemon KILL
tls_ok allowed.example && tls_ok blocked.example \
  && pass "fail-open: with the daemon killed everything passes" \
  || fail "fail-open: a connection failed with the daemon killed"

echo "$FAILURES failure(s)"
(( FAILURES == 0 ))
