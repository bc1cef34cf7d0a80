#!/usr/bin/env python3
"""Servers and clients of the reliability end-to-end tests (reliability_test.sh).

Every wait is bounded; every client prints one line (a word or a JSON object) for the script.

Servers (server namespace):
  sni-server LOG ADDRESS...      TLS on 443 at each address; appends "PORT NAME" to LOG for
                                 every ClientHello it reads (the name as the server saw it), then
                                 finishes the handshake and answers "ok"; plain HTTP on 80 too,
                                 "PORT HOST" for every request head, answered, kept alive
  sink ADDRESS                   plain TCP on 443 for many connections: answers one byte 0x16 once
                                 a whole TLS record has come, keeps silent before that

Clients (client namespace):
  split ADDRESS NAME LOG STRIDE SECONDS
        ClientHello cut in two TCP segments at every STRIDE-th byte boundary
  plan ADDRESS NAME LOG PLAN     one connection written as PLAN says: "records:N" (TLS records of
        N bytes), "silent:S" (nothing for S seconds, then the hello), "pause:K:S" (K bytes, S
        seconds, the rest)
  craft SCENARIO LOG             hand-made segments from a raw socket (IPv4, ports 40000-40999)
  rate ADDRESS NAME SECONDS PARALLEL
        TLS ClientHellos to the sink as fast as PARALLEL workers can: rate, latency p50/p99
  loop ADDRESS NAME SECONDS [STOP]
        full TLS connections one after another until SECONDS pass or the file STOP exists;
        counts failures
  hold ADDRESS COUNT SECONDS     COUNT connections that send a 5-byte record header and no more,
        kept open SECONDS
  syn-flood ADDRESS COUNT SECONDS
        COUNT SYNs to ADDRESS:443 from a raw socket, as fast as they go
  mix ADDRESS SECONDS OUT        connections to a.example and b.example in turn; one line each
        "time name outcome" in OUT
"""
import contextlib
import json
import os
import random
import selectors
import socket
import ssl
import struct
import sys
import threading
import time

from tls_probe import client_hello, ipv4_tcp, recut  # ClientHello, TCP/IPv4 packets, records

# ----------------------------------------------------------------------------------------------
# Shared pieces


def pct(values, p):
    if not values:
        return 0
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p / 100))]


def connect(address, port=443, timeout=5):
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sock.connect((address, port))
    return sock


def outcome(sock, timeout=3):
    """allowed: the server answered with a handshake record; reset: the filter ended it."""
    sock.settimeout(timeout)
    try:
        data = sock.recv(5)
    except (ConnectionResetError, ConnectionAbortedError, BrokenPipeError):
        return "reset"
    except socket.timeout:
        return "timeout"
    except OSError:
        return "reset"
    if data[:1] == b"\x16":
        return "allowed"
    return "closed" if not data else "other"


def log_size(log):
    try:
        return os.path.getsize(log)
    except OSError:
        return 0


def seen_names(log, since):
    """PORT -> names the server read, from the sni-server's log past byte since."""
    names = {}
    try:
        with open(log) as f:
            f.seek(since)
            for line in f:
                parts = line.split(" ", 1)
                if len(parts) == 2:
                    names.setdefault(int(parts[0]), []).append(parts[1].rstrip("\n"))
    except FileNotFoundError:
        pass
    return names


def wait_seen(log, port, since, seconds=1.0):
    end = time.monotonic() + seconds
    while True:
        names = seen_names(log, since).get(port)
        if names or time.monotonic() >= end:
            return names or []
        time.sleep(0.02)


# ----------------------------------------------------------------------------------------------
# Servers


def sni_server(log, addresses):
    cert_dir = os.path.dirname(os.path.abspath(log))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(cert_dir, "cert.pem"), os.path.join(cert_dir, "key.pem"))
    lock = threading.Lock()
    out = open(log, "a", buffering=1)

    def on_name(tls, name, _context):
        try:
            port = tls.getpeername()[1]
        except OSError:
            return None
        with lock:
            out.write(f"{port} {name if name is not None else '-'}\n")
        return None

    context.sni_callback = on_name

    def handle(conn):
        conn.settimeout(5)
        try:
            tls = context.wrap_socket(conn, server_side=True)
            tls.sendall(b"ok\n")
            tls.recv(1)
            tls.close()
        except (OSError, ssl.SSLError):
            pass
        finally:
            conn.close()

    def handle_http(conn):
        conn.settimeout(10)
        data = b""
        try:
            port = conn.getpeername()[1]
            while True:
                while b"\r\n\r\n" not in data:
                    chunk = conn.recv(4096)
                    if not chunk:
                        return
                    data += chunk
                head, _, data = data.partition(b"\r\n\r\n")
                host = "-"
                for line in head.split(b"\r\n")[1:]:
                    name, _, value = line.partition(b":")
                    if name.strip().lower() == b"host":
                        host = value.strip().decode("latin-1")
                with lock:
                    out.write(f"{port} {host}\n")
                body = (b"x" * 200000 if head.startswith(b"GET /big ") else
                        b"x" * 2000000 if head.startswith(b"GET /long ") else b"ok")
                if head.startswith(b"GET /stall "):
                    time.sleep(3)  # a slow answer: nothing more is read meanwhile
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
        except OSError:
            pass
        finally:
            conn.close()

    def listen(address, port=443, handler=handle):
        family = socket.AF_INET6 if ":" in address else socket.AF_INET
        listener = socket.socket(family, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((address, port))
        listener.listen(1024)
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=handler, args=(conn,), daemon=True).start()

    threads = [threading.Thread(target=listen, args=(a,), daemon=True) for a in addresses]
    threads += [threading.Thread(target=listen, args=(a, 80, handle_http), daemon=True)
                for a in addresses]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def sink(address):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, 443))
    listener.listen(4096)
    listener.setblocking(False)
    selector = selectors.DefaultSelector()
    selector.register(listener, selectors.EVENT_READ)
    pending = {}  # connection -> bytes read before the first record was complete
    while True:
        for key, _ in selector.select():
            if key.fileobj is listener:
                try:
                    conn, _ = listener.accept()
                except OSError:
                    continue
                conn.setblocking(False)
                pending[conn] = bytearray()
                selector.register(conn, selectors.EVENT_READ)
                continue
            conn = key.fileobj
            try:
                data = conn.recv(65536)
            except OSError:
                data = b""
            if not data:
                selector.unregister(conn)
                pending.pop(conn, None)
                conn.close()
                continue
            buffer = pending.get(conn)
            if buffer is None:
                continue  # answered already
            buffer += data
            if len(buffer) >= 5 and len(buffer) >= 5 + int.from_bytes(buffer[3:5], "big"):
                try:
                    conn.send(b"\x16")
                except OSError:
                    pass
                pending[conn] = None


