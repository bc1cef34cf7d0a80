# Headless Chromium in the client namespace, for the e2e scripts. Needs $C (the namespace),
# $WORK (a scratch directory; the caller's cleanup kills the PID left in $WORK/chromium.pid) and
# $HERE (tests/e2e, for netlog_outcome.py).
#   chromium_page URL WANT_TEXT TENTHS [chromium flags...]
# prints "ok MS PROTOCOL", "fail MS ERROR PROTOCOL" (MS: the page request's lifetime, from the
# net log) or "timeout" when Chromium has not ended after TENTHS tenths of a second.
chromium_page() {
  local url=$1 want=$2 tenths=$3; shift 3
  local profile; profile=$(mktemp -d "$WORK/chromium.XXXXXX")
  # A PID namespace of its own that ends when unshare ends (--kill-child): every Chromium
  # process dies with that one PID.
  ip netns exec "$C" unshare --pid --fork --kill-child --mount-proc \
    chromium --no-sandbox --disable-gpu --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$profile" --ignore-certificate-errors \
    --log-net-log="$profile/netlog.json" --timeout=15000 "$@" --dump-dom "$url" \
    >"$profile/dom" 2>"$profile/stderr" &
  local pid=$!
  echo "$pid" > "$WORK/chromium.pid"
  for _ in $(seq "$tenths"); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"; wait "$pid" 2>/dev/null; : > "$WORK/chromium.pid"
    echo timeout; return
  fi
  wait "$pid"; : > "$WORK/chromium.pid"
  local timing; timing=$(python3 "$HERE/netlog_outcome.py" "$profile/netlog.json" "$url")
  if grep -qF -- "$want" "$profile/dom"; then echo "ok $timing"; else echo "fail $timing"; fi
}
