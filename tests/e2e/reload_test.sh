#!/usr/bin/env bash
# End-to-end test of reloads under traffic: a client keeps connecting to an allowed and a blocked
# name while the rules file is replaced by big lists (the blocked name their last entry, so a
# list judged half-built would let it through) and reloaded by SIGHUP. Every blocked connection
# must fail and never reach the server; every allowed one must succeed unless a change of list
# reset it while it was being inspected.
#   reload_test.sh BINARY            exit 77 (skipped) without root
# QUILLNEST_RELOAD_DOMAINS sets the size of each list (default 200000).
set -uo pipefail
BIN=$(readlink -f "${1:?binary}")
HERE=$(cd "$(dirname "$0")" && pwd)
COUNT=${QUILLNEST_RELOAD_DOMAINS:-200000}
[[ $(id -u) -eq 0 ]] || { echo "SKIP: needs root"; exit 77; }
for tool in ip openssl curl python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool missing"; exit 77; }
done

C="qnrl-c-$$"
S="qnrl-s-$$"
WORK=$(mktemp -d /tmp/quillnest-reload-e2e.XXXXXX)
chmod 0755 "$WORK"
FAILURES=0
PIDS=()
source "$HERE/../support/netns_pair.sh"
trap 'exit 1' INT TERM
inc() { ip netns exec "$C" "$@"; }
now_ms() { date +%s%3N; }

touch "$WORK/sni.log"
ip netns exec "$S" python3 "$HERE/sni_server.py" 198.51.100.2 "$WORK/cert.pem" "$WORK/key.pem" \
  "$WORK/sni.log" 2>"$WORK/sni_server.log" &
PIDS+=($!)
for _ in $(seq 50); do ip netns exec "$S" ss -ltn | grep -q ':443 ' && break; sleep 0.1; done

# Two lists of COUNT generated names (different in each), blocked.example last in both.
python3 - "$WORK" "$COUNT" <<'PY'
import json, sys
work, count = sys.argv[1], int(sys.argv[2])
for name in ("a", "b"):
    domains = [f"{name}{i}.list.example" for i in range(count)] + ["blocked.example"]
    with open(f"{work}/rules-{name}.json", "w") as f:
        json.dump({"isEnabled": True, "domains": domains}, f)
PY
printf '{"isEnabled": true, "domains": ["blocked.example"]}\n' > "$WORK/rules.json"
chmod 0644 "$WORK"/rules*.json
start_daemon "$WORK/daemon.log" "$WORK/rules.json"

updates() { grep -c "Rules updated" "$WORK/daemon.log"; }
# wait_update BEFORE: until the daemon has applied one more change (at most 60 s).
wait_update() {
  for _ in $(seq 600); do (( $(updates) > $1 )) && return 0; sleep 0.1; done
  return 1
}

# The client: allowed and blocked in turn until told to stop, at most 600 rounds or 120 s. One
# line per connection: NAME RESULT (curl's exit status, 0 = the page arrived).
client() {
  local deadline=$(( $(now_ms) + 120000 )) name rc
  for _ in $(seq 600); do
    [[ -e $WORK/stop || $(now_ms) -gt $deadline ]] && break
    for name in allowed.example blocked.example; do
      inc curl -sk --max-time 5 --resolve "$name:443:198.51.100.2" "https://$name/" -o /dev/null
      rc=$?
      echo "$name $rc"
    done
  done
}
client > "$WORK/client.log" &
CLIENT=$!
PIDS+=("$CLIENT")

# Four replacements by rename, each followed by a SIGHUP of the same file, all under traffic.
reloads=0
for round in a b a b; do
  sleep 0.3
  before=$(updates)
  cp "$WORK/rules-$round.json" "$WORK/rules.new" && mv "$WORK/rules.new" "$WORK/rules.json"
  wait_update "$before" || { fail "the daemon did not apply list $round"; break; }
  before=$(updates)
  kill -HUP "$DAEMON"
  wait_update "$before" || { fail "the daemon did not reload on SIGHUP"; break; }
  reloads=$((reloads + 2))
done
sleep 0.5
touch "$WORK/stop"
for _ in $(seq 150); do kill -0 "$CLIENT" 2>/dev/null || break; sleep 0.1; done
wait "$CLIENT" 2>/dev/null

allowed_ok=$(grep -c '^allowed.example 0$' "$WORK/client.log")
allowed_bad=$(grep -c '^allowed.example [1-9]' "$WORK/client.log")
blocked_ok=$(grep -c '^blocked.example 0$' "$WORK/client.log")
blocked_refused=$(grep -c '^blocked.example [1-9]' "$WORK/client.log")
echo "  $reloads reloads of $COUNT + 1 domains; allowed: $allowed_ok ok, $allowed_bad failed;" \
  "blocked: $blocked_refused refused, $blocked_ok through"
(( reloads == 8 )) && pass "8 reloads applied under traffic" || fail "only $reloads reloads applied"
# A change of list ends the connections still being inspected (they were judged by the old one):
# an allowed connection may fail only as one of those.
resets=$(sed -n 's/.*Rules updated: .* reset_flows=\([0-9]*\).*/\1/p' "$WORK/daemon.log" |
  awk '{ n += $1 } END { print n + 0 }')
(( allowed_ok >= 4 && allowed_bad <= resets )) \
  && pass "every allowed connection succeeded, but for $allowed_bad of the $resets a change reset" \
  || fail "allowed connections failed: $allowed_bad (of $((allowed_ok + allowed_bad))), $resets reset by a change"
(( blocked_refused >= 4 && blocked_ok == 0 )) && pass "every blocked connection failed" \
  || fail "blocked connections got through: $blocked_ok (of $((blocked_ok + blocked_refused)))"
grep -q '^blocked.example$' "$WORK/sni.log" && fail "a blocked ClientHello reached the server" \
  || pass "no blocked ClientHello reached the server"
entries=$("$BIN" status --json --socket "$WORK/run/control.sock" |
  python3 -c 'import json,sys; print(json.load(sys.stdin)["ruleEntries"])' 2>/dev/null)
[[ $entries == $((COUNT + 1)) ]] && pass "the last list is whole: $entries entries" \
  || fail "entries after the reloads: $entries, not $((COUNT + 1))"
grep -q "does not load" "$WORK/daemon.log" && fail "a list did not load: $(grep "does not load" "$WORK/daemon.log")"

kill -TERM "$DAEMON"
for _ in $(seq 50); do kill -0 "$DAEMON" 2>/dev/null || break; sleep 0.1; done
echo "failures: $FAILURES"
(( FAILURES == 0 ))
