#!/usr/bin/env python3
"""Reads a Chromium net log (--log-net-log) and prints what became of the request for URL:
"MS PROTOCOL" when it succeeded or "MS ERR_NAME PROTOCOL" when it failed, MS being the
request's lifetime in milliseconds and PROTOCOL "h2" when an HTTP/2 session was opened, "quic"
when a QUIC session was, "http/1.1" when response headers came otherwise, else "none"; "? ERR_NO_LOG" or "? ERR_NO_REQUEST" when the log does
not tell.

  netlog_outcome.py NETLOG URL
"""
import json
import sys


def main():
    path, url = sys.argv[1], sys.argv[2]
    try:
        with open(path) as f:
            text = f.read()
        # A log cut short by a killed browser lacks its closing brackets.
        try:
            log = json.loads(text)
        except json.JSONDecodeError:
            log = json.loads(text.rstrip().rstrip(",") + "]}")
    except (OSError, ValueError):
        print("? ERR_NO_LOG")
        return
    constants = log.get("constants", {})
    types = {v: k for k, v in constants.get("logEventTypes", {}).items()}
    errors = {v: k for k, v in constants.get("netError", {}).items()}
    events = log.get("events", [])
    seen = {types.get(event.get("type")) for event in events}
    if "HTTP2_SESSION" in seen:
        protocol = "h2"
    elif "QUIC_SESSION" in seen:
        protocol = "quic"
    elif "HTTP_TRANSACTION_READ_RESPONSE_HEADERS" in seen:
        protocol = "http/1.1"
    else:
        protocol = "none"
    started = {}
    for event in events:
        if types.get(event.get("type")) != "REQUEST_ALIVE":
            continue
        source = event.get("source", {}).get("id")
        params = event.get("params") or {}
        time = int(event.get("time", "0"))
        if event.get("phase") == 1 and params.get("url") == url:
            started[source] = time
        elif event.get("phase") == 2 and source in started:
            line = str(time - started[source])
            error = params.get("net_error")
            if error:
                line += " " + errors.get(error, "ERR_" + str(error))
            print(line, protocol)
            return
    print("? ERR_NO_REQUEST")


if __name__ == "__main__":
    main()
