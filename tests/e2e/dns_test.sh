#!/usr/bin/env bash
# End-to-end test of DNS answers through the daemon: ECH kept from blocked names, encrypted DNS
# closed. The server namespace runs a DNS server of the test's own publishing HTTPS records with
# an ech parameter (an ECHConfigList built here: X25519 key, public name public.example) and a
# TLS server that logs the server name of every ClientHello it receives; the client namespace
# resolves through it (/etc/netns/NAME/resolv.conf, removed on exit) and runs the daemon, headless
# Chromium with its defaults, and small probes.
#   dns_test.sh BINARY            exit 77 (skipped) without root or chromium
set -uo pipefail
BIN=$(readlink -f "${1:?binary}")
HERE=$(cd "$(dirname "$0")" && pwd)
[[ $(id -u) -eq 0 ]] || { echo "SKIP: needs root"; exit 77; }
for tool in ip openssl curl python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool missing"; exit 77; }
done

C="qndns-c-$$"
S="qndns-s-$$"
WORK=$(mktemp -d /tmp/quillnest-dns-e2e.XXXXXX)
chmod 0755 "$WORK"
FAILURES=0
PIDS=()
source "$HERE/../support/netns_pair.sh"
source "$HERE/../support/chromium.sh"
trap 'kill -KILL $(cat "$WORK/chromium.pid" 2>/dev/null) 2>/dev/null; cleanup' EXIT
trap 'exit 1' INT TERM
inc() { ip netns exec "$C" "$@"; }
now_ms() { date +%s%3N; }

