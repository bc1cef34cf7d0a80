#!/usr/bin/env bash
# Real web servers with virtual hosts behind the daemon: each request of tests/e2e/odd_requests.txt
# (blocked.example written in ways some server may still take: odd Host values, framing, requests
# after an Upgrade or a body) goes to nginx, Caddy, Apache, lighttpd and h2o in turn, each serving
# "BLOCKED SITE" for blocked.example, and every answer that holds it is printed: a request the
# daemon let through to the blocked site. HTTP/2 without TLS too (curl with a Host, which it
# sends as :authority, to nginx-h2, nginx with HTTP/2 alone on port 80, and to h2o).
# Root; namespaces of its own (tests/support/netns_pair.sh), removed at the end. Servers that
# are not installed are skipped (Debian: nginx-light caddy apache2 lighttpd h2o; not needed by
# the build or the tests).
#   scripts/web-server-trial.sh [path/to/quillnest-filter] [server...]
#   NOFILTER=1: no daemon (what the servers themselves take); ALL=1: print every answer
set -uo pipefail
BIN=${1:-$(dirname "$0")/../build/release/app/quillnest-filter}
BIN=$(realpath -m "$BIN")
shift || true
cd "$(dirname "$0")/.."
SERVERS=${*:-nginx nginx-h2 caddy apache lighttpd h2o}
REQUESTS=$PWD/tests/e2e/odd_requests.txt
[[ $(id -u) == 0 ]] || { echo "needs root (network namespaces)" >&2; exit 1; }
[[ -n ${NOFILTER:-} || -x $BIN ]] || { echo "no daemon at $BIN" >&2; exit 1; }

C=qwc-$$ S=qws-$$ FAILURES=0 PIDS=()
WORK=$(mktemp -d /tmp/web-server-trial.XXXX)
chmod 755 "$WORK"
source tests/support/netns_pair.sh  # namespaces, start_daemon, cleanup on exit
# Servers leave workers of their own behind: everything in the server's namespace goes first.
trap 'ip netns pids "$S" 2>/dev/null | xargs -r kill -9 2>/dev/null; cleanup' EXIT

# nginx hands its temporary directories to its workers' user: not the rules file's directory.
for dir in blocked allowed default tmp rules; do mkdir -p "$WORK/$dir"; done
echo "BLOCKED SITE" >"$WORK/blocked/index.html"
echo "allowed site" >"$WORK/allowed/index.html"
echo "default site" >"$WORK/default/index.html"
chmod -R a+rX "$WORK"
write_configs() {
  local vhosts='' site
  for site in default blocked allowed; do
    local listen="listen 80${1:-}" name=$site.example
    [[ $site == default ]] && listen+=" default_server" && name=_
    vhosts+="  server { $listen; server_name $name; root $WORK/$site; }
"
  done
  cat >"$WORK/nginx$2.conf" <<EOF
daemon off;
pid $WORK/nginx$2.pid;
error_log $WORK/nginx-error.log;
events {}
http {
  access_log off;
  client_body_temp_path $WORK/tmp; proxy_temp_path $WORK/tmp; fastcgi_temp_path $WORK/tmp;
  uwsgi_temp_path $WORK/tmp; scgi_temp_path $WORK/tmp;
$vhosts}
EOF
}
write_configs "" ""
write_configs " http2" "-h2"
cat >"$WORK/Caddyfile" <<EOF
{
	admin off
	auto_https off
}
http://blocked.example:80 {
	root * $WORK/blocked
	file_server
}
http://allowed.example:80 {
	root * $WORK/allowed
	file_server
}
http://:80 {
	root * $WORK/default
	file_server
}
EOF
cat >"$WORK/apache.conf" <<EOF
ServerRoot $WORK
ServerName default.invalid
Listen 80
PidFile $WORK/apache.pid
ErrorLog $WORK/apache-error.log
LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so
LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so
LoadModule dir_module /usr/lib/apache2/modules/mod_dir.so
User www-data
Group www-data
DirectoryIndex index.html
<Directory $WORK>
  Require all granted
</Directory>
<VirtualHost *:80>
  ServerName default.invalid
  DocumentRoot $WORK/default
</VirtualHost>
<VirtualHost *:80>
  ServerName blocked.example
  DocumentRoot $WORK/blocked
</VirtualHost>
<VirtualHost *:80>
  ServerName allowed.example
  DocumentRoot $WORK/allowed
