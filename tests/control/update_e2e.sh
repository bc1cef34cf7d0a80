#!/usr/bin/env bash
# End-to-end test of list subscriptions: a Python HTTP server of the test's own (server namespace)
# serves two lists, `update` (client namespace) writes the rules file, the running daemon reloads
# it; then the second list fails: its last good copy stays and the file is unchanged. Last, lists
# over https (the test's certificate made the only trusted one, inside the client namespace's own
# mount namespace): an https list redirected to http is refused.
# Usage: update_e2e.sh PATH/TO/quillnest-filter
set -u
BIN=$1
[[ $(id -u) -eq 0 ]] || { echo "needs root (namespaces, iptables inside them)"; exit 77; }
command -v openssl >/dev/null || { echo "openssl missing"; exit 77; }
command -v python3 >/dev/null || { echo "python3 missing"; exit 77; }

C="qnup-c-$$"
S="qnup-s-$$"
WORK=$(mktemp -d /tmp/quillnest-up-e2e-XXXXXX)
chmod 0755 "$WORK"
FAILURES=0
PIDS=()

source "$(dirname "$0")/../support/netns_pair.sh"
mkdir -p "$WORK/www" "$WORK/etc"
chmod 0755 "$WORK/etc"
printf '0.0.0.0 one.example\n' > "$WORK/www/list1.txt"
printf 'two.example\n' > "$WORK/www/list2.txt"
ip netns exec "$S" python3 -m http.server 8080 --bind 198.51.100.2 --directory "$WORK/www" \
  >/dev/null 2>&1 &
PIDS+=($!)
ip netns exec "$S" openssl s_server -accept 198.51.100.2:443 -cert "$WORK/cert.pem" \
  -key "$WORK/key.pem" -www -quiet >/dev/null 2>&1 &
PIDS+=($!)

RULES="$WORK/etc/filter-rules.json"
printf '{"isEnabled": true, "domains": []}\n' > "$RULES"
chmod 0644 "$RULES"
printf 'http://198.51.100.2:8080/list1.txt hosts\nhttp://198.51.100.2:8080/list2.txt\n' \
  > "$WORK/etc/sources.list"

start_daemon "$WORK/daemon.log" "$RULES" --queues 1
for _ in $(seq 50); do
  ip netns exec "$C" bash -c 'exec 3<>/dev/tcp/198.51.100.2/8080' 2>/dev/null && break
  sleep 0.1
done

update() {
  ip netns exec "$C" "$BIN" update --sources "$WORK/etc/sources.list" --rules "$RULES" \
    --cache "$WORK/cache" 2>"$WORK/update.err"
}
entries() {  # waits until the daemon holds $1 entries
  for _ in $(seq 50); do
    "$BIN" status --socket "$WORK/run/control.sock" | grep -q "^rule entries: $1$" && return 0
    sleep 0.1
  done
  return 1
}
tls_ok() {
  timeout 5 ip netns exec "$C" openssl s_client -connect 198.51.100.2:443 -servername "$1" \
    </dev/null 2>/dev/null | grep -q "^New, TLS"
}

tls_ok two.example && pass "two.example passes before the update" || fail "two.example failed"
update && pass "update read both lists" || fail "update: $(cat "$WORK/update.err")"
grep -q '"two.example"' "$RULES" && grep -q '"one.example"' "$RULES" \
  && pass "rules file holds both lists" || fail "rules: $(cat "$RULES")"
entries 2 && pass "the daemon reloaded the new file" || fail "no reload: $(tail -3 "$WORK/daemon.log")"
tls_ok two.example && fail "two.example passed after the update" \
  || pass "a name of the second list is blocked after the update"