# The ECHConfigList: one version 0xfe0d configuration, DHKEM(X25519), HKDF-SHA256/AES-128-GCM.
openssl genpkey -algorithm X25519 -out "$WORK/ech-key.pem" 2>/dev/null
ECH=$(openssl pkey -in "$WORK/ech-key.pem" -pubout -outform DER | python3 -c '
import struct, sys
key = sys.stdin.buffer.read()[-32:]
name = b"public.example"
contents = (bytes([7]) + struct.pack(">HH", 0x20, 32) + key + struct.pack(">HHH", 4, 1, 1)
            + bytes([0, len(name)]) + name + struct.pack(">H", 0))
config = struct.pack(">HH", 0xfe0d, len(contents)) + contents
print((struct.pack(">H", len(config)) + config).hex())')
ALPN="08687474702f312e31"  # http/1.1
https_with_ech="{\"priority\": 1, \"target\": \".\", \"params\": [[1, \"$ALPN\"], [5, \"$ECH\"]]}"
# The blocked name's record also sends clients to port 8443 (20fb), where nothing is read.
https_elsewhere="{\"priority\": 1, \"target\": \".\", \"params\": [[1, \"$ALPN\"], [3, \"20fb\"], [5, \"$ECH\"]]}"
cat > "$WORK/zone.json" <<ZONE
{
  "www.blocked.example A": ["198.51.100.2"],
  "www.blocked.example HTTPS": [$https_elsewhere],
  "ech.allowed.example A": ["198.51.100.2"],
  "ech.allowed.example HTTPS": [$https_with_ech],
  "plain.allowed.example A": ["198.51.100.2"],
  "public.example A": ["198.51.100.2"],
  "dns.google A": ["198.51.100.2"],
  "doh.xfinity.com A": ["198.51.100.2"],
  "use-application-dns.net A": ["198.51.100.9"],
  "_dns.resolver.arpa SVCB": [{"priority": 1, "target": "dns.example.", "params": [[1, "03646f74"]]}]
}
ZONE
serve_dns "$WORK/zone.json"
touch "$WORK/sni.log"
ip netns exec "$S" python3 "$HERE/sni_server.py" 198.51.100.2 "$WORK/cert.pem" "$WORK/key.pem" \
  "$WORK/sni.log" 2>"$WORK/sni_server.log" &
PIDS+=($!)
ip netns exec "$S" python3 -c '
import socket
s = socket.create_server(("198.51.100.2", 853))
while True:
    s.accept()[0].close()' 2>/dev/null &
PIDS+=($!)
# A well-known resolver's address (Quad9's), here the server namespace's own, on port 443: a
# client asking https://9.9.9.9/dns-query sends no name to judge. Accepts are logged.
ip -n "$S" addr add 9.9.9.9/32 dev qs0
ip -n "$C" route add 9.9.9.9/32 via 198.51.100.2
touch "$WORK/resolver.log"
ip netns exec "$S" python3 -c '
import socket, sys
s = socket.create_server(("9.9.9.9", 443))
while True:
    c = s.accept()[0]
    open(sys.argv[1], "a").write("accepted\n")
    c.close()' "$WORK/resolver.log" 2>/dev/null &
PIDS+=($!)
# An ISP's resolver (Comcast's), which Chromium upgrades to that ISP's DNS over HTTPS on its own.
ip -n "$S" addr add 75.75.75.75/32 dev qs0
ip -n "$C" route add 75.75.75.75/32 via 198.51.100.2
mkdir -p "$WORK/isp-answers"
ip netns exec "$S" python3 "$HERE/dns_server.py" 75.75.75.75 "$WORK/zone.json" "$WORK/isp-answers" \
  2>"$WORK/isp-dns.log" &
PIDS+=($!)
for _ in $(seq 50); do
  ip netns exec "$S" ss -ltn | grep -q '198.51.100.2:443 ' && ip netns exec "$S" ss -ltn | grep -q ':853 ' \
    && ip netns exec "$S" ss -ltn | grep -q '9.9.9.9:443 ' && ip netns exec "$S" ss -lun | grep -q '198.51.100.2:53 ' \
    && ip netns exec "$S" ss -lun | grep -q '75.75.75.75:53 ' && break
  sleep 0.1
done

printf '{"isEnabled": true, "domains": ["blocked.example"]}\n' > "$WORK/rules.json"
chmod 0644 "$WORK/rules.json"
ip netns exec "$C" "$BIN" run --rules "$WORK/rules.json" --runtime-dir "$WORK/run" --queues 2 \
  >"$WORK/daemon.log" 2>&1 &
DAEMON=$!
PIDS+=("$DAEMON")
for _ in $(seq 100); do
  grep -q "quillnest-filter running" "$WORK/daemon.log" && break
  kill -0 "$DAEMON" 2>/dev/null || { cat "$WORK/daemon.log"; echo "daemon exited"; exit 1; }
  sleep 0.1
done

expect() {  # expect NAME WANT GOT
  if [[ "$2" == "$3" ]]; then pass "$1"; else fail "$1 (want '$2', got '$3')"; fi
}
query() { inc python3 "$HERE/dns_query.py" 198.51.100.2 "$@"; }

# Answers as the client receives them, compared with what the server sent.
expect "HTTPS answer for an allowed name arrives unchanged (UDP)" "rcode 0 answers 1 same" \
  "$(query ech.allowed.example HTTPS udp "$WORK/answers/ech.allowed.example-HTTPS.bin")"
expect "HTTPS answer for an allowed name arrives unchanged (TCP)" "rcode 0 answers 1 same" \
  "$(query ech.allowed.example HTTPS tcp "$WORK/answers/ech.allowed.example-HTTPS-tcp.bin")"
expect "HTTPS answer for a blocked name arrives rewritten (UDP)" "rcode 0 answers 1 changed port 443" \
  "$(query www.blocked.example HTTPS udp "$WORK/answers/www.blocked.example-HTTPS.bin")"
expect "HTTPS answer for a blocked name arrives rewritten (TCP)" "rcode 0 answers 1 changed port 443" \
  "$(query www.blocked.example HTTPS tcp "$WORK/answers/www.blocked.example-HTTPS-tcp.bin")"
# A client that offers 88-byte segments gets its answers cut across many of them (one segment
# per packet: the server's side sends no larger packets for the kernel to cut later).
ip -n "$S" link set qs0 gso_max_segs 1
expect "HTTPS answer for an allowed name in 88-byte segments arrives unchanged" \
  "rcode 0 answers 1 same" \
  "$(query ech.allowed.example HTTPS tcp88 "$WORK/answers/ech.allowed.example-HTTPS-tcp.bin")"
expect "HTTPS answer for a blocked name in 88-byte segments arrives rewritten" \
  "rcode 0 answers 1 changed port 443" \
  "$(query www.blocked.example HTTPS tcp88 "$WORK/answers/www.blocked.example-HTTPS-tcp.bin")"
expect "A answer for a blocked name arrives unchanged" "rcode 0 answers 1 same" \
  "$(query www.blocked.example A udp "$WORK/answers/www.blocked.example-A.bin")"
expect "the canary answers NXDOMAIN" "rcode 3 answers 0" "$(query use-application-dns.net A)"
expect "designated-resolver discovery gets an empty answer" "rcode 0 answers 0" \
  "$(query _dns.resolver.arpa SVCB)"

# Port 853, a well-known resolver's address on 443, and a well-known DNS-over-HTTPS name.
fails_at_once() {  # fails_at_once WHAT ADDRESS PORT: the connection must fail within a second
  local start r elapsed
  start=$(now_ms)
  r=$(inc python3 -c '
import socket, sys
try:
    socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=5).close(); print("connected")
except OSError as e:
    print(type(e).__name__)' "$2" "$3")
  elapsed=$(( $(now_ms) - start ))
  [[ $r != connected ]] && (( elapsed < 1000 )) && pass "a connection to $1 fails at once ($r, ${elapsed} ms)" \
    || fail "$1: $r after ${elapsed} ms"
}
fails_at_once "port 853" 198.51.100.2 853
fails_at_once "a resolver's address on 443" 9.9.9.9 443
[[ -s $WORK/resolver.log ]] && fail "the resolver's address accepted a connection"
before=$(wc -l < "$WORK/sni.log")
inc curl -sk --max-time 5 https://dns.google/ -o /dev/null; rc=$?
[[ $rc != 0 && $(wc -l < "$WORK/sni.log") == "$before" ]] \
  && pass "a ClientHello to dns.google is refused (curl exit $rc)" || fail "dns.google: curl exit $rc"

# Chromium with its defaults, resolving through the daemon.
chrome_load() {  # chrome_load NAME -> "ok MS PROTOCOL" | "fail MS ERR PROTOCOL" | "timeout"
  chromium_page "https://$1/" "quillnest ech page" 300 --headless
}

if command -v chromium >/dev/null; then
  : > "$WORK/sni.log"
  r=$(chrome_load www.blocked.example)
  seen=$(sort -u "$WORK/sni.log" | tr '\n' ' ')
  echo "  chromium www.blocked.example: $r; server saw: ${seen:-nothing}"
  [[ $r == fail* && -z $seen ]] && pass "chromium: no ClientHello for the blocked name reaches the server" \
    || fail "chromium blocked name: $r, server saw: $seen"
  : > "$WORK/sni.log"
  r=$(chrome_load plain.allowed.example)
  echo "  chromium plain.allowed.example: $r"
  [[ $r == ok* ]] && pass "chromium: an allowed name without an HTTPS record loads" \
    || fail "chromium allowed name: $r"
  : > "$WORK/sni.log"
  r=$(chrome_load ech.allowed.example)
  seen=$(sort -u "$WORK/sni.log" | tr '\n' ' ')
  echo "  chromium ech.allowed.example: $r; server saw: ${seen:-nothing}"
  [[ $seen == *public.example* ]] && pass "chromium kept ECH for an allowed name (outer name public.example)" \
    || fail "chromium did not use ECH for the allowed name (server saw: $seen)"
  # Resolving through Comcast's resolver, Chromium tries doh.xfinity.com 5 s after it starts;
  # the page takes 7 s. The attempt is refused and Chromium keeps the plain resolver.
  echo "nameserver 75.75.75.75" >"/etc/netns/$C/resolv.conf"
  : > "$WORK/sni.log"
  r=$(chromium_page "https://plain.allowed.example/wait" "quillnest ech page" 300 --headless)
  echo "nameserver 198.51.100.2" >"/etc/netns/$C/resolv.conf"
  seen=$(sort -u "$WORK/sni.log" | tr '\n' ' ')
  echo "  chromium with an ISP's resolver: $r; server saw: ${seen:-nothing}"
  if ! grep -qs '"url":"https://doh.xfinity.com/dns-query' "$WORK"/chromium.*/netlog.json; then
    echo "NOTE: this Chromium did not try the ISP's DNS over HTTPS: its upgrade was not checked"
  elif [[ $r == ok* && $seen != *doh.xfinity.com* ]]; then
    pass "chromium's own upgrade to its ISP's DNS over HTTPS is refused, the page loads"
  else
    fail "chromium with an ISP's resolver: $r, server saw: $seen"
  fi
else
  echo "NOTE: chromium not installed: the browser checks did not run"
fi

json=$("$BIN" status --socket "$WORK/run/control.sock" --json)
echo "  status: $(python3 -c 'import json,sys; d=json.load(sys.stdin); print({k: d[k] for k in ("echClientHellos","dnsAnswersRead","dnsAnswersUnparsed","echParametersRemoved","httpsPortsRewritten","canariesAnswered","port853Drops","resolverAddressDrops","dnsTcpSegmentsDropped","resolverEntries","ruleEntries")})' <<<"$json")"
python3 -c '
import json, sys
d = json.load(sys.stdin)
chromium = sys.argv[1] == "yes"
ok = ((not chromium or d["echClientHellos"] >= 1) and d["dnsAnswersRead"] >= 9 and d["echParametersRemoved"] >= 3 and d["httpsPortsRewritten"] >= 3 and d["canariesAnswered"] >= 2
      and d["port853Drops"] >= 1 and d["resolverAddressDrops"] >= 1 and d["resolverEntries"] >= 6 and d["ruleEntries"] == 1)
sys.exit(0 if ok else 1)' "$(command -v chromium >/dev/null && echo yes || echo no)" <<<"$json" && pass "status counts ECH hellos, answers, ech removed, canaries, 853 and resolver-address drops, resolvers apart" \
  || fail "status counters"

if (( FAILURES > 0 )); then
  [[ -n ${QUILLNEST_E2E_KEEP:-} ]] && cp "$WORK/daemon.log" "$QUILLNEST_E2E_KEEP"
  echo "--- daemon log"; grep -m 20 -E "ERROR|#[0-9]+ 0x" "$WORK/daemon.log"; tail -20 "$WORK/daemon.log"
fi
echo "dns e2e: $FAILURES failure(s)"
(( FAILURES == 0 ))
