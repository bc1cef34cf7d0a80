#!/usr/bin/env bash
# End-to-end test of quillnest-filter run: real kernel, real clients, inside namespaces of its own.
#   e2e_test.sh BINARY CASE        CASE: tls | http | udp | reset | crash | forward | chromium | replay | all
# The client namespace (198.51.100.1, 2001:db8::1) runs the daemon and the clients; the server
# namespace (198.51.100.2, 2001:db8::2) runs openssl s_server on 443, an HTTP server on 80 and
# UDP echo servers. Exit 77 (skipped) without root.
set -uo pipefail

BIN=$(readlink -f "${1:?binary}")
CASE=${2:-all}
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/../support/chromium.sh"
[[ $(id -u) -eq 0 ]] || { echo "SKIP: needs root"; exit 77; }
for tool in ip iptables-save openssl curl python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool missing"; exit 77; }
done

ID="qn$$"
C="$ID-c"
S="$ID-s"
WORK=$(mktemp -d /tmp/quillnest-e2e.XXXXXX)
PIDS=()
DAEMON=""
FAILURES=0

cleanup() {
  [[ -n "$DAEMON" ]] && kill -TERM "$DAEMON" 2>/dev/null
  for _ in $(seq 30); do [[ -n "$DAEMON" ]] && kill -0 "$DAEMON" 2>/dev/null || break; sleep 0.1; done
  [[ -n "$DAEMON" ]] && kill -KILL "$DAEMON" 2>/dev/null
  for pid in "${PIDS[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  wait 2>/dev/null
  ip netns del "$C" 2>/dev/null
  ip netns del "$S" 2>/dev/null
  if (( FAILURES > 0 )) && [[ -f "$WORK/daemon.log" ]]; then
    echo "--- daemon log (last 40 lines)"; tail -40 "$WORK/daemon.log"
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Background jobs are started with "ip netns exec" itself (it execs the program), never through
# these functions, so that $! is the program's own PID.
inc() { ip netns exec "$C" "$@"; }
ins() { ip netns exec "$S" "$@"; }
pass() { echo "PASS: $*"; }
fail() { echo "FAIL: $*"; FAILURES=$((FAILURES + 1)); }
expect() {  # expect NAME WANT GOT
  if [[ "$2" == "$3" ]]; then pass "$1"; else fail "$1 (want '$2', got '$3')"; fi
}
now_ms() { date +%s%3N; }

setup_network() {
  ip netns add "$C" && ip netns add "$S" || { echo "cannot create namespaces"; exit 1; }
  # No duplicate address detection on the links made next: its end (a link-local address leaving
  # the tentative state a second after the link comes up) is an address change, which Chromium
  # takes for a network change and fails a load with ERR_NETWORK_CHANGED.
  for ns in "$C" "$S"; do
    ip netns exec "$ns" sysctl -qw net.ipv6.conf.default.accept_dad=0 net.ipv6.conf.all.accept_dad=0
  done
  ip -n "$C" link add qc0 type veth peer name qs0 netns "$S"
  ip -n "$C" addr add 198.51.100.1/24 dev qc0
  ip -n "$S" addr add 198.51.100.2/24 dev qs0
  ip -n "$C" addr add 2001:db8::1/64 dev qc0 nodad
  ip -n "$S" addr add 2001:db8::2/64 dev qs0 nodad
  for ns in "$C" "$S"; do
    ip -n "$ns" link set lo up
  done
  ip -n "$C" link set qc0 up
  ip -n "$S" link set qs0 up
}

start_servers() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=quillnest-test" \
    -keyout "$WORK/key.pem" -out "$WORK/cert.pem" >/dev/null 2>&1
  mkdir -p "$WORK/www"
  head -c 4000000 /dev/urandom > "$WORK/www/big.bin"
  echo "quillnest test page" > "$WORK/www/index.html"
  for address in 198.51.100.2 '[2001:db8::2]'; do
    ip netns exec "$S" openssl s_server -accept "$address:443" -cert "$WORK/cert.pem" -key "$WORK/key.pem" \
      -www -quiet >>"$WORK/s_server.log" 2>&1 &
    PIDS+=($!)
  done
  ip netns exec "$S" python3 -m http.server 80 --bind 198.51.100.2 --directory "$WORK/www" >/dev/null 2>&1 &
  PIDS+=($!)
  ip netns exec "$S" python3 "$HERE/udp_probe.py" serve 443 5353 53 &
  PIDS+=($!)
  for _ in $(seq 50); do
    if ins ss -ltn | grep -q ':443 ' && ins ss -ltn | grep -q ':80 '; then return 0; fi
    sleep 0.1
  done
  echo "servers did not start"; exit 1
}

write_rules() {  # write_rules FILE ENABLED DOMAIN...
  local file=$1 enabled=$2; shift 2
  local list=""
  for d in "$@"; do list+="${list:+, }\"$d\""; done
  printf '{"isEnabled": %s, "domains": [%s]}\n' "$enabled" "$list" > "$file.tmp" && mv "$file.tmp" "$file"
}

start_daemon() {
  local before; before=$(grep -c "quillnest-filter running" "$WORK/daemon.log" 2>/dev/null)
  ip netns exec "$C" "$BIN" run --rules "$WORK/rules.json" --queues 2 --hold-timeout-ms 2000 \
    --runtime-dir "$WORK/run" "$@" \
    >>"$WORK/daemon.log" 2>&1 &
  DAEMON=$!
  for _ in $(seq 100); do
    (( $(grep -c "quillnest-filter running" "$WORK/daemon.log") > ${before:-0} )) && return 0
    kill -0 "$DAEMON" 2>/dev/null || { fail "daemon exited at start"; cat "$WORK/daemon.log"; exit 1; }
    sleep 0.1
  done
  fail "daemon did not report running"; exit 1
}

stop_daemon() {
  kill -TERM "$DAEMON"
  for _ in $(seq 50); do kill -0 "$DAEMON" 2>/dev/null || break; sleep 0.1; done
  wait "$DAEMON" 2>/dev/null
  DAEMON=""
}

curl_tls() {  # curl_tls NAME [curl options] -> "ok" or "fail:<exit> <ms>"
  local name=$1; shift
  local start end rc
  start=$(now_ms)
  inc curl -sk --max-time 5 "$@" --resolve "$name:443:198.51.100.2" "https://$name/" -o /dev/null
  rc=$?
  end=$(now_ms)
  if (( rc == 0 )); then echo ok; else echo "fail:$rc $((end - start))"; fi
}