# ----------------------------------------------------------------------------------------------
# Kernel-socket clients


def run_pieces(address, pieces, log):
    """pieces: list of bytes or float (a pause in seconds). Returns (outcome, names seen)."""
    since = log_size(log)
    try:
        sock = connect(address)
    except (OSError, socket.timeout):
        return "connect-failed", []
    port = sock.getsockname()[1]
    result = None
    try:
        for piece in pieces:
            if isinstance(piece, float):
                time.sleep(piece)
            else:
                sock.sendall(piece)
                time.sleep(0.001)  # one write, one segment
    except (ConnectionResetError, ConnectionAbortedError, BrokenPipeError):
        result = "reset"
    except OSError:
        result = "reset"
    if result is None:
        result = outcome(sock)
    sock.close()
    names = wait_seen(log, port, since, 0.5 if result == "allowed" else 0.01)
    return result, names


def split(address, name, log, stride, seconds):
    hello = client_hello(name)
    want = "reset" if "blocked" in name else "allowed"
    counts = {}
    wrong = []
    end = time.monotonic() + seconds
    tried = 0
    since = log_size(log)
    for k in range(1, len(hello), stride):
        if time.monotonic() > end:
            break
        result, names = run_pieces(address, [hello[:k], hello[k:]], log)
        tried += 1
        counts[result] = counts.get(result, 0) + 1
        # What passed must be what was judged: a blocked name never reaches the server.
        leaked = [n for n in names if "blocked" in n.lower()]
        if result != want or leaked or (want == "allowed" and names != [name]):
            wrong.append({"split": k, "outcome": result, "serverSaw": names})
    # A late look at everything the server read meanwhile: no blocked name, whatever the timing.
    time.sleep(0.3)
    for port, names in seen_names(log, since).items():
        if any("blocked" in n.lower() for n in names):
            wrong.append({"port": port, "serverSaw": names})
    print(json.dumps({"helloBytes": len(hello), "boundaries": tried, "outcomes": counts,
                      "wrong": wrong[:10], "wrongCount": len(wrong)}))


def padded(hello, size, suites=0):
    """The one-record ClientHello with an extension of size bytes first among its extensions (a
    GREASE type, RFC 8701, which servers ignore) and as many more GREASE cipher suites first
    among its suites, cut into records of 16,384 bytes: a server takes a hello that long."""
    body = bytearray(hello[5:])
    at = 38
    at += 1 + body[at]  # session id
    length = int.from_bytes(body[at:at + 2], "big")
    body[at:at + 2] = (length + 2 * suites).to_bytes(2, "big")
    body[at + 2:at + 2] = b"\x2a\x2a" * suites
    at += 2 + length + 2 * suites
    at += 1 + body[at]  # compression methods
    extensions = int.from_bytes(body[at:at + 2], "big") + 4 + size
    body[at:at + 2] = extensions.to_bytes(2, "big")
    body[at + 2:at + 2] = (0x3A3A).to_bytes(2, "big") + size.to_bytes(2, "big") + bytes(size)
    body[1:4] = (len(body) - 4).to_bytes(3, "big")
    return recut(hello[:5] + bytes(body), 16384)


def plan(address, name, log, wanted):
    hello = client_hello(name)
    kind, *args = wanted.split(":")
    if kind == "records":
        pieces = [recut(hello, int(args[0]))]
    elif kind == "silent":
        pieces = [float(args[0]), hello]
    elif kind == "padded":
        pieces = [padded(hello, *map(int, args))]
    elif kind == "pause":
        k = int(args[0])
        pieces = [hello[:k], float(args[1]), hello[k:]]
    else:
        raise SystemExit(f"unknown plan {wanted}")
    result, names = run_pieces(address, pieces, log)
    print(json.dumps({"outcome": result, "serverSaw": names}))


HELLO_RETRY_RANDOM = bytes.fromhex(
    "CF21AD74E59A6111BE1D8C021E65B891C2A211167ABB8C5E079E09E2C8A8339C")


