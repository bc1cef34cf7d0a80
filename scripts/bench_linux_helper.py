#!/usr/bin/env python3
"""Helper of bench-linux.sh.
  serve PORT                      accept; "blast" -> stream zeros until closed; an HTTP request
                                  -> a small response; else close
  connect ADDR PORT COUNT         COUNT sequential connects: rate and connect latency p50/p99
  tls ADDR NAME COUNT             COUNT TLS handshakes on 443: handshake p50/p99
  blast ADDR PORT SECONDS         read one connection's stream: MB/s
  http ADDR NAME COUNT            COUNT port-80 requests with Host NAME: connect to first
                                  response byte p50/p99
"""
import socket
import ssl
import sys
import threading
import time


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p / 100))]


def serve(port):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("0.0.0.0", port))
    listener.listen(1024)

    def handle(conn):
        conn.settimeout(2)
        try:
            first = conn.recv(4096)
            if first.startswith(b"blast"):
                chunk = bytes(256 * 1024)
                while True:
                    conn.sendall(chunk)
            elif first.startswith(b"GET "):
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")
        except OSError:
            pass
        finally:
            conn.close()

    while True:
        conn, _ = listener.accept()
        threading.Thread(target=handle, args=(conn,), daemon=True).start()


def connect(address, port, count):
    latencies = []
    start = time.monotonic()
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(5)
        t = time.monotonic()
        s.connect((address, port))
        latencies.append((time.monotonic() - t) * 1e6)
        s.close()
    elapsed = time.monotonic() - start
    print(f"{count / elapsed:.0f} conn/s  connect p50 {pct(latencies, 50):.0f} us"
          f"  p99 {pct(latencies, 99):.0f} us")


def tls(address, name, count):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    latencies = []
    for _ in range(count):
        s = socket.create_connection((address, 443), timeout=5)
        t = time.monotonic()
        tls_socket = context.wrap_socket(s, server_hostname=name)
        latencies.append((time.monotonic() - t) * 1e6)
        tls_socket.close()
    print(f"TLS handshake p50 {pct(latencies, 50):.0f} us  p99 {pct(latencies, 99):.0f} us")


def http(address, name, count):
    request = f"GET / HTTP/1.1\r\nHost: {name}\r\nUser-Agent: bench\r\n\r\n".encode()
    latencies = []
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(5)
        t = time.monotonic()
        s.connect((address, 80))
        s.sendall(request)
        if not s.recv(1):
            raise SystemExit("no response")
        latencies.append((time.monotonic() - t) * 1e6)
        s.close()
    print(f"connect to first byte p50 {pct(latencies, 50):.0f} us  p99 {pct(latencies, 99):.0f} us")


def blast(address, port, seconds):
    s = socket.create_connection((address, port), timeout=5)
    s.sendall(b"blast\n")
    total = 0
    end = time.monotonic() + seconds
    buffer = bytearray(1 << 20)
    while time.monotonic() < end:
        n = s.recv_into(buffer)
        if n == 0:
            break
        total += n
    s.close()
    print(f"one connection: {total / seconds / 1e6:.0f} MB/s")


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "serve":
        serve(int(sys.argv[2]))
    elif mode == "connect":
        connect(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    elif mode == "tls":
        tls(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif mode == "http":
        http(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif mode == "blast":
        blast(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]))
