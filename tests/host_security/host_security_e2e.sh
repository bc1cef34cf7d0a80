#!/usr/bin/env bash
# The running daemon against a local attacker: every thread keeps only CAP_NET_ADMIN and
# CAP_NET_RAW (bounding set too, no_new_privs) and still filters, resets and cleans up; its
# sockets refuse other users; the notification carries the name of the notification and nothing
# of the flow; a rules file another user owns is refused before anything is installed.
# Two namespaces of its own joined by a veth pair; nothing outside them.
# Usage: host_security_e2e.sh PATH/TO/quillnest-filter
set -u
BIN=$1
E2E=$(cd "$(dirname "$0")/../e2e" && pwd)  # its TLS probe
[[ $(id -u) -eq 0 ]] || { echo "needs root (namespaces, iptables inside them)"; exit 77; }
for tool in openssl /usr/bin/python3 setpriv iptables-save; do
  command -v "$tool" >/dev/null || { echo "$tool missing"; exit 77; }
done

C="qnsec-c-$$"
S="qnsec-s-$$"
WORK=$(mktemp -d /tmp/quillnest-sec-e2e-XXXXXX)
chmod 0755 "$WORK"
FAILURES=0
PIDS=()
EXPECTED_CAPS=0000000000003000  # CAP_NET_ADMIN (12) and CAP_NET_RAW (13)

source "$(dirname "$0")/../support/netns_pair.sh"
ip netns exec "$S" openssl s_server -accept 198.51.100.2:443 -cert "$WORK/cert.pem" \
  -key "$WORK/key.pem" -quiet >/dev/null 2>&1 </dev/null &
PIDS+=($!)

chains() {  # our chains and rules left in the client namespace, both families
  { ip netns exec "$C" iptables-save; ip netns exec "$C" ip6tables-save; } 2>/dev/null |
    grep -ci quillnest
}

tls_ok() {  # a full handshake with the given server name
  echo Q | timeout 6 ip netns exec "$C" openssl s_client -connect 198.51.100.2:443 \
    -servername "$1" >/dev/null 2>&1
}

# --- A rules file another user owns: refused before any socket or chain exists.
mkdir -m 0755 "$WORK/theirs"
printf '{"isEnabled": true, "domains": ["blocked.example"]}\n' > "$WORK/theirs/rules.json"
chmod 0644 "$WORK/theirs/rules.json"
chown 65534:65534 "$WORK/theirs/rules.json"
timeout 20 ip netns exec "$C" "$BIN" run --rules "$WORK/theirs/rules.json" \
  --runtime-dir "$WORK/run-theirs" --queues 1 >"$WORK/theirs.log" 2>&1
rc=$?
if [[ $rc -ne 0 ]] && grep -q "refusing the rules file .*owned by uid 65534" "$WORK/theirs.log" \
  && [[ $(chains) -eq 0 && ! -e "$WORK/run-theirs/control.sock" ]]; then
  pass "a rules file owned by uid 65534 is refused before anything is installed"
else
  fail "rules file of another user: rc $rc, chains $(chains): $(tail -3 "$WORK/theirs.log")"
fi

# --- The daemon proper.
printf '{"isEnabled": true, "domains": ["blocked.example"]}\n' > "$WORK/rules.json"
chmod 0644 "$WORK/rules.json"
start_daemon "$WORK/daemon.log" "$WORK/rules.json" --queues 2