def tls13_hello(name, session, share):
    """A TLS 1.3 ClientHello naming name, offering x25519 only: with share None its key_share
    lists no share, which a server answers with a HelloRetryRequest (RFC 8446 4.1.4)."""
    def ext(kind, body):
        return struct.pack("!HH", kind, len(body)) + body
    host = name.encode()
    entry = b"\x00" + struct.pack("!H", len(host)) + host
    shares = b"" if share is None else b"\x00\x1d\x00\x20" + share
    extensions = (ext(0, struct.pack("!H", len(entry)) + entry) + ext(43, b"\x02\x03\x04")
                  + ext(10, b"\x00\x02\x00\x1d") + ext(13, b"\x00\x06\x08\x04\x04\x03\x04\x01")
                  + ext(51, struct.pack("!H", len(shares)) + shares))
    body = (b"\x03\x03" + os.urandom(32) + b"\x20" + session + b"\x00\x02\x13\x01\x01\x00"
            + struct.pack("!H", len(extensions)) + extensions)
    message = b"\x01" + struct.pack("!I", len(body))[1:] + body
    return b"\x16\x03\x01" + struct.pack("!H", len(message)) + message


def retry(address, first, second, log):
    """A ClientHello naming first that the server answers with a HelloRetryRequest, then (with
    the ChangeCipherSpec of compatibility mode) a second one naming second: the server takes
    the name from the second."""
    since = log_size(log)
    session = os.urandom(32)
    retried, result = False, "connect-failed"
    try:
        sock = connect(address)
    except (OSError, socket.timeout):
        print(json.dumps({"retried": False, "outcome": result, "serverSaw": []}))
        return
    port = sock.getsockname()[1]
    try:
        sock.sendall(tls13_hello(first, session, None))
        sock.settimeout(3)
        answer = b""
        while len(answer) < 43:
            more = sock.recv(4096)
            if not more:
                break
            answer += more
        retried = answer[:1] == b"\x16" and answer[5:6] == b"\x02" and answer[11:43] == HELLO_RETRY_RANDOM
        sock.sendall(b"\x14\x03\x03\x00\x01\x01" + tls13_hello(second, session, os.urandom(32)))
        result = outcome(sock)
    except OSError:
        result = "reset"
    sock.close()
    names = wait_seen(log, port, since, 0.5)
    time.sleep(0.2)
    names = seen_names(log, since).get(port, [])
    print(json.dumps({"retried": retried, "outcome": result, "serverSaw": names}))


# ----------------------------------------------------------------------------------------------
# Raw-socket client: segments as the test wants them (IPv4)


def server_timestamp(options, last):
    """The TSval in a server segment's TCP options, or last."""
    at = 0
    while at < len(options):
        kind = options[at]
        if kind == 0:
            break
        if kind == 1:
            at += 1
            continue
        if at + 1 >= len(options) or options[at + 1] < 2:
            break
        if kind == 8 and options[at + 1] == 10:
            return struct.unpack("!I", options[at + 2:at + 6])[0]
        at += options[at + 1]
    return last


class RawConnection:
    SRC, DST = "198.51.100.1", "198.51.100.2"

    def __init__(self, sport, dport=443):
        self.sport = sport
        self.dport = dport
        self.isn = random.getrandbits(32)
        # Our TCP timestamp clock. Held segments reach the server after the one that freed them;
        # with a later timestamp on that one the server's PAWS check would drop them.
        self.tsval = random.getrandbits(20) + 100000
        self.server_tsval = 0
        self.out = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
        self.inp = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_TCP)
        self.server_isn = None
        self.server_edge = None  # our stream's offset where the server's window ends

    offer_sack = False  # the SYN offers SACK (RFC 2018)

    def segment(self, flags, offset, payload=b"", bad_checksum=False, tsval=None, md5=False,
                ack=None, ttl=64, ip_options=b"", sack=None):
        """Every segment carries a timestamp (tsval: another one than the clock's next); md5 adds
        an MD5 signature option the handshake never had; ack: bytes of the server's acknowledged."""
        seq = (self.isn + 1 + offset) & 0xFFFFFFFF if not flags & 0x02 else self.isn
        ack = ((self.server_isn + 1 + (ack or 0)) & 0xFFFFFFFF
               if self.server_isn is not None else 0)
        if tsval is None:
            tsval = self.tsval  # one clock tick for the whole flight, as a real sender's burst
        options = struct.pack("!BBBBII", 1, 1, 8, 10, tsval & 0xFFFFFFFF, self.server_tsval)
        if md5:
            options += struct.pack("!BB", 19, 18) + os.urandom(16) + b"\x01\x01"
        if flags & 0x02 and self.offer_sack:
            options += b"\x04\x02\x01\x01"
        if sack:  # one block (left, right) in bytes of the server's stream
            options += b"\x01\x01" + struct.pack(
                "!BBII", 5, 10, *[(self.server_isn + 1 + edge) & 0xFFFFFFFF for edge in sack])
        packet = ipv4_tcp(self.SRC, self.DST, self.sport, self.dport, seq, ack, flags, options,
                          payload, ttl=ttl, ip_options=ip_options, bad_checksum=bad_checksum)
        try:
            self.out.sendto(packet, (self.DST, 0))
        except PermissionError:
            pass  # the connection is marked dropped: our own rule refuses the packet

    def receive(self, seconds):
        """Packets from the server to our port within seconds: (flags, seq, payload)."""
        end = time.monotonic() + seconds
        got = []
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return got
            self.inp.settimeout(left)
            try:
                data = self.inp.recv(65535)
            except socket.timeout:
                return got
            ihl = (data[0] & 0x0F) * 4
            sport, dport, seq = struct.unpack("!HHI", data[ihl:ihl + 8])
            if sport != self.dport or dport != self.sport:
                continue
            flags = data[ihl + 13]
            if flags & 0x10:
                ack, window = struct.unpack("!I2xH", data[ihl + 8:ihl + 16])
                self.server_edge = (ack - self.isn - 1 + window) & 0xFFFFFFFF
            self.server_tsval = server_timestamp(data[ihl + 20:ihl + (data[ihl + 12] >> 4) * 4],
                                                 self.server_tsval)
            payload = data[ihl + ((data[ihl + 12] >> 4) * 4):]
            got.append((flags, seq, payload))
            if flags & 0x04 or payload or flags & 0x12 == 0x12:
                return got

    def open(self, reset_first=False, syn_data=b""):
        self.segment(0x02, 0, syn_data)
        self.tsval += 1
        for flags, seq, _ in self.receive(2):
            if flags & 0x12 == 0x12:
                self.server_isn = seq
                if reset_first:
                    self.segment(0x04, 0, b"", True)
                self.segment(0x10, 0)
                return True
        return False

    def answered(self, seconds=0.7):
        for flags, _, payload in self.receive(seconds):
            if payload[:1] == b"\x16" or payload[:5] == b"HTTP/":
                return "allowed"
            if flags & 0x04:
                return "reset"
        return "silent"

    def close(self):
        self.segment(0x04, 0)