tls_ok allowed.example && pass "other names pass" || fail "allowed.example failed"
explained=$("$BIN" explain https://www.two.example:443/ --socket "$WORK/run/control.sock")
grep -q "blocked by entry 2 (line 5) \"two.example\"" <<<"$explained" \
  && pass "explain asks the running daemon and names the entry" || fail "explain: $explained"

cp "$RULES" "$WORK/rules.before"
inode=$(stat -c %i "$RULES")
rm "$WORK/www/list2.txt"
update && fail "update succeeded with a list missing" || pass "update exits 1 when a list fails"
grep -q "list2.txt failed (.*404.*); using its last good copy" "$WORK/update.err" \
  && pass "the run names the failed list" || fail "messages: $(cat "$WORK/update.err")"
cmp -s "$RULES" "$WORK/rules.before" && [[ $(stat -c %i "$RULES") == "$inode" ]] \
  && pass "rules file unchanged" || fail "rules file changed: $(cat "$RULES")"
[[ $(ls "$WORK/cache" | wc -l) == 2 ]] && grep -qx two.example "$WORK"/cache/* \
  && pass "the last good copy stays" || fail "cache: $(ls -l "$WORK/cache")"

printf '0.0.0.0 one.example three.example\n' > "$WORK/www/list1.txt"
update
grep -q '"three.example"' "$RULES" && grep -q '"two.example"' "$RULES" \
  && pass "a changed list comes in while the failed one keeps its last copy" \
  || fail "rules: $(cat "$RULES")"
entries 3 && pass "the daemon reloaded again" || fail "no second reload"

# Over https: a certificate for the server's address, trusted only by the update runs below.
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=198.51.100.2" \
  -addext "subjectAltName=IP:198.51.100.2" -keyout "$WORK/tls-key.pem" -out "$WORK/tls.pem" \
  >/dev/null 2>&1
ip netns exec "$S" python3 -c '
import http.server, ssl, sys
directory, cert, key = sys.argv[1:4]
class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *a, **k):
        super().__init__(*a, directory=directory, **k)
    def do_GET(self):
        targets = {"/to-http": "http://198.51.100.2:8080/list1.txt",
                   "/to-https": "https://198.51.100.2:8443/list3.txt"}
        if self.path in targets:
            self.send_response(302)
            self.send_header("Location", targets[self.path])
            self.end_headers()
        else:
            super().do_GET()
    def log_message(self, *a):
        pass
server = http.server.ThreadingHTTPServer(("198.51.100.2", 8443), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()' "$WORK/www" "$WORK/tls.pem" "$WORK/tls-key.pem" >/dev/null 2>&1 &
PIDS+=($!)
printf 'four.example\n' > "$WORK/www/list3.txt"
for _ in $(seq 50); do
  ip netns exec "$C" bash -c 'exec 3<>/dev/tcp/198.51.100.2/8443' 2>/dev/null && break
  sleep 0.1
done
update_tls() {  # update_tls SOURCES...: one source per argument, a cache of its own
  printf '%s\n' "$@" > "$WORK/etc/tls-sources.list"
  ip netns exec "$C" bash -c 'mount --bind "$1" /etc/ssl/certs/ca-certificates.crt && shift &&
    exec "$@"' - "$WORK/tls.pem" "$BIN" update --sources "$WORK/etc/tls-sources.list" \
    --rules "$RULES" --cache "$WORK/tls-cache" 2>"$WORK/update.err"
}
update_tls https://198.51.100.2:8443/list3.txt https://198.51.100.2:8443/to-https \
  && grep -q '"four.example"' "$RULES" \
  && pass "https lists, one redirected to another https address" \
  || fail "https: $(cat "$WORK/update.err")"
cp "$RULES" "$WORK/rules.before"
update_tls https://198.51.100.2:8443/list3.txt https://198.51.100.2:8443/to-http \
  && fail "an https list redirected to http was taken: $(cat "$RULES")" \
  || { grep -q "to-http failed (redirected to http://198.51.100.2:8080/list1.txt, which is not fetched" "$WORK/update.err" && cmp -s "$RULES" "$WORK/rules.before" \
    && pass "an https list redirected to http is refused, the rules file unchanged" \
    || fail "redirect to http: $(cat "$WORK/update.err")"; }

echo "$FAILURES failure(s)"
(( FAILURES == 0 ))