blocked_fast() {  # a refusal that takes under a second, not a timeout
  local result=$1
  # exit 7 would be a refused connect: the server is missing, not the filter at work
  [[ $result == fail:* && $result != fail:7\ * ]] && (( ${result##* } < 1000 ))
}

case_tls() {
  local r
  r=$(curl_tls allowed.example --http1.1); expect "curl http/1.1 allowed name" ok "$r"
  r=$(curl_tls blocked.example --http1.1)
  blocked_fast "$r" && pass "curl http/1.1 blocked name fails fast ($r)" || fail "curl http/1.1 blocked ($r)"
  r=$(curl_tls allowed.example --http2); expect "curl http/2 allowed name" ok "$r"
  r=$(curl_tls www.blocked.example --http2)
  blocked_fast "$r" && pass "curl http/2 blocked subdomain fails fast ($r)" || fail "curl http/2 blocked subdomain ($r)"
  r=$(curl_tls notblocked.example); expect "curl name sharing a suffix, not a label" ok "$r"
  r=$(inc curl -sk --max-time 5 -6 --resolve "blocked.example:443:[2001:db8::2]" https://blocked.example/ -o /dev/null; echo $?)
  [[ $r != 0 ]] && pass "curl IPv6 blocked" || fail "curl IPv6 blocked passed"
  r=$(inc curl -sk --max-time 5 -6 --resolve "allowed.example:443:[2001:db8::2]" https://allowed.example/ -o /dev/null; echo $?)
  expect "curl IPv6 allowed" 0 "$r"

  for name in allowed.example blocked.example sub.blocked.example; do
    local want=ok; [[ $name == *blocked* ]] && want=refused
    r=$(timeout 6 ip netns exec "$C" openssl s_client -connect 198.51.100.2:443 -servername "$name" \
      </dev/null >/dev/null 2>&1 && echo ok || echo refused)
    expect "openssl s_client $name" "$want" "$r"
    r=$(timeout 6 ip netns exec "$C" openssl s_client -tls1_2 -connect 198.51.100.2:443 \
      -servername "$name" </dev/null >/dev/null 2>&1 && echo ok || echo refused)
    expect "openssl s_client TLS 1.2 $name" "$want" "$r"
    r=$(timeout 6 ip netns exec "$C" openssl s_client -max_send_frag 512 -connect 198.51.100.2:443 \
      -servername "$name" </dev/null >/dev/null 2>&1 && echo ok || echo refused)
    expect "openssl s_client -max_send_frag 512 $name" "$want" "$r"
    if command -v gnutls-cli >/dev/null; then
      r=$(timeout 6 ip netns exec "$C" gnutls-cli --insecure --sni-hostname "$name" -p 443 198.51.100.2 \
        </dev/null >/dev/null 2>&1 && echo ok || echo refused)
      expect "gnutls-cli $name" "$want" "$r"
    fi
  done

  for name in allowed.example blocked.example; do
    local want=allowed; [[ $name == blocked* ]] && want=reset
    r=$(inc timeout 10 python3 "$HERE/tls_probe.py" 198.51.100.2 "$name" records 60)
    expect "ClientHello in 60-byte records, $name" "$want" "$r"
    r=$(inc timeout 20 python3 "$HERE/tls_probe.py" 198.51.100.2 "$name" onebyte)
    expect "ClientHello one byte per write, $name" "$want" "$r"
    r=$(inc timeout 20 python3 "$HERE/tls_probe.py" 2001:db8::2 "$name" onebyte)
    expect "IPv6 ClientHello one byte per write, $name" "$want" "$r"
  done
  # A client that reuses its address pair at once: the new connection is judged on its own, also
  # when no conntrack event tells the daemon that the old one ended (events off in the namespace).
  for events in 1 0; do
    inc sysctl -qw net.netfilter.nf_conntrack_events=$events
    r=$(inc timeout 20 python3 "$HERE/tls_probe.py" 198.51.100.2 blocked.example reuse \
      allowed.example $((41440 + events)))
    expect "same address pair, allowed then blocked, conntrack events $events" "allowed reset" "$r"
    # The old connection's last packet the server's reset: conntrack reuses its entry, mark and all.
    r=$(inc timeout 20 python3 "$HERE/tls_probe.py" 198.51.100.2 blocked.example reuse \
      allowed.example $((41450 + events)) server-reset)
    expect "same address pair after the server's reset, conntrack events $events" "allowed reset" "$r"
  done
  inc sysctl -qw net.netfilter.nf_conntrack_events=1

  # Chromium: the chromium case.
}

# Plain HTTP: the request's Host names the flow. curl_http NAME [options] -> "ok", "fail:<exit> <ms>"
curl_http() {
  local name=$1 start rc; shift
  start=$(now_ms)
  inc curl -s --max-time 5 "$@" --resolve "$name:80:198.51.100.2" "http://$name/index.html" -o /dev/null
  rc=$?
  if (( rc == 0 )); then echo ok; else echo "fail:$rc $(( $(now_ms) - start ))"; fi
}

# A keep-alive server on 198.51.100.5 that answers any method, as nginx does with 405, and reads
# request bodies as Apache does.
start_method_server() {
  ip -n "$S" addr add 198.51.100.5/24 dev qs0
  cat >"$WORK/any_method.py" <<'PY'
import http.server, sys
class H(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *a): pass
    def do_FOO(self):
        self.send_response(200); self.send_header("Content-Length", "2"); self.end_headers()
        self.wfile.write(b"ok")
    do_ADD = do_FOO  # a method that is also a chunk size
    def do_get(self):  # a method in lower case, as Go's server takes it
        self.do_GET()
    def do_POST(self):  # chunked wins over Content-Length, as Apache reads it
        if "chunked" in self.headers.get("Transfer-Encoding", ""):
            while (size := int(self.rfile.readline().split(b";")[0], 16)) > 0:
                self.rfile.read(size + 2)
            self.rfile.readline()
        else:
            self.rfile.read(int(self.headers.get("Content-Length", "0")))
        self.do_FOO()
http.server.HTTPServer(("198.51.100.5", 80), lambda *a: H(*a, directory=sys.argv[1])).serve_forever()
PY
  ip netns exec "$S" python3 "$WORK/any_method.py" "$WORK/www" >/dev/null 2>&1 &
  PIDS+=($!)
  for _ in $(seq 50); do ins ss -ltn | grep -q '198.51.100.5:80 ' && break; sleep 0.1; done
}

case_http() {
  local r
  r=$(curl_http allowed.example); expect "curl http:// allowed name" ok "$r"
  r=$(curl_http blocked.example)
  blocked_fast "$r" && pass "curl http:// blocked name fails fast ($r)" || fail "curl http:// blocked name ($r)"
  r=$(curl_http www.blocked.example)
  blocked_fast "$r" && pass "curl http:// blocked subdomain fails fast ($r)" || fail "curl http:// blocked subdomain ($r)"
  r=$(curl_http WWW.Blocked.Example.)
  blocked_fast "$r" && pass "curl http:// upper case, trailing dot fails fast ($r)" || fail "curl http:// upper case ($r)"
  r=$(inc curl -s --max-time 5 -H "Host: blocked.example:80" http://198.51.100.2/index.html -o /dev/null; echo $?)
  [[ $r != 0 ]] && pass "Host with port judged by its name" || fail "Host with port passed"
  # Padding before Host: read as far as servers take heads (64 KiB), refused beyond.
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.2 blocked.example padded 12000)
  expect "12 KB of headers before a blocked Host" reset "$r"
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.2 allowed.example padded 12000)
  expect "12 KB of headers before an allowed Host" answered "$r"
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.2 allowed.example padded 72000)
  expect "72 KB of headers before Host, refused" reset "$r"
  ip netns exec "$S" python3 -m http.server 80 --bind 2001:db8::2 --directory "$WORK/www" >/dev/null 2>&1 &
  PIDS+=($!)
  for _ in $(seq 50); do ins ss -ltn | grep -q '\[2001:db8::2\]:80 ' && break; sleep 0.1; done
  r=$(inc curl -s --max-time 5 -6 --resolve "allowed.example:80:[2001:db8::2]" http://allowed.example/index.html)
  expect "curl http:// IPv6 allowed" "quillnest test page" "$r"
  r=$(inc curl -s --max-time 5 -6 --resolve "blocked.example:80:[2001:db8::2]" http://blocked.example/index.html -o /dev/null; echo $?)
  [[ $r != 0 && $r != 7 ]] && pass "curl http:// IPv6 blocked ($r)" || fail "curl http:// IPv6 blocked ($r)"

  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.2 blocked.example split)
  expect "request head split over three segments, blocked" reset "$r"
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.2 allowed.example split)
  expect "request head split over three segments, allowed" answered "$r"
  # Host values that are no authority, as servers route them: nginx and Go by the name before a
  # colon, h2o before a slash, Caddy and h2o by the name inside brackets.
  local odd
  for odd in blocked.example:http blocked.example:80:80 blocked.example/x '[blocked.example]:80'; do
    r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.2 "$odd" split)
    expect "Host $odd blocked" reset "$r"
  done
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.2 allowed.example:80:80 split)
  expect "Host with two ports, allowed" answered "$r"
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.2 - http10)
  expect "HTTP/1.0 without Host is allowed" answered "$r"
  local start; start=$(now_ms)
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.2 allowed.example silent 3)
  expect "client silent for 3 s, then its request works" answered "$r"
  (( $(now_ms) - start < 6000 )) && pass "silent client not held past the bound" || fail "silent client took $(( $(now_ms) - start )) ms"

  # A keep-alive server of its own, so a connection stays open across the rules change.
  ip -n "$S" addr add 198.51.100.4/24 dev qs0
  ip netns exec "$S" python3 -m http.server 80 --bind 198.51.100.4 --protocol HTTP/1.1 \
    --directory "$WORK/www" >/dev/null 2>&1 &
  PIDS+=($!)
  for _ in $(seq 50); do ins ss -ltn | grep -q '198.51.100.4:80 ' && break; sleep 0.1; done
  # Every request of a kept-alive connection is judged, pipelined ones too.
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.4 allowed.example then blocked.example)
  expect "kept-alive second request for a blocked name" reset "$r"
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.4 allowed.example then blocked.example pipelined)
  expect "pipelined second request for a blocked name" reset "$r"
  # A method the HTTP parser does not know, answered by a server that keeps the connection, then a
  # blocked name on it.
  start_method_server
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.5 allowed.example method FOO blocked.example)
  expect "unknown method, then a blocked name on the same connection" reset "$r"
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.5 allowed.example method get blocked.example)
  expect "a method in lower case, then a blocked name on the same connection" reset "$r"
  # Framing the server reads otherwise (it takes chunked over Content-Length), and an Upgrade the
  # server ignores: the request after them is the server's next.
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.5 allowed.example both-lengths blocked.example)
  expect "chunked with Content-Length, then a blocked name" reset "$r"
  # A long body passes the queue in the kernel; the request after it is read all the same.
  local queued; queued=$(bytes_queued)
  r=$(inc timeout 20 python3 "$HERE/http_probe.py" 198.51.100.5 allowed.example upload 24 blocked.example)
  expect "a 24 MB upload, then a blocked name on the same connection" reset "$r"
  r=$(inc timeout 20 python3 "$HERE/http_probe.py" 198.51.100.5 allowed.example upload 24 www.example.org)
  expect "a 24 MB upload, then an allowed name on the same connection" answered "$r"
  # The same in one chunk of a chunked body: the rest of a chunk is a body nothing reads.
  r=$(inc timeout 20 python3 "$HERE/http_probe.py" 198.51.100.5 allowed.example upload-chunked 24 blocked.example)
  expect "a 24 MB chunk, then a blocked name on the same connection" reset "$r"
  r="$(status_value bodiesPassed) $(( $(bytes_queued) - queued ))"
  # Most of the 72 MB passed the queue (the rest came to it before the rule was made, and in the
  # last megabytes).
  [[ $r =~ ^([0-9]+)\ ([0-9]+)$ ]] && (( BASH_REMATCH[1] >= 3 && BASH_REMATCH[2] < 36000000 )) \
    && pass "the uploads passed unqueued (bodies, bytes queued: $r)" || fail "uploads passed unqueued: '$r'"
  # A long response: the server's packets go unlogged until the client's next request, which is
  # judged all the same.
  head -c 24000000 /dev/zero >"$WORK/www/long.bin"
  r=$(inc timeout 20 python3 "$HERE/http_probe.py" 198.51.100.4 allowed.example download long.bin blocked.example)
  expect "a 24 MB download, then a blocked name on the same connection" reset "$r"
  r=$(inc timeout 20 python3 "$HERE/http_probe.py" 198.51.100.4 allowed.example download long.bin www.example.org)
  expect "a 24 MB download, then an allowed name on the same connection" answered "$r"
  r=$(status_value responsesPassed)
  [[ $r =~ ^[0-9]+$ ]] && (( r >= 2 )) && pass "long responses passed unlogged ($r)" || fail "long responses passed unlogged: '$r'"
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.4 allowed.example upgrade blocked.example)
  expect "an ignored Upgrade, then a blocked name on the same connection" reset "$r"
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.4 allowed.example upgrade www.example.org)
  expect "an ignored Upgrade, then an allowed name" answered "$r"
  # python's http.server ignores a GET's body and answers it as the next request.
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.4 allowed.example get-body blocked.example)
  expect "a GET whose body is a request for a blocked name" reset "$r"
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.4 allowed.example get-body www.example.org)
  expect "a GET whose body is a request for an allowed name" answered "$r"
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.4 allowed.example get-body www.example.org blocked.example)
  expect "a GET whose body is an allowed request, then a blocked one" reset "$r"
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.4 allowed.example get-body www.example.org www.example.org)
  expect "a GET whose body is two allowed requests" answered "$r"
  # This server ignores a GET's body too, and answers any method: the request behind one the
  # filter cannot name would be served.
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.5 allowed.example get-body-method FOO blocked.example)
  expect "a GET whose body is a FOO request, then a blocked one" reset "$r"
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.5 allowed.example get-body-method ADD blocked.example chunked)
  expect "a chunked GET whose first size line is an ADD request, then a blocked one" reset "$r"
  # An urgent byte after the name: the server reads the name without it.
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.4 blocked.example urgent)
  expect "an urgent byte after a blocked name" refused "$r"
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.4 blocked.example space-colon)
  expect "a space before Host's colon" reset "$r"
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.4 blocked.example tabs)
  expect "a request line split by tabs" reset "$r"
  # HTTP/2 without TLS by prior knowledge (nghttpd takes no h2c Upgrade): named by :authority.
  if command -v nghttpd >/dev/null; then
    ip -n "$S" addr add 198.51.100.6/24 dev qs0
    mkdir -p "$WORK/h2c"
    echo "quillnest h2c page" >"$WORK/h2c/index.html"
    ip netns exec "$S" nghttpd --no-tls -a 198.51.100.6 -d "$WORK/h2c" 80 >"$WORK/h2c.log" 2>&1 &
    PIDS+=($!)
    for _ in $(seq 50); do ins ss -ltn | grep -q '198.51.100.6:80 ' && break; sleep 0.1; done
    for how in --http2-prior-knowledge; do
      r=$(inc curl -s --max-time 5 "$how" --resolve allowed.example:80:198.51.100.6 http://allowed.example/index.html)
      expect "curl $how, allowed name" "quillnest h2c page" "$r"
      r=$(inc curl -s --max-time 5 "$how" --resolve blocked.example:80:198.51.100.6 http://blocked.example/index.html -o /dev/null; echo $?)
      [[ $r != 0 && $r != 7 && $r != 28 ]] && pass "curl $how, blocked name refused ($r)" || fail "curl $how, blocked name ($r)"
    done
  fi
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.4 allowed.example then www.example.org)
  expect "kept-alive second request for an allowed name" answered "$r"
  write_rules "$WORK/rules-more.json" true blocked.example allowed.example
  r=$(inc timeout 10 python3 "$HERE/http_probe.py" 198.51.100.4 allowed.example reset-after \
    "$WORK/rules.json" "$WORK/rules-more.json" "$DAEMON")
  if [[ $r =~ ^[0-9]+$ ]] && (( r <= 1000 )); then
    pass "rules change resets an open keep-alive connection in ${r} ms"
  else
    fail "keep-alive connection after the rules change (got '$r')"
  fi
  r=$(curl_http allowed.example)
  blocked_fast "$r" && pass "newly blocked name fails over http://" || fail "newly blocked over http:// ($r)"

  r=$(inc "$BIN" status --socket "$WORK/run/control.sock" --json 2>&1)
  local named; named=$(python3 -c 'import json,sys; d=json.loads(sys.argv[1]); print(d["httpNamedByHost"], d["httpUnnamedMissingHost"], d["httpUnnamedTimedOut"])' "$r" 2>/dev/null)
  if [[ $named =~ ^([0-9]+)\ ([0-9]+)\ ([0-9]+)$ ]] && (( BASH_REMATCH[1] >= 8 && BASH_REMATCH[2] >= 1 && BASH_REMATCH[3] >= 1 )); then
    pass "status counts named ($named: named, no Host, timed out)"
  else
    fail "status http counters (got '$r')"
  fi
}