def http_head(host):
    return f"GET / HTTP/1.1\r\nHost: {host}\r\n\r\n".encode()


def report_second_answer(conn, log, since, is_second):
    """Waits briefly for a reset or an answer is_second(seq) tells from the first; prints the
    outcome and what the server read after the first request."""
    result = "silent"
    end = time.monotonic() + 0.7
    while result == "silent" and time.monotonic() < end:
        for flags, seq, payload in conn.receive(end - time.monotonic()):
            if flags & 0x04:
                result = "reset"
            elif payload and is_second(seq):
                result = "allowed"
    conn.close()
    names = wait_seen(log, conn.sport, since, 0.5 if result == "allowed" else 0.2)
    print(json.dumps({"outcome": result, "serverSaw": names[1:]}))


def craft_http_paws_ack(conn, log, since):
    """On a kept-alive port-80 connection: a pure ACK with a timestamp far ahead, which the server
    takes, then a fake head for an allowed host with an older timestamp, which the server drops
    (PAWS), then the real head for a blocked host at the same place. Prints what the server read
    after the first request."""
    first = http_head("allowed.example")
    conn.segment(0x18, 0, first)
    answers = [seq for _, seq, payload in conn.receive(2) if payload[:5] == b"HTTP/"]
    if not answers:
        print(json.dumps({"outcome": "first-request-unanswered"}))
        return
    conn.segment(0x10, len(first), tsval=conn.tsval + 1000)
    time.sleep(0.02)
    conn.segment(0x18, len(first), http_head("allowed.example"), tsval=conn.tsval + 500)
    time.sleep(0.02)
    conn.segment(0x18, len(first), http_head("blocked.example"), tsval=conn.tsval + 1001)
    # The first answer comes again (it is never acknowledged); a second one would lie beyond it.
    report_second_answer(conn, log, since, lambda seq: seq != answers[0])


def craft_http_old_ack(conn, log, since):
    """After a download larger than the window (65535, unscaled), each segment acknowledged: a
    fake head for an allowed host whose ACK is the connection's first, which the server drops
    (RFC 5961 5.2), then the real head for a blocked host at the same place with the current
    ACK. Prints what the server read after the first request."""
    first = b"GET /big HTTP/1.1\r\nHost: allowed.example\r\n\r\n"
    conn.segment(0x18, 0, first)
    size = len(b"HTTP/1.1 200 OK\r\nContent-Length: 200000\r\n\r\n") + 200000
    got, end = 0, time.monotonic() + 5
    while got < size and time.monotonic() < end:
        for flags, seq, payload in conn.receive(0.5):
            if payload and (seq - conn.server_isn - 1) & 0xFFFFFFFF == got:
                got += len(payload)
                conn.segment(0x10, len(first), ack=got)
    if got < size:
        print(json.dumps({"outcome": "download-incomplete", "got": got}))
        return
    conn.segment(0x18, len(first), http_head("allowed.example"), ack=0)
    time.sleep(0.02)
    conn.segment(0x18, len(first), http_head("blocked.example"), ack=got)
    report_second_answer(
        conn, log, since, lambda seq: (seq - conn.server_isn - 1) & 0xFFFFFFFF >= got)


# The IP length of port-80 packets the test's server drops, as a link too small for them would
# (reliability_test.sh sets the rule up).
LOST_LENGTH = 1300
LOST_PAD = LOST_LENGTH - 20 - 32 - (len(http_head("allowed.example")) - 2 + len(b"X-Pad: \r\n"))

