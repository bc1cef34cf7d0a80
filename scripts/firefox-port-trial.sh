#!/usr/bin/env bash
# Firefox against HTTPS records that send it to port 8443, through the daemon. A DNS server of the
# test's own publishes, for www.blocked.example and www.allowed.test, an address and an HTTPS
# record with port=8443; a TLS server on 443 and 8443 logs each ClientHello's port and name.
# Headless Firefox (its own resolver, DNS over HTTPS off) visits both names. The blocked name must
# reach neither port; the allowed one must reach 8443, which shows Firefox follows the parameter.
# Root; namespaces of its own (tests/support/netns_pair.sh), removed at the end. Firefox is not
# among the packages the build or the tests need (Debian: firefox-esr).
#   scripts/firefox-port-trial.sh [path/to/quillnest-filter]
#   NOFILTER=1: no daemon (the blocked name then reaches 8443)
set -uo pipefail
BIN=${1:-$(dirname "$0")/../build/release/app/quillnest-filter}
BIN=$(realpath -m "$BIN")
cd "$(dirname "$0")/.."
[[ $(id -u) == 0 ]] || { echo "needs root (network namespaces)" >&2; exit 1; }
command -v firefox >/dev/null || { echo "firefox is not installed (Debian: firefox-esr)" >&2; exit 1; }
[[ -n ${NOFILTER:-} || -x $BIN ]] || { echo "no daemon at $BIN" >&2; exit 1; }

C=qffc-$$ S=qffs-$$ FAILURES=0 PIDS=()
WORK=$(mktemp -d /tmp/firefox-port-trial.XXXX)
chmod 755 "$WORK"
source tests/support/netns_pair.sh  # namespaces, start_daemon, cleanup on exit

record='{"priority": 1, "target": ".", "params": [[1, "08687474702f312e31"], [3, "20fb"]]}'
cat >"$WORK/zone.json" <<ZONE
{
  "www.blocked.example A": ["198.51.100.2"],
  "www.blocked.example HTTPS": [$record],
  "www.allowed.test A": ["198.51.100.2"],
  "www.allowed.test HTTPS": [$record]
}
ZONE
serve_dns "$WORK/zone.json"
touch "$WORK/hellos.log"
ip netns exec "$S" python3 - "$WORK/cert.pem" "$WORK/key.pem" "$WORK/hellos.log" <<'PY' &
import socket, ssl, sys, threading
cert, key, log = sys.argv[1:4]
def serve(port):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    def hello(sock, name, _):
        with open(log, "a") as f:
            f.write(f"{port} {name}\n")
    context.sni_callback = hello
    server = socket.create_server(("198.51.100.2", port))
    while True:
        connection, _ = server.accept()
        def handshake(connection=connection):
            try:
                context.wrap_socket(connection, server_side=True).recv(1)
            except Exception:
                pass
            finally:
                connection.close()
        threading.Thread(target=handshake, daemon=True).start()
for port in (443, 8443):
    threading.Thread(target=serve, args=(port,), daemon=True).start()
threading.Event().wait()
PY
PIDS+=($!)
for _ in $(seq 50); do
  ip netns exec "$S" ss -ltn | grep -q ':8443 ' && ip netns exec "$S" ss -lun | grep -q ':53 ' && break
  sleep 0.1
done

mkdir -p "$WORK/profile"
cat >"$WORK/profile/user.js" <<'JS'
user_pref("network.trr.mode", 5);
user_pref("network.dns.native_https_query", true);
user_pref("network.dns.disableIPv6", true);
user_pref("network.proxy.type", 0);
user_pref("network.captive-portal-service.enabled", false);
user_pref("network.connectivity-service.enabled", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("app.update.enabled", false);
JS
if [[ -z ${NOFILTER:-} ]]; then
  printf '{"isEnabled": true, "domains": ["blocked.example"]}\n' >"$WORK/rules.json"
  chmod 0644 "$WORK/rules.json"
  start_daemon "$WORK/daemon.log" "$WORK/rules.json"
fi
# The certificate is not trusted, so no page loads: each visit ends at its time limit, and the
# server's log says where its ClientHellos went.
for name in www.allowed.test www.blocked.example; do
  HOME=$WORK timeout 20 ip netns exec "$C" firefox --headless --no-remote --profile "$WORK/profile" \
    --screenshot "$WORK/shot.png" "https://$name/" >>"$WORK/firefox.log" 2>&1
done
echo "ClientHellos the server received (port, name):"
sort "$WORK/hellos.log" | uniq -c
grep -q '^8443 www.allowed.test$' "$WORK/hellos.log" && pass "Firefox followed the record to 8443" \
  || fail "Firefox never went to 8443 for the allowed name: the trial shows nothing"
if [[ -z ${NOFILTER:-} ]]; then
  grep -q ' www.blocked.example$' "$WORK/hellos.log" \
    && fail "a ClientHello for the blocked name reached the server" \
    || pass "no ClientHello for the blocked name reached the server"
  ip netns exec "$C" "$BIN" status --socket "$WORK/run/control.sock" | grep "HTTPS record ports"
fi
exit $((FAILURES > 0))