</VirtualHost>
EOF
cat >"$WORK/lighttpd.conf" <<EOF
server.document-root = "$WORK/default"
server.port = 80
server.errorlog = "$WORK/lighttpd-error.log"
index-file.names = ("index.html")
\$HTTP["host"] == "blocked.example" { server.document-root = "$WORK/blocked" }
\$HTTP["host"] == "allowed.example" { server.document-root = "$WORK/allowed" }
EOF
cat >"$WORK/h2o.conf" <<EOF
listen: 80
error-log: $WORK/h2o-error.log
hosts:
  "default.invalid:80": {paths: {/: {file.dir: $WORK/default}}}
  "blocked.example:80": {paths: {/: {file.dir: $WORK/blocked}}}
  "allowed.example:80": {paths: {/: {file.dir: $WORK/allowed}}}
EOF

if [[ -z ${NOFILTER:-} ]]; then
  printf '{"isEnabled": true, "domains": ["blocked.example"]}\n' >"$WORK/rules/rules.json"
  chmod 644 "$WORK/rules/rules.json"
  start_daemon "$WORK/daemon.log" "$WORK/rules/rules.json"
fi

# One request, raw; prints the first status line and "BLOCKED SITE" if any answer held it.
ask() {
  ip netns exec "$C" timeout 10 python3 -c '
import socket, sys
try:
    s = socket.create_connection(("198.51.100.2", 80), timeout=5)
    s.sendall(sys.argv[1].encode().decode("unicode_escape").encode("latin1"))
    data = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    status = data.split(b"\r\n")[0].decode("latin1")
    print(status, "|", "BLOCKED SITE" if b"BLOCKED SITE" in data else "-")
except OSError as e:
    print("error:", e.strerror or e)
' "$1"
}

start_server() {
  local program=$1 args=()
  case $1 in
    nginx) args=(-c "$WORK/nginx.conf") ;;
    nginx-h2) program=nginx args=(-c "$WORK/nginx-h2.conf") ;;
    caddy) args=(run --adapter caddyfile --config "$WORK/Caddyfile") ;;
    apache) program=apache2 args=(-f "$WORK/apache.conf" -DFOREGROUND) ;;
    lighttpd) args=(-D -f "$WORK/lighttpd.conf") ;;
    h2o) args=(-c "$WORK/h2o.conf") ;;
    *) return 1 ;;
  esac
  command -v "$program" >/dev/null || return 1
  ip netns exec "$S" env HOME="$WORK" XDG_DATA_HOME="$WORK" XDG_CONFIG_HOME="$WORK" \
    "$program" "${args[@]}" >"$WORK/$1.log" 2>&1 &
  PIDS+=($!)
  for _ in $(seq 50); do
    ip netns exec "$S" ss -ltn | grep -q ':80 ' && return 0
    sleep 0.1
  done
  return 1
}

through=0 asked=0
# tally WHAT ANSWER: counts the answer, and prints it when it came from the blocked site.
tally() {
  asked=$((asked + 1))
  [[ $2 == *BLOCKED* ]] && through=$((through + 1))
  [[ -n ${ALL:-} || $2 == *BLOCKED* ]] && printf '%s\n    %s\n' "$1" "${2:-no answer}"
  return 0
}
for server in $SERVERS; do
  if ! start_server "$server"; then
    echo "== $server: not installed or did not start (skipped)"
    continue
  fi
  echo "== $server"
  while [[ $server != nginx-h2 ]] && IFS= read -r request; do
    [[ -z $request || $request == \#* ]] && continue
    tally "$request" "$(ask "$request")"
  done <"$REQUESTS"
  if [[ $server == h2o || $server == nginx-h2 ]] && command -v curl >/dev/null; then
    for host in blocked.example blocked.example:http '[blocked.example]' blocked.example/x \
      BLOCKED.EXAMPLE. blocked.example:80:80; do
      tally "HTTP/2 :authority $host" "$(ip netns exec "$C" curl -s --max-time 5 \
        --http2-prior-knowledge -H "Host: $host" http://198.51.100.2/ 2>&1)"
    done
  fi
  ip netns pids "$S" | xargs -r kill 2>/dev/null
  sleep 0.7
  ip netns pids "$S" | xargs -r kill -9 2>/dev/null
done
if [[ -z ${NOFILTER:-} ]] && grep -q "blocking is off" "$WORK/daemon.log"; then
  echo "the daemon turned blocking off during the run:" >&2
  cat "$WORK/daemon.log" >&2
  exit 1
fi
echo "$asked requests, $through reached the blocked site"
[[ -n ${NOFILTER:-} || $through == 0 ]]