LIBERAL = "/proc/sys/net/netfilter/nf_conntrack_tcp_be_liberal"
# Cases whose fake conntrack's window tracking calls invalid: a machine told to be liberal (as
# container hosts often are) takes it as a segment of its connection, with the connection's mark,
# so the client's namespace is told so while they run (the filter queues invalid web segments
# too, but a liberal conntrack is where the fake looks most like the real thing).
LIBERAL_CASES = {"http-unsent-ack", "http-unsent-ack-after-long", "far-beyond-then-b",
                 "unsent-ack-a-then-b"}


@contextlib.contextmanager
def liberal_conntrack(on):
    if not on:
        yield
        return
    with open(LIBERAL) as f:
        before = f.read().strip()
    with open(LIBERAL, "w") as f:
        f.write("1")
    try:
        yield
    finally:
        with open(LIBERAL, "w") as f:
            f.write(before)


def whole_response(conn, sent, seconds=5):
    """Reads one response with a Content-Length body, acknowledging what came in order after
    each read (our stream stands at sent); the server's stream offset after it, or None."""
    got, data = 0, b""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for _, seq, payload in conn.receive(min(0.2, end - time.monotonic())):
            at = (seq - conn.server_isn - 1) & 0xFFFFFFFF
            if payload and at <= got < at + len(payload):
                fresh = payload[got - at:]
                got += len(fresh)
                if len(data) < 4096:
                    data += fresh[:4096]
        conn.segment(0x10, sent, ack=got)
        head, found, _ = data.partition(b"\r\n\r\n")
        if not found:
            continue
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
        if got >= len(head) + 4 + length:
            return got
    return None


def craft_http_unsent_ack(conn, log, since, path="/", ahead=100000):
    """After the first request's answer: a fake head for an allowed host acknowledging bytes the
    server never sent, which the server discards (RFC 5961 5.2), then the real head for a blocked
    host at the same place with the right ACK. Prints what the server read after the first.
    path /long: a 2 MB answer, long enough for the server's packets to go unlogged after it.
    ahead: how far past what the server sent the fake's ACK lies; within our window of it, the
    real head's ACK is not too old for the server after the fake's."""
    first = http_head("allowed.example").replace(b"GET / ", f"GET {path} ".encode())
    conn.segment(0x18, 0, first)
    got = whole_response(conn, len(first))
    if got is None:
        print(json.dumps({"outcome": "first-request-unanswered"}))
        return
    time.sleep(0.05)
    conn.segment(0x18, len(first), http_head("allowed.example"), ack=got + ahead)
    time.sleep(0.02)
    conn.segment(0x18, len(first), http_head("blocked.example"), ack=got)
    report_second_answer(
        conn, log, since, lambda s: (s - conn.server_isn - 1) & 0xFFFFFFFF >= got)


def craft_http_stale_held(conn, log, since):
    """The host's part of a head for an allowed host, beyond a gap (held); a pure ACK with a
    timestamp far ahead, which the server takes; the head's start with a newer one. Released then,
    the held part would be dropped by the server (PAWS) though the filter read it, and a copy
    naming a blocked host at its place would be served. Prints what the server read."""
    head = http_head("allowed.example")
    at = head.find(b"allowed")
    conn.segment(0x18, at, head[at:])
    time.sleep(0.02)
    conn.segment(0x10, 0, tsval=conn.tsval + 1000)
    time.sleep(0.02)
    conn.segment(0x18, 0, head[:at], tsval=conn.tsval + 1001)
    time.sleep(0.02)
    conn.segment(0x18, at, http_head("blocked.example")[at:], tsval=conn.tsval + 1002)
    result = conn.answered()
    conn.close()
    names = wait_seen(log, conn.sport, since, 0.5 if result == "allowed" else 0.2)
    print(json.dumps({"outcome": result, "serverSaw": names}))


def craft_http_ack_overtakes(conn, log, since):
    """A head for an allowed host, at once a pure ACK far ahead at its start (unqueued, it may reach
    the server first, which then drops the head by PAWS), then a head for a blocked host there."""
    conn.segment(0x18, 0, http_head("allowed.example"))
    conn.segment(0x10, 0, tsval=conn.tsval + 1000)
    time.sleep(0.05)
    conn.segment(0x18, 0, http_head("blocked.example"), tsval=conn.tsval + 1001)
    result = conn.answered()
    conn.close()
    names = wait_seen(log, conn.sport, since, 0.5 if result == "allowed" else 0.2)
    print(json.dumps({"outcome": result, "serverSaw": names}))