case_udp() {
  local r
  r=$(inc python3 "$HERE/udp_probe.py" ask 198.51.100.2 443); expect "UDP 443 gets no answer" silence "$r"
  r=$(inc python3 "$HERE/udp_probe.py" ask 2001:db8::2 443); expect "UDP 443 over IPv6 gets no answer" silence "$r"
  r=$(inc python3 "$HERE/udp_probe.py" ask 198.51.100.2 5353); expect "UDP 5353 answered" answer "$r"
  r=$(inc python3 "$HERE/udp_probe.py" ask 198.51.100.2 53); expect "DNS-like UDP 53 answered" answer "$r"
}

busy_download() {  # a download at 100 MB/s that lasts; its PID in BUSY
  truncate -s 4G "$WORK/www/endless.bin"
  ip netns exec "$C" curl -s --limit-rate 100M -o /dev/null http://198.51.100.2/endless.bin &
  BUSY=$!
  PIDS+=($BUSY)
}
busy_reset() {  # busy_reset WHAT: the busy download ends within 3 s
  for _ in $(seq 30); do kill -0 "$BUSY" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$BUSY" 2>/dev/null; then fail "$1 stays open"; else pass "$1 is reset"; fi
  rm -f "$WORK/www/endless.bin"
}

case_reset() {
  stop_daemon
  write_rules "$WORK/rules.json" false blocked.example
  write_rules "$WORK/rules-on.json" true blocked.example
  start_daemon
  local r
  r=$(inc timeout 10 python3 "$HERE/tls_probe.py" 198.51.100.2 allowed.example reset-after \
    "$WORK/rules.json" "$WORK/rules-on.json" "$DAEMON")
  if [[ $r =~ ^[0-9]+$ ]] && (( r <= 100 )); then
    pass "rules change resets an open connection in ${r} ms"
  else
    fail "rules change reset (got '$r')"
  fi
  r=$(curl_tls blocked.example)
  blocked_fast "$r" && pass "blocking on after SIGHUP" || fail "blocking after SIGHUP ($r)"

  # Connections no filter judged (opened while no daemon ran) are reset once blocking is on,
  # whatever their name; one to the client's own server never is.
  stop_daemon
  ip netns exec "$C" openssl s_server -accept 198.51.100.1:443 -cert "$WORK/cert.pem" \
    -key "$WORK/key.pem" -www -quiet >/dev/null 2>&1 &
  PIDS+=($!)
  for _ in $(seq 50); do inc ss -ltn | grep -q '198.51.100.1:443 ' && break; sleep 0.1; done
  held() {  # held NAME OUT [ADDRESS] [NAMESPACE]: a probe holding a connection open for 10 s
    ip netns exec "${4:-$C}" python3 "$HERE/tls_probe.py" "${3:-198.51.100.2}" "$1" held 10 >"$2" &
    PIDS+=($!)
    for _ in $(seq 50); do grep -q connected "$2" && return; sleep 0.1; done
  }
  ended() {  # the probe's outcome once it ends within 12 s
    for _ in $(seq 120); do [[ $(wc -l <"$1") -ge 2 ]] && break; sleep 0.1; done
    tail -1 "$1"
  }
  write_rules "$WORK/rules.json" true blocked.example
  held allowed.example "$WORK/held-on.out"
  held own.example "$WORK/held-own.out" 198.51.100.1 "$S"
  # A busy one too: its packets keep coming while the chains go in.
  busy_download
  sleep 0.5
  start_daemon
  busy_reset "at the start, a busy connection older than the daemon"
  r=$(ended "$WORK/held-on.out")
  [[ $r == ended* ]] && pass "a connection older than the daemon is reset at its start ($r ms)" \
    || fail "a connection older than the daemon, blocking on at the start: $r"
  r=$(ended "$WORK/held-own.out")
  expect "a connection to the client's own server is left alone" open "$r"
  stop_daemon
  write_rules "$WORK/rules.json" false blocked.example
  held allowed.example "$WORK/held-off.out"
  start_daemon
  sleep 1
  r=$(tail -1 "$WORK/held-off.out")
  expect "with blocking off, a connection older than the daemon stays open" connected "$r"
  cp "$WORK/rules-on.json" "$WORK/rules.json"
  kill -HUP "$DAEMON"
  r=$(ended "$WORK/held-off.out")
  [[ $r == ended* ]] && pass "it is reset when blocking comes on ($r ms)" \
    || fail "a connection older than the daemon, blocking turned on: $r"
}

