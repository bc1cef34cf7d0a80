#!/usr/bin/env python3
"""udp_probe.py serve PORT...   echo server on each port (both families) until killed
   udp_probe.py ask ADDRESS PORT  send one datagram, print "answer" or "silence" (1 s bound)"""
import select
import socket
import sys


def serve(ports):
    socks = []
    for port in ports:
        sock = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
        sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        sock.bind(("::", port))
        socks.append(sock)
    while True:
        ready, _, _ = select.select(socks, [], [], 1.0)
        for sock in ready:
            data, peer = sock.recvfrom(2048)
            sock.sendto(data, peer)


def ask(address, port):
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_DGRAM)
    sock.settimeout(1.0)
    answered = False
    # Three tries: the first datagram of a flow waits for the filter's verdict.
    for _ in range(3):
        sock.sendto(b"\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", (address, port))
        try:
            sock.recvfrom(2048)
            answered = True
            break
        except socket.timeout:
            pass
    print("answer" if answered else "silence")


if __name__ == "__main__":
    if sys.argv[1] == "serve":
        serve([int(p) for p in sys.argv[2:]])
    else:
        ask(sys.argv[2], int(sys.argv[3]))
