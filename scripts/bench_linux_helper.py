#!/usr/bin/env python3
"""Helper of bench-linux.sh.
  serve PORT                      accept; "blast" -> stream zeros until closed; GET /bytes/N
                                  -> N bytes of body; POST -> its body read, a small response;
                                  another HTTP request -> a small response; else close
  sink PORT                       accept and close at once, as fast as one process can
  connect ADDR PORT COUNT         COUNT sequential connects: rate and connect latency p50/p99
  ceiling                         loops/s of plain arithmetic in 1 and in 2 processes at once
  pconnect ADDR PORT COUNT N [SOURCES]
                                  COUNT connects from N client processes at once, each closed
                                  with a reset (no TIME_WAIT): total rate, latency p50/p99;
                                  SOURCES (a,b,...): the local addresses the connects take in
                                  turn
  tls ADDR NAME COUNT             COUNT TLS handshakes on 443: handshake p50/p99
  blast ADDR PORT SECONDS         read one connection's stream: MB/s
  download ADDR NAME MB           one HTTP GET of MB megabytes on port 80: MB/s ("rate_mb_s=...")
  upload ADDR NAME MB             one HTTP POST of MB megabytes (Content-Length) on port 80
  http ADDR NAME COUNT            COUNT port-80 requests with Host NAME: connect to first
                                  response byte p50/p99
  dns ADDR NAME COUNT             COUNT sequential UDP queries for NAME's HTTPS record: answer
                                  latency p50/p99 ("p50_us=... p99_us=...")
"""
import json
import os
import socket
import ssl
import struct
import sys
import threading
import time


def round_medians(path):
    """The "LABEL VALUE" lines of a rounds file: each label's values in order, and their median."""
    import statistics
    rounds = {}
    for line in open(path):
        parts = line.split()
        if len(parts) == 2:
            rounds.setdefault(parts[0], []).append(float(parts[1]))
    return rounds, {label: statistics.median(values) for label, values in rounds.items()}


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p / 100))]


def dns(addr, name, count):
    question = b"".join(bytes([len(l)]) + l.encode() for l in name.split(".")) + b"\0"
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.settimeout(2)
    sock.connect((addr, 53))
    times, lost = [], 0
    for i in range(count):
        query = (i & 0xFFFF).to_bytes(2, "big") + b"\x01\x00\x00\x01\0\0\0\0\0\0" + question + b"\x00\x41\x00\x01"
        start = time.perf_counter()
        sock.send(query)
        try:
            sock.recv(4096)
        except OSError:
            lost += 1
            continue
        times.append((time.perf_counter() - start) * 1e6)
    print(f"p50_us={pct(times, 50):.0f} p99_us={pct(times, 99):.0f} lost={lost}")


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
            elif first.startswith(b"GET /bytes/"):
                size = int(first.split(b" ")[1][len(b"/bytes/"):])
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % size)
                send_zeros(conn, size)
            elif first.startswith(b"POST "):
                conn.settimeout(30)
                while b"\r\n\r\n" not in first:
                    first += conn.recv(65536)
                head, body = first.split(b"\r\n\r\n", 1)
                length = next(int(line.split(b":", 1)[1]) for line in head.split(b"\r\n")
                              if line.lower().startswith(b"content-length:"))
                left = length - len(body)
                buffer = bytearray(1 << 20)
                while left > 0:
                    n = conn.recv_into(buffer)
                    if n == 0:
                        return
                    left -= n
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
            elif first.startswith(b"GET "):
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")
        except OSError:
            pass
        finally:
            conn.close()

    while True:
        conn, _ = listener.accept()
        threading.Thread(target=handle, args=(conn,), daemon=True).start()


def send_zeros(conn, size):
    chunk = bytes(1 << 20)
    view = memoryview(chunk)
    while size > 0:
        n = min(size, len(chunk))
        conn.sendall(view[:n])
        size -= n