case_crash() {
  local r
  # A download in flight when the daemon dies must finish.
  ip netns exec "$C" curl -s --max-time 20 --limit-rate 2000k -o "$WORK/big.out" http://198.51.100.2/big.bin &
  local download=$!
  sleep 0.5
  kill -KILL "$DAEMON"; wait "$DAEMON" 2>/dev/null; DAEMON=""
  r=$(curl_tls allowed.example); expect "new connection after SIGKILL flows (queue bypass)" ok "$r"
  wait "$download"; r=$?
  expect "download through the SIGKILL completes" 0 "$r"
  cmp -s "$WORK/big.out" "$WORK/www/big.bin" && pass "download intact" || fail "download corrupted"
  start_daemon
  r=$(inc iptables-save -t mangle | grep -c -- '-j QUILLNEST_OUT')
  expect "restart leaves one OUTPUT jump" 1 "$r"
  r=$(inc ip6tables-save -t mangle | grep -c -- '-j QUILLNEST_POST')
  expect "restart leaves one IPv6 POSTROUTING jump" 1 "$r"
  r=$(curl_tls blocked.example)
  blocked_fast "$r" && pass "filtering again after restart" || fail "after restart ($r)"
  # A firewall reload that replaces whole tables, or flushes them, takes our rules out: they
  # come back, and a connection opened in between is reset. The daemon is stopped meanwhile, so
  # that the gap lasts until that connection is open.
  local puts; puts=$(grep -c "put back" "$WORK/daemon.log")
  kill -STOP "$DAEMON"
  inc iptables-restore <<<$'*mangle\nCOMMIT'
  inc ip6tables -t mangle -F
  ip netns exec "$C" python3 "$HERE/tls_probe.py" 198.51.100.2 allowed.example held 10 >"$WORK/gap.out" &
  PIDS+=($!)
  busy_download
  for _ in $(seq 50); do grep -q connected "$WORK/gap.out" && break; sleep 0.1; done
  kill -CONT "$DAEMON"
  for _ in $(seq 50); do (( $(grep -c "put back" "$WORK/daemon.log") > puts )) && break; sleep 0.1; done
  r=$(for tool in iptables-save ip6tables-save; do inc $tool -t mangle; done | grep -c -- '-j QUILLNEST_OUT')
  expect "rules taken out by another program are put back, both families" 2 "$r"
  r=$(status_value rulesPutBack)
  [[ $r =~ ^[0-9]+$ ]] && (( r >= 1 )) && pass "status counts $r put back" \
    || fail "status rulesPutBack ($r)"
  r=$(curl_tls blocked.example)
  blocked_fast "$r" && pass "filtering again after the rules were put back" || fail "after put back ($r)"
  for _ in $(seq 50); do [[ $(wc -l <"$WORK/gap.out") -ge 2 ]] && break; sleep 0.1; done
  r=$(tail -1 "$WORK/gap.out")
  [[ $r == ended* ]] && pass "a connection opened while they were out is reset ($r ms)" \
    || fail "a connection opened while the rules were out: $r"
  busy_reset "a busy connection opened while they were out"
  stop_daemon
  r=$(inc iptables-save -t mangle | grep -c QUILLNEST)
  expect "stop removes every chain and jump" 0 "$r"
}

