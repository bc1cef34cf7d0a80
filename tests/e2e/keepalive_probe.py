#!/usr/bin/env python3
"""An open, idle TLS connection across a rules change.

  keepalive_probe.py ADDRESS NAME RULES NEWRULES PID

Completes a handshake with NAME as the server name, writes NEWRULES over RULES, sends SIGHUP to
PID, then waits at most 3 s, sending nothing, for the connection to end. Prints "reset MS" when the connection ends by a reset (MS
counted from the rules file's replacement), "closed MS" when it ends by the server's FIN,
"timeout" when it still stands after 3 s, "nohandshake ERROR" when it never opened. The TLS
layer reports a reset as an unexpected end of stream, so the kernel's TCP state decides: CLOSE
after a reset, CLOSE_WAIT after a FIN.
"""
import os
import select
import struct
import signal
import socket
import ssl
import sys
import time


TCP_CLOSE, TCP_CLOSE_WAIT = 7, 8


def ended(tls, start):
    state = struct.unpack("B", tls.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1))[0]
    kind = {TCP_CLOSE: "reset", TCP_CLOSE_WAIT: "closed"}.get(state, "state%d" % state)
    return "%s %d" % (kind, (time.monotonic() - start) * 1000)


def main():
    address, name, rules, new_rules, pid = sys.argv[1:6]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    try:
        raw = socket.create_connection((address, 443), timeout=5)
        tls = context.wrap_socket(raw, server_hostname=name)
    except OSError as error:
        print("nohandshake", type(error).__name__)
        return
    with open(new_rules, "rb") as new, open(rules + ".tmp", "wb") as out:
        out.write(new.read())
    # The daemon may see the new file by itself (inotify) before the SIGHUP.
    start = time.monotonic()
    os.replace(rules + ".tmp", rules)
    os.kill(int(pid), signal.SIGHUP)
    tls.settimeout(1)
    for _ in range(60):
        try:
            readable, _, _ = select.select([tls], [], [], 0.05)
            if readable and not tls.recv(1):
                print(ended(tls, start))
                return
        except (OSError, ssl.SSLError):
            print(ended(tls, start))
            return
    print("timeout")


if __name__ == "__main__":
    main()