def craft_http_zero_window(conn, log, since):
    """A first request the server answers only after seconds, meanwhile reading nothing; requests
    for an allowed host fill its window; a fake head for an allowed host at the window's edge,
    which the server drops (zero window), then, once it reads again, the real head for a blocked
    host at the same place. Prints whether the server read the blocked host."""
    first = b"GET /stall HTTP/1.1\r\nHost: allowed.example\r\n\r\n"
    conn.segment(0x18, 0, first)
    at = len(first)
    plain = b"GET / HTTP/1.1\r\nHost: allowed.example\r\nX: \r\n\r\n"
    # The window grows as the server's buffer is tuned up: filled again until it stays shut.
    for _ in range(12):
        conn.receive(0.15)
        edge = conn.server_edge
        if edge is None or edge <= at:
            break
        while at < edge:
            size = min(edge - at, 8000)
            if 0 < edge - at - size < len(plain):
                size -= len(plain)
            request = plain[:-4] + b"x" * (size - len(plain)) + b"\r\n\r\n"
            for k in range(0, len(request), 1400):
                conn.segment(0x18, at + k, request[k:k + 1400])
            at += len(request)
    if conn.server_edge != at:
        print(json.dumps({"outcome": "window-not-filled", "edge": conn.server_edge, "at": at}))
        return
    conn.segment(0x18, at, http_head("allowed.example"))
    end = time.monotonic() + 6
    while time.monotonic() < end and not any(p[:5] == b"HTTP/" for _, _, p in conn.receive(0.5)):
        pass
    time.sleep(0.5)  # the server reads the rest once it has answered
    conn.segment(0x18, at, http_head("blocked.example"))
    conn.receive(0.7)
    conn.close()
    names = wait_seen(log, conn.sport, since, 0.5)
    print(json.dumps({"outcome": "allowed" if "blocked.example" in names else "silent",
                      "serverSaw": [n for n in names if n != "allowed.example"]}))


def craft(scenario, log):
    allowed, blocked = "allowed.example", "blocked.example"
    hello_a = client_hello(allowed)
    at = hello_a.find(allowed.encode())
    hello_b = hello_a.replace(allowed.encode(), blocked.encode())
    n = len(hello_a)
    # (offset, bytes, bad checksum) in the order they are sent
    A = lambda lo, hi: (lo, hello_a[lo:hi], False)  # noqa: E731
    B = lambda lo, hi: (lo, hello_b[lo:hi], False)  # noqa: E731
    name_end = at + len(allowed)
    head_b, padded_a = http_head(blocked), lost_copy_head(allowed)
    cut = at + 20  # beyond the name
    plans = {
        # Out of order: the name's segment arrives first, beyond a gap.
        "reverse-blocked": [B(cut, n), B(at - 10, cut), B(0, at - 10)],
        "reverse-allowed": [A(cut, n), A(at - 10, cut), A(0, at - 10)],
        "shuffle-blocked": "shuffle",
        # Overlap with what was already delivered: the server keeps the first copy.
        "retransmit-a-then-b": [A(0, cut), B(0, cut), A(cut, n)],
        "retransmit-b-then-a": [B(0, cut), A(0, cut), A(cut, n)],
        # A head not whole yet for an allowed host, in a packet too big for the server's link
        # (the test's server drops it), then a copy naming a blocked host, then the head's end.
        "http-lost-copy-a-then-b": [(0, padded_a, False), (0, head_b[:-2], False),
                                    (len(head_b) - 2, padded_a[len(head_b) - 2:] + b"\r\n",
                                     False)],
        # Overlaps beyond a gap, both held until the gap fills.
        "held-a-then-longer-b": [A(at - 20, name_end), B(at - 20, cut + 40), A(0, at - 20),
                                 A(cut + 40, n)],
        "held-b-then-longer-a": [B(at - 20, name_end), A(at - 20, cut + 40), A(0, at - 20),
                                 A(cut + 40, n)],
        # A held short segment inside a longer one that starts at the gap's end.
        "held-a-inside-b": [A(at - 5, name_end + 5), B(at - 20, cut + 40), A(0, at - 20),
                            A(cut + 40, n)],
        # Insertion: a copy the server's kernel throws away (bad TCP checksum) carries the
        # harmless name; the good copy that follows carries the blocked one.
        "badsum-a-then-b": [(0, hello_a[:cut], True), B(0, cut), A(cut, n)],
        # A reset the server's kernel throws away (bad checksum) that conntrack believes.
        "badsum-reset-then-b": [("rst", b"", True), B(0, n)],
        "badsum-reset-before-ack": [B(0, n)],
        # Copies the server's TCP throws away carry the harmless name; the real one follows.
        # Data on the SYN, to a server without Fast Open:
        "syndata-a-then-b": [B(0, n)],
        "syndata-a-then-a": [A(0, n)],
        # An MD5 signature the connection never negotiated:
        "md5-a-then-b": [("md5", hello_a, False), B(0, n)],
        # A timestamp older than the connection's last one (PAWS):
        "paws-a-then-b": [("paws", hello_a, False), B(0, n)],
        # An ACK of bytes the server never sent (it discards the segment, RFC 5961 5.2):
        "unsent-ack-a-then-b": [("unsent", hello_a, False), B(0, n)],
        # The real one with a SACK block beyond what the server sent: conntrack calls it invalid
        # (its SACK check), the server ignores the block and takes the data. Then a copy naming
        # the allowed host at the same place.
        "sack-beyond-b-then-a": [("sack-beyond", hello_b, False), A(0, n)],
        # Copies a server farther away never gets: with fewer hops than reach it (here it is
        # one hop away, so the copy arrives: refusing it is what shows), or with IP options.
        "fewer-hops-a-then-b": [("ttl", hello_a, False), B(0, n)],
        "ip-options-a-then-b": [("ipopts", hello_a, False), B(0, n)],
        # A FIN beyond a gap (the server keeps it until the gap fills) and a reset off the
        # place the server expects (it answers with a challenge ACK): neither ends the stream.
        "fin-beyond-then-b": [B(0, 100), ("fin", n + 1000, False), B(100, n)],
        "reset-off-place-then-b": [B(0, 100), ("rst-at", 1100, False), B(100, n)],
        # One byte far beyond any window the server has (it drops it), which a filter must not
        # take as a reason to stop reading:
        "far-beyond-then-b": [(50_000_000, b"x", False), B(0, n)],
    }
    crafted = {"http-paws-ack": craft_http_paws_ack, "http-old-ack": craft_http_old_ack,
               "http-unsent-ack": craft_http_unsent_ack,
               "http-unsent-ack-after-long": lambda *a: craft_http_unsent_ack(*a, path="/long", ahead=50000),
               "http-zero-window": craft_http_zero_window,
               "http-stale-held": craft_http_stale_held,
               "http-ack-overtakes": craft_http_ack_overtakes}
    if scenario not in plans and scenario not in crafted:
        raise SystemExit(f"unknown scenario {scenario}")
    steps = plans.get(scenario, [])
    if steps == "shuffle":
        bounds = sorted(random.sample(range(1, n), 7))
        edges = [0] + bounds + [n]
        steps = [B(edges[i], edges[i + 1]) for i in range(len(edges) - 1)]
        random.shuffle(steps)
    # A port of its own per connection: the filter remembers dropped connections for a while.
    counter = os.path.join(os.path.dirname(os.path.abspath(log)), "craft-port")
    try:
        with open(counter) as f:
            next_port = int(f.read())
    except (OSError, ValueError):
        next_port = 0
    with open(counter, "w") as f:
        f.write(str(next_port + 1))
    conn = RawConnection(40000 + next_port % 1000, 80 if scenario.startswith("http-") else 443)
    since = log_size(log)
    syn_data = hello_a if scenario.startswith("syndata-") else b""
    conn.offer_sack = scenario.startswith("sack-")
    if not conn.open(reset_first=scenario == "badsum-reset-before-ack", syn_data=syn_data):
        print(json.dumps({"outcome": "no-handshake"}))
        return
    with liberal_conntrack(scenario in LIBERAL_CASES):
        play_crafted(conn, log, since, crafted.get(scenario), steps)