# replay: the same clients with the daemon judging live, then without it under tcpdump; the
# capture replayed with the same rules must give each flow the verdict the live filter gave.
case_replay() {
  command -v tcpdump >/dev/null || { echo "SKIP: tcpdump missing"; exit 77; }
  local names=(allowed.example blocked.example www.blocked.example notblocked.example)
  local live="$WORK/live.txt" name r
  : > "$live"
  run_clients() {  # run_clients -> "NAME PORT ok|fail" lines
    for name in "${names[@]}"; do
      r=$(curl_tls "$name" --http1.1); echo "$name 443 ${r%%:*}"
      r=$(curl_http "$name"); echo "$name 80 ${r%%:*}"
    done
    r=$(inc timeout 20 python3 "$HERE/tls_probe.py" 198.51.100.2 blocked.example onebyte)
    echo "onebyte.blocked.example 443 $r"
    r=$(inc python3 "$HERE/udp_probe.py" ask 198.51.100.2 443); echo "udp 443 $r"
  }
  run_clients > "$live"
  stop_daemon
  ip netns exec "$C" tcpdump -i qc0 --immediate-mode -U -s 0 -w "$WORK/clients.pcap" 'tcp or udp' >"$WORK/tcpdump.log" 2>&1 &
  local dump=$!; PIDS+=($!)
  for _ in $(seq 50); do grep -q "listening on" "$WORK/tcpdump.log" && break; sleep 0.1; done
  run_clients > "$WORK/unfiltered.txt"
  sleep 0.5; kill -INT "$dump"; wait "$dump" 2>/dev/null
  "$BIN" replay "$WORK/clients.pcap" --rules "$WORK/rules.json" --json > "$WORK/replay.json" 2>"$WORK/replay.err"
  expect "replay of the clients' capture runs" 0 "$?"
  # Live: a failed client is a blocked flow. Replay: the verdict of the flow with that name and
  # port (the one-byte client's hello names blocked.example on a connection of its own).
  r=$(python3 - "$live" "$WORK/replay.json" <<'PY'
import json, sys
live = [line.split() for line in open(sys.argv[1]) if line.strip()]
flows = json.load(open(sys.argv[2]))["flows"]
verdicts = {}
for f in flows:
    port = f["remote"].rsplit(":", 1)[1]
    key = (f["protocol"], f["serverName"] or "", port)
    verdicts.setdefault(key, []).append(f["verdict"])
wrong = []
for name, port, outcome in live:
    if name == "udp":
        want, got = ("drop" if outcome == "silence" else "allow"), verdicts.get(("udp", "", port), ["none"])
    else:
        blocked = outcome in ("fail", "reset", "refused")
        want = "drop" if blocked else "allow"
        key_name = "blocked.example" if name.startswith("onebyte.") else name
        got = verdicts.get(("tcp", key_name, port), ["none"])
    if want not in got or len(set(got)) != 1:
        wrong.append(f"{name}:{port} live {outcome} replay {got}")
print("same" if not wrong else "; ".join(wrong))
PY
)
  expect "replay gives every flow the live filter's verdict" same "$r"
  [[ $r == same ]] || cp "$WORK/clients.pcap" "$WORK/replay.json" /tmp/ 2>/dev/null
  echo "  live: $(tr '\n' ',' < "$live")"
  echo "  without the filter: $(tr '\n' ',' < "$WORK/unfiltered.txt")"
  echo "  replay: $(grep -o '"verdict":"drop"' "$WORK/replay.json" | wc -l) dropped of $(grep -o '"verdict":' "$WORK/replay.json" | wc -l) flows"
  start_daemon --debug
}

# chromium: headless Chromium in the client namespace against the HTTP/1.1 server (openssl
# s_server, no ALPN) on 198.51.100.2 and an HTTP/2-only server (nghttpd, ALPN h2) on
# 198.51.100.3. chrome_load prints "ok MS PROTOCOL", "fail MS ERROR PROTOCOL" (MS: the page
# request's lifetime, from Chromium's net log) or "timeout". Only the test's name resolves (to
# the server): Chromium's own background requests fail at name resolution instead of occupying
# the servers.
chrome_load() {  # chrome_load ADDRESS NAME WANT_TEXT [chromium flags]
  local address=$1 name=$2 want=$3; shift 3
  chromium_page "https://$name/" "$want" 250 --headless=new \
    --disable-features=DnsOverHttps,OptimizationHints --no-pings \
    --host-resolver-rules="MAP $name $address, MAP * ~NOTFOUND" "$@"
}

