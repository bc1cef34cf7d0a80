#!/usr/bin/env bash
# End-to-end test of the control plane against the running daemon: status, watch, a rules file
# replaced on disk, one daemon per runtime directory. Two namespaces of its own joined by a veth pair; nothing outside them.
# Usage: control_e2e.sh PATH/TO/quillnest-filter
set -u
BIN=$1
[[ $(id -u) -eq 0 ]] || { echo "needs root (namespaces, iptables inside them)"; exit 77; }
command -v openssl >/dev/null || { echo "openssl missing"; exit 77; }

C="qnctl-c-$$"
S="qnctl-s-$$"
WORK=$(mktemp -d /tmp/quillnest-ctl-e2e-XXXXXX)
chmod 0755 "$WORK"
FAILURES=0
PIDS=()

source "$(dirname "$0")/../support/netns_pair.sh"
ip netns exec "$S" openssl s_server -accept 198.51.100.2:443 -cert "$WORK/cert.pem" \
  -key "$WORK/key.pem" -www -quiet >/dev/null 2>&1 &
PIDS+=($!)

printf '{"isEnabled": true, "domains": ["blocked.example"]}\n' > "$WORK/rules.json"
chmod 0644 "$WORK/rules.json"
start_daemon "$WORK/daemon.log" "$WORK/rules.json" --queues 1

status=$("$BIN" status --socket "$WORK/run/control.sock")
grep -q "^blocking: on$" <<<"$status" && grep -q "^rule entries: 1$" <<<"$status" \
  && pass "status shows the rules in force" || fail "status: $status"

timeout 15 "$BIN" watch --count 1 --socket "$WORK/run/notify.sock" >"$WORK/watch.out" 2>&1 &
WATCH=$!
PIDS+=("$WATCH")
for _ in $(seq 50); do
  "$BIN" status --socket "$WORK/run/control.sock" | grep -q "^subscribers: 1$" && break
  sleep 0.1
done

timeout 6 ip netns exec "$C" openssl s_client -connect 198.51.100.2:443 \
  -servername blocked.example </dev/null >/dev/null 2>&1
wait "$WATCH"
grep -Eq "^[0-9T:.-]+Z com\.quillnest\.mac\.blocked$" "$WORK/watch.out" \
  && pass "watch printed the block notification" || fail "watch: $(cat "$WORK/watch.out")"

# A second daemon for the same runtime directory exits at once and disturbs nothing.
chains() { ip netns exec "$C" iptables-save | grep -E "QUILLNEST|NFQUEUE" | sed 's/^\[[0-9:]*\] //'; }
chains_before=$(chains)
started=$SECONDS
timeout 20 ip netns exec "$C" "$BIN" run --rules "$WORK/rules.json" --runtime-dir "$WORK/run" \
  --queues 1 >"$WORK/second.log" 2>&1
second_rc=$?
(( second_rc == 1 && SECONDS - started < 5 )) \
  && grep -q "already running (pid $DAEMON)" "$WORK/second.log" \
  && pass "a second daemon exits at once naming the first" \
  || fail "second daemon: exit $second_rc after $((SECONDS - started)) s: $(cat "$WORK/second.log")"
[[ -S "$WORK/run/control.sock" && -S "$WORK/run/notify.sock" && "$(chains)" == "$chains_before" ]] \
  && "$BIN" status --socket "$WORK/run/control.sock" | grep -q "^blocking: on$" \
  && pass "the first daemon's sockets and chains are untouched" \
  || fail "first daemon disturbed: $(ls "$WORK/run"); $(chains)"

json=$("$BIN" status --json --socket "$WORK/run/control.sock")
grep -Eq '"blockedByTLSName":[1-9]' <<<"$json" && pass "status counts the TLS block" \
  || fail "status --json: $json"

# A broken file replaced by rename: a warning naming it, and blocking off.
printf '{"isEnabled": tru' > "$WORK/rules.new" && chmod 0644 "$WORK/rules.new"
mv "$WORK/rules.new" "$WORK/rules.json"
for _ in $(seq 50); do grep -q "does not load" "$WORK/daemon.log" && break; sleep 0.1; done
grep -q "^<4>Rules file $WORK/rules.json does not load" "$WORK/daemon.log" \
  && pass "invalid rules file warned" || fail "no warning: $(tail -3 "$WORK/daemon.log")"
"$BIN" status --socket "$WORK/run/control.sock" |
  grep -q "^blocking: off (Rules file $WORK/rules.json does not load: " \
  && pass "blocking off after the invalid file, and status says why" || fail "still blocking"

kill -TERM "$DAEMON"
for _ in $(seq 50); do kill -0 "$DAEMON" 2>/dev/null || break; sleep 0.1; done
[[ ! -e "$WORK/run/control.sock" && ! -e "$WORK/run/notify.sock" ]] \
  && pass "sockets removed at stop" || fail "sockets left behind"

# A crashed daemon's lock file does not block a restart.
start_daemon "$WORK/daemon2.log" "$WORK/rules.json" --queues 1
kill -KILL "$DAEMON"
wait "$DAEMON" 2>/dev/null
[[ -e "$WORK/run/run.lock" ]] || fail "no lock file left to test with"
start_daemon "$WORK/daemon3.log" "$WORK/rules.json" --queues 1
"$BIN" status --socket "$WORK/run/control.sock" | grep -q "^blocking: off " \
  && pass "restart after a crash" || fail "restart: $(cat "$WORK/daemon3.log")"

echo "$FAILURES failure(s)"
(( FAILURES == 0 ))