# Every thread: queue workers, conntrack, ticks, configuration, control and notification sockets.
threads=0 wrong=()
for status in /proc/"$DAEMON"/task/*/status; do
  threads=$((threads + 1))
  eff=$(awk '/^CapEff:/ {print $2}' "$status")
  prm=$(awk '/^CapPrm:/ {print $2}' "$status")
  bnd=$(awk '/^CapBnd:/ {print $2}' "$status")
  inh=$(awk '/^CapInh:/ {print $2}' "$status")
  amb=$(awk '/^CapAmb:/ {print $2}' "$status")
  nnp=$(awk '/^NoNewPrivs:/ {print $2}' "$status")
  [[ $eff == "$EXPECTED_CAPS" && $prm == "$EXPECTED_CAPS" && $bnd == "$EXPECTED_CAPS" \
    && $inh == 0000000000000000 && $amb == 0000000000000000 && $nnp == 1 ]] \
    || wrong+=("$(awk '/^Name:/ {print $2}' "$status"): eff $eff prm $prm bnd $bnd inh $inh amb $amb nnp $nnp")
done
echo "daemon $DAEMON: $threads threads, CapEff $(awk '/^CapEff:/ {print $2}' /proc/"$DAEMON"/status)"
[[ $threads -ge 5 && ${#wrong[@]} -eq 0 ]] \
  && pass "all $threads threads: CapEff=CapPrm=CapBnd=$EXPECTED_CAPS, no inheritable or ambient, no_new_privs" \
  || fail "capabilities: ${wrong[*]:-only $threads threads}"

# Still filtering with only those two.
tls_ok allowed.example && pass "allowed name connects" || fail "allowed name failed"
tls_ok www.blocked.example && fail "blocked name connected" || pass "blocked name refused"

# A rules change resets an open connection: sock_diag destroy and conntrack marks from the
# configuration thread.
printf '{"isEnabled": true, "domains": ["blocked.example", "later.example"]}\n' \
  > "$WORK/rules-later.json"
r=$(timeout 10 ip netns exec "$C" /usr/bin/python3 "$E2E/tls_probe.py" 198.51.100.2 later.example \
  reset-after "$WORK/rules.json" "$WORK/rules-later.json" "$DAEMON" 2>&1)
[[ $r =~ ^[0-9]+$ ]] && pass "rules change reset the open connection in $r ms" \
  || fail "open connection not reset by the rules change ($r)"
grep -q "cannot reset\|Operation not permitted" "$WORK/daemon.log" \
  && fail "a privileged call failed: $(grep -m1 "cannot reset\|Operation not permitted" "$WORK/daemon.log")" \
  || pass "no privileged call failed"

# Sockets: modes, and other users turned away.
modes=$(stat -c '%a' "$WORK/run" "$WORK/run/control.sock" "$WORK/run/notify.sock" | tr '\n' ' ')
[[ $modes == "750 600 660 " ]] && pass "runtime dir 750, control.sock 600, notify.sock 660" \
  || fail "modes: $modes"
for sock in control.sock notify.sock; do
  out=$(setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX)
try:
    s.connect(sys.argv[1])
    s.sendall(b"status\n")
    s.settimeout(2)
    print("answer:", s.recv(100))
except (PermissionError, ConnectionError, socket.timeout) as e:
    print("refused:", type(e).__name__)
' "$WORK/run/$sock" 2>&1)
  [[ $out == refused:* ]] && pass "uid 65534 cannot use $sock ($out)" || fail "$sock as uid 65534: $out"
done

# Past the file modes (opened up on purpose here), the control socket still answers only root:
# it checks the peer's credentials.
chmod 0755 "$WORK/run" && chmod 0666 "$WORK/run/control.sock"
out=$(setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
try:
    s.sendall(b"status\n")
    s.settimeout(5)
    print("answer:", s.recv(100))
except (BrokenPipeError, ConnectionResetError):
    print("answer: b\x27\x27")
' "$WORK/run/control.sock" 2>&1)
chmod 0750 "$WORK/run" && chmod 0600 "$WORK/run/control.sock"
[[ $out == "answer: b''" ]] && pass "uid 65534 on an open control.sock: closed without an answer" \
  || fail "control.sock answered uid 65534: $out"
"$BIN" status --socket "$WORK/run/control.sock" | grep -q "^blocking: on$" \
  && pass "root still gets its status" || fail "root status failed"

# Hostile messages from root on both sockets (the daemon is the ASan+UBSan build in CI): random
# bytes, an overlong line, a request without its newline, a client that sends and vanishes.
/usr/bin/python3 - "$WORK/run/control.sock" "$WORK/run/notify.sock" <<'PY'
import os, socket, sys
for path in sys.argv[1:]:
    for payload in (os.urandom(100000), b"status" * 5000 + b"\n", b"status", b"\0\n" * 64, b""):
        s = socket.socket(socket.AF_UNIX)
        s.settimeout(3)
        try:
            s.connect(path)
            s.sendall(payload)
            s.shutdown(socket.SHUT_WR)
            s.recv(4096)
        except OSError:
            pass  # the daemon may close on us: that is its answer
        s.close()
PY
kill -0 "$DAEMON" 2>/dev/null && "$BIN" status --socket "$WORK/run/control.sock" | grep -q "^blocking: on$" \
  && pass "hostile socket messages: daemon alive and answering" \
  || fail "daemon after hostile socket messages: $(tail -3 "$WORK/daemon.log")"

# The notification of a block: the name of the notification, nothing of the flow.
/usr/bin/python3 - "$WORK/run/notify.sock" >"$WORK/notify.bytes" 2>&1 <<'PY' &
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
s.settimeout(10)
data = b""
try:
    while b"\n" not in data:
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
    s.settimeout(0.5)
    data += s.recv(4096)  # anything sent along with it
except socket.timeout:
    pass
sys.stdout.write(repr(data))
PY
READER=$!
PIDS+=("$READER")
for _ in $(seq 50); do
  "$BIN" status --socket "$WORK/run/control.sock" 2>/dev/null | grep -q "^subscribers: 1$" && break
  sleep 0.1
done
tls_ok secret-name.blocked.example
wait "$READER"
got=$(cat "$WORK/notify.bytes")
[[ $got == "b'com.quillnest.mac.blocked\\n'" ]] \
  && pass "notification bytes: $got" || fail "notification carried: $got"

# Stop: chains gone though the daemon runs with two capabilities.
[[ $(chains) -gt 0 ]] || fail "no chains while running"
kill -TERM "$DAEMON"
rc=timeout
for _ in $(seq 100); do
  if ! kill -0 "$DAEMON" 2>/dev/null; then wait "$DAEMON"; rc=$?; break; fi
  sleep 0.1
done
[[ $rc == 0 && $(chains) -eq 0 ]] && pass "stop exits 0 and removes every chain" \
  || fail "stop: exit $rc, $(chains) chain lines left: $(tail -3 "$WORK/daemon.log")"

echo "$FAILURES failure(s)"
(( FAILURES == 0 ))