chrome_refused() {  # a failure well under the 2 s hold bound, not a timeout
  [[ $1 =~ ^fail\ ([0-9]+)\ ERR_ ]] && (( BASH_REMATCH[1] < 1000 ))
}

case_chromium() {
  if ! command -v chromium >/dev/null; then
    echo "SKIP: chromium not installed (Debian package chromium)"
    [[ $CASE == chromium ]] && exit 77
    return
  fi
  trap 'kill -KILL $(cat "$WORK/chromium.pid" 2>/dev/null) 2>/dev/null; cleanup' EXIT
  local r name
  for name in allowed.example blocked.example; do
    r=$(chrome_load 198.51.100.2 "$name" s_server)
    echo "  chromium http/1.1 $name: $r"
    if [[ $name == allowed* ]]; then
      [[ $r == ok*http/1.1 ]] && pass "chromium http/1.1 $name loads" || fail "chromium http/1.1 $name ($r)"
    else
      chrome_refused "$r" && pass "chromium http/1.1 $name refused fast" || fail "chromium http/1.1 $name ($r)"
    fi
  done

  if ! command -v nghttpd >/dev/null; then
    echo "NOTE: nghttpd (Debian package nghttp2-server) not installed: HTTP/2 and QUIC not covered"
    return
  fi
  mkdir -p "$WORK/h2"
  echo "quillnest h2 page" > "$WORK/h2/index.html"
  ip -n "$S" addr add 198.51.100.3/24 dev qs0
  ip netns exec "$S" nghttpd -a 198.51.100.3 -d "$WORK/h2" 443 "$WORK/key.pem" "$WORK/cert.pem" \
    >"$WORK/nghttpd.log" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 50); do ins ss -ltn | grep -q '198.51.100.3:443 ' && break; sleep 0.1; done
  for name in allowed.example blocked.example www.blocked.example; do
    r=$(chrome_load 198.51.100.3 "$name" "quillnest h2 page")
    echo "  chromium http/2 $name: $r"
    if [[ $name == allowed* ]]; then
      [[ $r == ok*h2 ]] && pass "chromium http/2 $name loads" || fail "chromium http/2 $name ($r)"
    else
      chrome_refused "$r" && pass "chromium http/2 $name refused fast" || fail "chromium http/2 $name ($r)"
    fi
  done
  # Chromium tries QUIC here only when forced, and a forced origin gets no TCP fallback: UDP 443
  # is dropped whatever the name, so both loads fail, after Chromium's QUIC handshake timeout
  # (about 4 s), never by hanging.
  for name in blocked.example allowed.example; do
    r=$(chrome_load 198.51.100.3 "$name" "quillnest h2 page" --origin-to-force-quic-on="$name:443")
    echo "  chromium forced QUIC $name: $r"
    [[ $r == fail* ]] && pass "chromium forced QUIC $name: no QUIC connection ($r)" \
      || fail "chromium forced QUIC $name ($r)"
  done

  # QUIC learnt from Alt-Svc, as browsers meet it: Chromium races QUIC against TCP for the
  # page's second request; UDP 443 is dropped and the page still loads, over TCP. Alt-Svc counts
  # only from a certificate Chromium accepts, hence a certificate pinned by its key.
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=allowed.example" \
    -addext "subjectAltName=DNS:allowed.example" -keyout "$WORK/altsvc-key.pem" \
    -out "$WORK/altsvc-cert.pem" >/dev/null 2>&1
  local spki; spki=$(openssl x509 -in "$WORK/altsvc-cert.pem" -pubkey -noout |
    openssl pkey -pubin -outform der | openssl dgst -sha256 -binary | base64)
  ip -n "$S" addr add 198.51.100.5/24 dev qs0
  ip netns exec "$S" python3 "$HERE/altsvc_server.py" 198.51.100.5 "$WORK/altsvc-cert.pem" \
    "$WORK/altsvc-key.pem" 2>"$WORK/altsvc.log" &
  PIDS+=($!)
  for _ in $(seq 50); do ins ss -ltn | grep -q '198.51.100.5:443 ' && break; sleep 0.1; done
  local drops; drops=$(udp443_drops)
  r=$(chrome_load 198.51.100.5 allowed.example "quillnest alt-svc page" \
    --ignore-certificate-errors-spki-list="$spki")
  drops="$drops -> $(udp443_drops)"
  echo "  chromium Alt-Svc h3 allowed.example: $r (UDP 443 drops $drops)"
  [[ $r == ok*quic ]] && pass "chromium tried QUIC from Alt-Svc and fell back to TCP" \
    || fail "chromium Alt-Svc fallback ($r)"
  [[ $drops =~ ^([0-9]+)\ -\>\ ([0-9]+)$ ]] && (( BASH_REMATCH[2] > BASH_REMATCH[1] )) \
    && pass "the filter dropped Chromium's QUIC ($drops)" || fail "no QUIC drop counted ($drops)"
}

status_value() {  # status_value KEY: one count of the daemon's status
  inc "$BIN" status --socket "$WORK/run/control.sock" --json 2>/dev/null |
    python3 -c 'import json, sys; print(json.load(sys.stdin)[sys.argv[1]])' "$1" 2>/dev/null
}
udp443_drops() { status_value udp443Drops; }
# bytes_queued [NAMESPACE CHAIN]: what the queue rule for connections under inspection took
bytes_queued() {
  ip netns exec "${1:-$C}" iptables -t mangle -L "${2:-QUILLNEST_OUT}" -v -x -n |
    awk '/NFQUEUE/ && /0x30000000\/0x30000000/ {print $2}'
}

# forward: a gateway namespace between a client of its own and the server runs the daemon with
# --forward. F (203.0.113.1, 2001:db8:f::1) -> G -> S (192.0.2.2, 2001:db8:5::2), which serves
# 198.51.100.2 and 2001:db8::2.
fwd_curl() {  # fwd_curl NAME [curl options] -> "ok" or "fail:<exit> <ms>"
  local name=$1 start rc; shift
  start=$(now_ms)
  ip netns exec "$ID-f" curl -sk --max-time 5 "$@" --resolve "$name:443:198.51.100.2" \
    "https://$name/" -o /dev/null
  rc=$?
  if (( rc == 0 )); then echo ok; else echo "fail:$rc $(( $(now_ms) - start ))"; fi
}

fwd_idle_reset() {  # fwd_idle_reset ADDRESS LABEL: an idle connection to allowed.example, whose
  # rules change (rules.json replaced by rules-forward.json) must reset it within a second
  local r
  r=$(ip netns exec "$ID-f" timeout 10 python3 "$HERE/keepalive_probe.py" "$1" allowed.example \
    "$WORK/rules.json" "$WORK/rules-forward.json" "$DAEMON")
  if [[ $r =~ ^reset\ ([0-9]+)$ ]] && (( BASH_REMATCH[1] <= 1000 )); then
    pass "$2: rules change resets the open idle connection at the client ($r ms)"
  else
    fail "$2: open connection after the rules change (got '$r')"
  fi
}