def transfer(address, name, megabytes, upload):
    """One request on a fresh port-80 connection, timed from connect to the last byte."""
    size = megabytes * 1000 * 1000
    start = time.monotonic()
    s = socket.create_connection((address, 80), timeout=30)
    if upload:
        s.sendall(f"POST /upload HTTP/1.1\r\nHost: {name}\r\nContent-Length: {size}\r\n\r\n"
                  .encode())
        send_zeros(s, size)
    else:
        s.sendall(f"GET /bytes/{size} HTTP/1.1\r\nHost: {name}\r\n\r\n".encode())
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(65536)
        if not chunk:
            raise SystemExit("connection closed before the response")
        head += chunk
    if not upload:
        received = len(head.split(b"\r\n\r\n", 1)[1])
        buffer = bytearray(1 << 20)
        while received < size:
            n = s.recv_into(buffer)
            if n == 0:
                raise SystemExit("connection closed early")
            received += n
    elapsed = time.monotonic() - start
    s.close()
    print(f"rate_mb_s={size / elapsed / 1e6:.0f} seconds={elapsed:.2f}")


def sink(port):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("0.0.0.0", port))
    listener.listen(4096)
    while True:
        conn, _ = listener.accept()
        conn.close()


def pconnect(address, port, count, clients, sources=()):
    per_client = max(1, count // clients)
    start_at = time.monotonic() + 0.3
    readers = []
    for index in range(clients):
        read_end, write_end = os.pipe()
        if os.fork() == 0:
            os.close(read_end)
            latencies = []
            linger = struct.pack("ii", 1, 0)
            while time.monotonic() < start_at:
                pass
            begin = time.monotonic()
            for n in range(per_client):
                s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, linger)
                if sources:
                    s.setsockopt(socket.IPPROTO_IP, 24, 1)  # IP_BIND_ADDRESS_NO_PORT
                    s.bind((sources[(n * clients + index) % len(sources)], 0))
                s.settimeout(5)
                t = time.monotonic()
                try:
                    s.connect((address, port))
                    latencies.append(time.monotonic() - t)
                except OSError:
                    pass
                s.close()
            end = time.monotonic()
            os.write(write_end, json.dumps([begin, end, latencies]).encode())
            os._exit(0)
        os.close(write_end)
        readers.append(read_end)
    results = []
    for fd in readers:
        chunks = []
        while True:
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                break
            chunks.append(chunk)
        os.close(fd)
        results.append(json.loads(b"".join(chunks)))
    for _ in readers:
        os.wait()
    begin = min(r[0] for r in results)
    end = max(r[1] for r in results)
    latencies = [l * 1e6 for r in results for l in r[2]]
    failed = per_client * clients - len(latencies)
    print(f"{len(latencies) / (end - begin):.0f} conn/s  connect p50 {pct(latencies, 50):.0f} us"
          f"  p99 {pct(latencies, 99):.0f} us" + (f"  ({failed} failed)" if failed else ""))


def ceiling():
    def spin(seconds, write_end):
        x, loops, end = 1, 0, time.monotonic() + seconds
        while time.monotonic() < end:
            for _ in range(1000):
                x = (x * 6364136223846793005 + 1442695040888963407) & 0xFFFFFFFFFFFFFFFF
            loops += 1
        os.write(write_end, str(loops).encode())
        os._exit(0)

    def run(processes):
        readers = []
        for _ in range(processes):
            read_end, write_end = os.pipe()
            if os.fork() == 0:
                spin(0.5, write_end)
            os.close(write_end)
            readers.append(read_end)
        total = sum(int(os.read(fd, 64)) for fd in readers)
        for fd in readers:
            os.close(fd)
            os.wait()
        return total

    one, two = run(1), run(2)
    print(f"{two / one:.2f}")


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
    elif mode == "ceiling":
        ceiling()
    elif mode == "sink":
        sink(int(sys.argv[2]))
    elif mode == "pconnect":
        pconnect(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]),
                 tuple(sys.argv[6].split(",")) if len(sys.argv) > 6 else ())
    elif mode == "connect":
        connect(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    elif mode == "tls":
        tls(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif mode == "http":
        http(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif mode == "dns":
        dns(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif mode in ("download", "upload"):
        transfer(sys.argv[2], sys.argv[3], int(sys.argv[4]), mode == "upload")
    elif mode == "blast":
        blast(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]))