def lost_copy_head(allowed="allowed.example"):
    """A head for allowed, not whole yet (no blank line), padded to reach LOST_LENGTH."""
    return http_head(allowed)[:-2] + b"X-Pad: " + b"a" * LOST_PAD + b"\r\n"


def forged_server_ack(source, destination, gateway_mac, interface, sport=40999):
    """Through a gateway, from its client's side: the head for an allowed host in a packet the
    server's link drops (the test's server drops that length), then the server's ACK of it,
    forged and sent to the gateway, which routes it back as the server's, then a copy naming a
    blocked host and the head's end. Prints whether the server answered."""
    conn = RawConnection(sport, 80)
    conn.SRC, conn.DST = source, destination
    if not conn.open():
        print(json.dumps({"outcome": "no-handshake"}))
        return
    padded_a, head_b = lost_copy_head(), http_head("blocked.example")
    conn.segment(0x18, 0, padded_a)
    time.sleep(0.05)
    options = struct.pack("!BBBBII", 1, 1, 8, 10, conn.server_tsval + 1, conn.tsval)
    forged = ipv4_tcp(destination, source, 80, sport, conn.server_isn + 1,
                      conn.isn + 1 + len(padded_a), 0x10, options)
    with open(f"/sys/class/net/{interface}/address") as f:
        own_mac = bytes.fromhex(f.read().strip().replace(":", ""))
    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW) as link:
        link.bind((interface, 0))
        link.send(bytes.fromhex(gateway_mac.replace(":", "")) + own_mac + b"\x08\x00" + forged)
    time.sleep(0.05)
    conn.segment(0x18, 0, head_b[:-2])
    time.sleep(0.02)
    conn.segment(0x18, len(head_b) - 2, padded_a[len(head_b) - 2:] + b"\r\n")
    result = conn.answered()
    conn.close()
    print(json.dumps({"outcome": result}))


def play_crafted(conn, log, since, crafted, steps):
    if crafted:
        crafted(conn, log, since)
        return
    for offset, data, bad in steps:
        if offset == "rst":
            conn.segment(0x04, 0, b"", bad)
        elif offset == "ttl":
            conn.segment(0x18, 0, data, ttl=2)
        elif offset == "ipopts":
            conn.segment(0x18, 0, data, ip_options=b"\x01\x01\x01\x00")
        elif offset == "fin":
            conn.segment(0x11, data)
        elif offset == "rst-at":
            conn.segment(0x04, data)
        elif offset == "md5":
            conn.segment(0x18, 0, data, md5=True)
        elif offset == "paws":
            conn.segment(0x18, 0, data, tsval=conn.tsval - 1000)
        elif offset == "sack-beyond":
            conn.segment(0x18, 0, data, sack=(1_000_000, 1_000_100))
        elif offset == "unsent":
            conn.segment(0x18, 0, data, ack=100000)
        else:
            conn.segment(0x18, offset, data, bad)
        time.sleep(0.02)
    result = conn.answered()
    conn.close()
    names = wait_seen(log, conn.sport, since, 0.5 if result == "allowed" else 0.2)
    print(json.dumps({"outcome": result, "serverSaw": names}))


# ----------------------------------------------------------------------------------------------
# Load clients