fwd_curl6() {  # fwd_curl6 NAME, over IPv6 to [2001:db8::2]
  local name=$1 start rc
  start=$(now_ms)
  ip netns exec "$ID-f" curl -sk --max-time 5 --resolve "$name:443:[2001:db8::2]" \
    "https://$name/" -o /dev/null
  rc=$?
  if (( rc == 0 )); then echo ok; else echo "fail:$rc $(( $(now_ms) - start ))"; fi
}

case_forward() {
  local F="$ID-f" G="$ID-g" r
  [[ -n "$DAEMON" ]] && stop_daemon
  trap 'ip netns del "$ID-f" 2>/dev/null; ip netns del "$ID-g" 2>/dev/null; cleanup' EXIT
  ip netns add "$F" && ip netns add "$G" || { fail "cannot create forward namespaces"; return; }
  ip -n "$F" link add qf0 type veth peer name qg0 netns "$G"
  ip -n "$G" link add qg1 type veth peer name qs1 netns "$S"
  ip -n "$F" addr add 203.0.113.1/24 dev qf0
  ip -n "$G" addr add 203.0.113.254/24 dev qg0
  ip -n "$G" addr add 192.0.2.1/24 dev qg1
  ip -n "$S" addr add 192.0.2.2/24 dev qs1
  for link in "$F lo" "$F qf0" "$G lo" "$G qg0" "$G qg1" "$S qs1"; do
    set -- $link; ip -n "$1" link set "$2" up
  done
  ip -n "$F" route add default via 203.0.113.254
  ip -n "$G" route add 198.51.100.0/24 via 192.0.2.2
  ip -n "$S" route add 203.0.113.0/24 via 192.0.2.1
  ip netns exec "$G" sysctl -qw net.ipv4.ip_forward=1
  ip -n "$F" addr add 2001:db8:f::1/64 dev qf0 nodad
  ip -n "$G" addr add 2001:db8:f::fe/64 dev qg0 nodad
  ip -n "$G" addr add 2001:db8:5::1/64 dev qg1 nodad
  ip -n "$S" addr add 2001:db8:5::2/64 dev qs1 nodad
  ip -n "$F" -6 route add default via 2001:db8:f::fe
  ip -n "$G" -6 route add 2001:db8::/64 via 2001:db8:5::2
  ip -n "$S" -6 route add 2001:db8:f::/64 via 2001:db8:5::1
  ip netns exec "$G" sysctl -qw net.ipv6.conf.all.forwarding=1

  # A connection through the gateway before the daemon starts, tracked as on a gateway with a
  # stateful firewall (a rule that only counts makes conntrack follow connections).
  ip netns exec "$G" iptables -A FORWARD -m conntrack --ctstate ESTABLISHED
  ip netns exec "$F" python3 "$HERE/tls_probe.py" 198.51.100.2 allowed.example held 10 \
    >"$WORK/held-fwd.out" &
  PIDS+=($!)
  for _ in $(seq 50); do grep -q connected "$WORK/held-fwd.out" && break; sleep 0.1; done
  local before; before=$(grep -c "quillnest-filter running" "$WORK/daemon.log" 2>/dev/null)
  ip netns exec "$G" "$BIN" run --rules "$WORK/rules.json" --queues 2 --hold-timeout-ms 2000 \
    --runtime-dir "$WORK/run-forward" --forward --debug >>"$WORK/daemon.log" 2>&1 &
  DAEMON=$!
  for _ in $(seq 100); do
    (( $(grep -c "quillnest-filter running" "$WORK/daemon.log") > ${before:-0} )) && break
    kill -0 "$DAEMON" 2>/dev/null || { fail "gateway daemon exited at start"; return; }
    sleep 0.1
  done
  r=$(ip netns exec "$G" iptables-save -t filter | grep -c -- '-A FORWARD -j QUILLNEST_RESET')
  expect "gateway: one filter FORWARD jump to the reset chain" 1 "$r"
  for _ in $(seq 120); do [[ $(wc -l <"$WORK/held-fwd.out") -ge 2 ]] && break; sleep 0.1; done
  r=$(tail -1 "$WORK/held-fwd.out")
  [[ $r == ended* ]] && pass "forwarded: a connection older than the daemon is reset at its start ($r ms)" \
    || fail "forwarded: a connection older than the daemon: $r"

  r=$(fwd_curl allowed.example); expect "forwarded: allowed name" ok "$r"
  r=$(fwd_curl blocked.example)
  # A reset (curl 35/56), not a 5 s timeout (28).
  if blocked_fast "$r" && [[ $r != fail:28\ * ]]; then pass "forwarded: blocked name is reset ($r)"
  else fail "forwarded: blocked name ($r)"; fi
  r=$(fwd_curl www.blocked.example --http1.1)
  blocked_fast "$r" && pass "forwarded: blocked subdomain is reset ($r)" || fail "forwarded: blocked subdomain ($r)"
  r=$(ip netns exec "$F" curl -s --max-time 5 http://198.51.100.2/index.html)
  expect "forwarded: port 80" "quillnest test page" "$r"
  # An "accept established" rule above our reset chain's jump, put there after the start (as a
  # container runtime or a firewall reload does), lets no packet of a dropped connection out.
  ip netns exec "$G" iptables -I FORWARD 1 -m conntrack --ctstate ESTABLISHED,RELATED -j ACCEPT
  r=$(ip netns exec "$F" curl -s --max-time 2 -H "Host: blocked.example" http://198.51.100.2/index.html)
  expect "forwarded, an accept rule ahead of ours: a blocked name stays blocked" "" "$r"
  r=$(ip netns exec "$F" curl -s --max-time 5 http://198.51.100.2/index.html)
  expect "forwarded, an accept rule ahead of ours: an allowed name loads" "quillnest test page" "$r"
  ip netns exec "$G" iptables -D FORWARD -m conntrack --ctstate ESTABLISHED,RELATED -j ACCEPT
  # A long body passes the gateway's queue in the kernel; the request after it is still read.
  start_method_server
  local queued; queued=$(bytes_queued "$G" QUILLNEST_FWD)
  r=$(ip netns exec "$F" timeout 20 python3 "$HERE/http_probe.py" 198.51.100.5 allowed.example upload 24 blocked.example)
  expect "forwarded: a 24 MB upload, then a blocked name" reset "$r"
  r=$(ip netns exec "$F" timeout 20 python3 "$HERE/http_probe.py" 198.51.100.5 allowed.example upload 24 www.example.org)
  expect "forwarded: a 24 MB upload, then an allowed name" answered "$r"
  r=$(( $(bytes_queued "$G" QUILLNEST_FWD) - queued ))
  (( r < 24000000 )) && pass "forwarded: the uploads passed unqueued ($r of 48 MB queued)" \
    || fail "forwarded: uploads passed unqueued: '$r'"
  # The gateway's client forges the server's ACK of a head that died on the way (the server's
  # link drops its length) and sends a copy naming a blocked host: the ACK came in on the
  # client's side, so it is not believed and the copy is a conflict.
  ins iptables -A INPUT -p tcp --dport 80 -m length --length 1300 -j DROP
  ip netns exec "$F" iptables -t raw -A OUTPUT -p tcp --sport 40999 --tcp-flags RST RST -j DROP
  ip netns exec "$G" sysctl -qw net.ipv4.conf.all.rp_filter=2  # Debian's, loose
  r=$(ip netns exec "$F" timeout 10 python3 "$HERE/reliability_probe.py" forged-server-ack \
    203.0.113.1 198.51.100.2 "$(ip -n "$G" -br link show qg0 | awk '{print $3}')" qf0)
  [[ $r == *'"reset"'* || $r == *'"silent"'* ]] \
    && pass "forwarded: a forged server ACK of a lost head, then a blocked copy: refused ($r)" \
    || fail "forwarded: a forged server ACK of a lost head, then a blocked copy: $r"
  r=$("$BIN" status --json --socket "$WORK/run-forward/control.sock" 2>/dev/null |
    python3 -c 'import json, sys; print(json.load(sys.stdin)["repliesFromClientSide"])')
  (( ${r:-0} > 0 )) && pass "forwarded: the forged ACK was not believed ($r)" \
    || fail "forwarded: forged ACKs not believed: '$r'"
  ins iptables -D INPUT -p tcp --dport 80 -m length --length 1300 -j DROP
  # TLS 1.3 through the gateway: the server asks for a second ClientHello (HelloRetryRequest)
  # and takes the name from it; one naming a blocked host is refused, the same name served.
  local retry
  for retry in blocked.example:reset allowed.example:allowed; do
    r=$(ip netns exec "$F" timeout 10 python3 "$HERE/reliability_probe.py" retry 198.51.100.2 \
      allowed.example "${retry%%:*}" "$WORK/no-such.log")
    [[ $r == *'"retried": true'* && $r == *"\"outcome\": \"${retry##*:}\""* ]] \
      && pass "forwarded: a HelloRetryRequest, then a second hello naming ${retry%%:*} ($r)" \
      || fail "forwarded: a HelloRetryRequest, then a second hello naming ${retry%%:*}: $r"
  done
  r=$(fwd_curl6 allowed.example); expect "forwarded IPv6: allowed name" ok "$r"
  r=$(fwd_curl6 blocked.example)
  if blocked_fast "$r" && [[ $r != fail:28\ * ]]; then pass "forwarded IPv6: blocked name is reset ($r)"
  else fail "forwarded IPv6: blocked name ($r)"; fi

  # Behind source NAT the server knows the connection by the gateway's address: its probe must
  # carry that one, or its end stays open (and the test server, one connection at a time, with
  # it). An idle client is reset by its probe alone, which must not clash with the connection.
  ip netns exec "$G" iptables -t nat -A POSTROUTING -o qg1 -j MASQUERADE
  ip netns exec "$G" ip6tables -t nat -A POSTROUTING -o qg1 -j MASQUERADE
  r=$(fwd_curl blocked.example)
  blocked_fast "$r" && pass "forwarded, NAT: blocked name is reset ($r)" || fail "forwarded, NAT: blocked name ($r)"
  r=$(fwd_curl6 blocked.example)
  blocked_fast "$r" && pass "forwarded, NAT, IPv6: blocked name is reset ($r)" \
    || fail "forwarded, NAT, IPv6: blocked name ($r)"
  for _ in $(seq 20); do
    r=$(ins ss -Htn state established "( sport = :443 and ( dst 192.0.2.1 or dst [2001:db8:5::1] ) )" | wc -l)
    (( r == 0 )) && break
    sleep 0.05
  done
  expect "forwarded, NAT: the server's ends are reset too" 0 "$r"
  r=$(fwd_curl allowed.example); expect "forwarded, NAT: allowed name" ok "$r"
  # DNS over TLS, and DNS over HTTPS by a resolver's address (Quad9's, which no namespace holds,
  # so only the gateway can answer): the client is refused at once, not left to its retries.
  ip -n "$G" route add 9.9.9.9/32 via 192.0.2.2
  local port start rc
  for port in 853 443; do
    start=$(now_ms)
    ip netns exec "$F" curl -sk --max-time 5 "https://9.9.9.9:$port/" -o /dev/null; rc=$?
    r=$(( $(now_ms) - start ))
    [[ $rc == 7 ]] && (( r < 1000 )) && pass "forwarded, NAT: 9.9.9.9:$port is refused at once ($r ms)" \
      || fail "forwarded, NAT: 9.9.9.9:$port: curl exit $rc after $r ms"
  done

  write_rules "$WORK/rules-forward.json" true blocked.example allowed.example
  # The client stays idle: only the gateway's probes can make the reset happen.
  fwd_idle_reset 198.51.100.2 "forwarded, NAT"
  r=$(ins ss -Htn state established "( sport = :443 and dst 192.0.2.1 )" | wc -l)
  expect "forwarded, NAT: the server's end is reset too" 0 "$r"
  ip netns exec "$G" iptables -t nat -D POSTROUTING -o qg1 -j MASQUERADE
  ip netns exec "$G" ip6tables -t nat -D POSTROUTING -o qg1 -j MASQUERADE
  r=$(ip netns exec "$G" iptables -t filter -L QUILLNEST_RESET -v -x -n | awk '/REJECT/ {print $1}')
  (( r > 0 )) && pass "forwarded: REJECT answered $r packet(s) of dropped connections" \
    || fail "forwarded: REJECT answered nothing"
  r=$(fwd_curl allowed.example)
  blocked_fast "$r" && pass "forwarded: newly blocked name is reset ($r)" || fail "forwarded: newly blocked ($r)"
  # A port forward: the client connects to the gateway's own address, which the gateway
  # translates to the server's. A rules change still ends the idle connection.
  local updates; updates=$(grep -c "Rules updated" "$WORK/daemon.log")
  write_rules "$WORK/rules.json" true blocked.example
  for _ in $(seq 50); do
    (( $(grep -c "Rules updated" "$WORK/daemon.log") > updates )) && break; sleep 0.1
  done
  ip netns exec "$G" iptables -t nat -A PREROUTING -d 203.0.113.254 -p tcp --dport 443 \
    -j DNAT --to-destination 198.51.100.2
  fwd_idle_reset 203.0.113.254 "forwarded, port forward"
  ip netns exec "$G" iptables -t nat -D PREROUTING -d 203.0.113.254 -p tcp --dport 443 \
    -j DNAT --to-destination 198.51.100.2

  stop_daemon
  r=$(for tool in iptables-save ip6tables-save; do for table in mangle filter raw; do
        ip netns exec "$G" $tool -t $table; done; done | grep -c QUILLNEST)
  expect "gateway: stop removes every chain and jump" 0 "$r"
  write_rules "$WORK/rules.json" true blocked.example
}

setup_network
start_servers
write_rules "$WORK/rules.json" true blocked.example
start_daemon --debug
case $CASE in
  tls) case_tls ;;
  http) case_http ;;
  udp) case_udp ;;
  reset) case_reset ;;
  crash) case_crash ;;
  forward) case_forward ;;
  chromium) case_chromium ;;
  replay) case_replay ;;
  all) case_tls; case_http; case_udp; case_reset; case_replay; case_chromium; case_crash; case_forward ;;
  *) echo "unknown case $CASE"; exit 2 ;;
esac
echo "$FAILURES failure(s)"
(( FAILURES == 0 ))