def rate(address, name, seconds, parallel):
    hello = client_hello(name)
    latencies, failures = [], [0]
    lock = threading.Lock()
    end = time.monotonic() + seconds

    def worker():
        mine, bad = [], 0
        while time.monotonic() < end:
            t = time.monotonic()
            try:
                sock = connect(address, timeout=3)
                # A reset, not a close: thousands of TIME_WAIT ports would run the client out of
                # ports within a run.
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                sock.sendall(hello)
                ok = outcome(sock, 3) == "allowed"
                sock.close()
            except OSError:
                ok = False
            if ok:
                mine.append((time.monotonic() - t) * 1e6)
            else:
                bad += 1
        with lock:
            latencies.extend(mine)
            failures[0] += bad

    start = time.monotonic()
    threads = [threading.Thread(target=worker) for _ in range(parallel)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - start
    print(json.dumps({"connections": len(latencies), "failures": failures[0],
                      "perSecond": round(len(latencies) / elapsed),
                      "p50us": round(pct(latencies, 50)), "p99us": round(pct(latencies, 99))}))


def loop(address, name, seconds, stop=None):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    ok, failed, errors = 0, 0, {}
    end = time.monotonic() + seconds
    while time.monotonic() < end and not (stop and os.path.exists(stop)):
        try:
            sock = socket.create_connection((address, 443), timeout=8)
            tls = context.wrap_socket(sock, server_hostname=name)
            if tls.recv(3) != b"ok\n":
                raise OSError("no answer")
            tls.close()
            ok += 1
        except (OSError, ssl.SSLError) as error:
            failed += 1
            key = type(error).__name__
            errors[key] = errors.get(key, 0) + 1
    print(json.dumps({"ok": ok, "failed": failed, "errors": errors}))


def hold(address, count, seconds):
    header = client_hello("held.example")[:5]
    socks = []
    refused = 0
    start = time.monotonic()
    for _ in range(count):
        try:
            sock = connect(address, timeout=3)
            sock.sendall(header)
            socks.append(sock)
        except OSError:
            refused += 1
    opened = time.monotonic() - start
    print(json.dumps({"open": len(socks), "failed": refused, "seconds": round(opened, 2)}),
          flush=True)
    time.sleep(seconds)
    for sock in socks:
        sock.close()


def syn_flood(address, count, seconds):
    """count SYNs to address:443 from ports 1024-39999 (the kernel's resets answer the SYN-ACKs)."""
    out = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    # Queued packets still count against the sender's buffer: a large one lets the SYNs outrun
    # the daemon instead of waiting for its verdicts.
    out.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_SNDBUFFORCE", 32), 256 << 20)
    sent = 0
    start = time.monotonic()
    end = start + seconds
    while sent < count and time.monotonic() < end:
        sport = 1024 + sent % 38976
        syn = ipv4_tcp("198.51.100.1", address, sport, 443, random.getrandbits(32), 0, 0x02)
        try:
            out.sendto(syn, (address, 0))
        except OSError:
            pass
        sent += 1
    elapsed = time.monotonic() - start
    print(json.dumps({"sent": sent, "seconds": round(elapsed, 2), "perSecond": round(sent / elapsed)}))


def mix(address, seconds, out):
    hellos = {"a.example": client_hello("a.example"), "b.example": client_hello("b.example")}
    end = time.monotonic() + seconds
    with open(out, "w", buffering=1) as f:
        while time.monotonic() < end:
            for name, hello in hellos.items():
                try:
                    sock = connect(address, timeout=3)
                    sock.sendall(hello)
                    result = outcome(sock, 3)
                    sock.close()
                except OSError:
                    result = "reset"
                f.write(f"{time.time():.3f} {name} {result}\n")


def preface(address, name, port=443):
    """A ChangeCipherSpec record, then a ClientHello for name. Prints "served" when the server
    answers with a handshake record, "refused" otherwise (reset, alert, silence)."""
    try:
        with socket.create_connection((address, port), timeout=3) as sock:
            sock.sendall(b"\x14\x03\x03\x00\x01\x01")
            time.sleep(0.05)
            sock.sendall(client_hello(name))
            sock.settimeout(2)
            answer = sock.recv(5)
    except OSError:
        answer = b""
    print("served" if answer[:1] == b"\x16" else "refused")


def main():
    mode, args = sys.argv[1], sys.argv[2:]
    if mode == "sni-server":
        sni_server(args[0], args[1:])
    elif mode == "sink":
        sink(args[0])
    elif mode == "split":
        split(args[0], args[1], args[2], int(args[3]), float(args[4]))
    elif mode == "plan":
        plan(args[0], args[1], args[2], args[3])
    elif mode == "retry":
        retry(args[0], args[1], args[2], args[3])
    elif mode == "preface":
        preface(args[0], args[1])
    elif mode == "craft":
        craft(args[0], args[1])
    elif mode == "forged-server-ack":
        forged_server_ack(*args)
    elif mode == "rate":
        rate(args[0], args[1], float(args[2]), int(args[3]))
    elif mode == "loop":
        loop(args[0], args[1], float(args[2]), args[3] if len(args) > 3 else None)
    elif mode == "syn-flood":
        syn_flood(args[0], int(args[1]), float(args[2]))
    elif mode == "hold":
        hold(args[0], int(args[1]), float(args[2]))
    elif mode == "mix":
        mix(args[0], float(args[1]), args[2])
    else:
        raise SystemExit(f"unknown mode {mode}")


if __name__ == "__main__":
    main()
