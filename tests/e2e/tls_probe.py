#!/usr/bin/env python3
"""TLS client probes for the end-to-end tests.

Writes a real ClientHello (made by Python's ssl module) the way a test needs it, and says what
became of the connection: "allowed" (the server answered with a handshake record) or "reset"
(the connection was aborted or reset). Every wait is bounded.

  tls_probe.py ADDRESS NAME records SIZE   ClientHello re-cut into TLS records of SIZE bytes
  tls_probe.py ADDRESS NAME onebyte        one byte per write, TCP_NODELAY
  tls_probe.py ADDRESS NAME reset-after RULES NEWRULES PID
        full handshake, then write NEWRULES over RULES, SIGHUP PID and print the milliseconds
        until the open connection is reset ("timeout" after 3 s)
  tls_probe.py ADDRESS NAME held SECONDS
        full handshake, then "connected"; then "ended MS" when the connection ends within
        SECONDS (milliseconds after the handshake), else "open"
  tls_probe.py ADDRESS NAME reuse FIRST PORT [server-reset]
        from source port PORT: a connection naming FIRST, ended by a reset, then at once one
        naming NAME on the same address pair; prints both outcomes. server-reset: in between, a
        bare ACK on the closed pair (IPv4, raw socket), so that the server's reset is the old
        connection's last packet (conntrack then reuses its entry for the new one)
"""
import os
import random
import signal
import socket
import ssl
import struct
import sys
import time


def client_hello(name):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context.wrap_bio(incoming, outgoing, server_hostname=name)
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    return outgoing.read()


def recut(hello, size):
    """The handshake message of a one-record ClientHello, cut into records of size bytes."""
    body = hello[5:]
    out = b""
    for start in range(0, len(body), size):
        piece = body[start:start + size]
        out += bytes([22]) + hello[1:3] + len(piece).to_bytes(2, "big") + piece
    return out


def connect(address, source_port=0):
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.settimeout(5)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    if source_port:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("", source_port))
    sock.connect((address, 443))
    return sock


def outcome(sock):
    try:
        data = sock.recv(5)
    except (ConnectionResetError, ConnectionAbortedError, BrokenPipeError):
        return "reset"
    except socket.timeout:
        return "timeout"
    if data[:1] == b"\x16":
        return "allowed"
    return "closed" if not data else "other"


def checksum(data):
    """The Internet checksum (RFC 1071) of data."""
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ipv4_tcp(source, destination, sport, dport, seq, ack, flags, options=b"", payload=b"",
             window=65535, ttl=64, ip_options=b"", bad_checksum=False):
    """An IPv4 packet with a TCP segment, both checksums filled in (bad_checksum: the TCP one
    wrong); options and ip_options padded to 4 bytes by the caller."""
    tcp = struct.pack("!HHIIBBHHH", sport, dport, seq & 0xFFFFFFFF, ack & 0xFFFFFFFF,
                      (5 + len(options) // 4) << 4, flags, window, 0, 0) + options
    pseudo = struct.pack("!4s4sBBH", socket.inet_aton(source), socket.inet_aton(destination), 0,
                         6, len(tcp) + len(payload))
    value = checksum(pseudo + tcp + payload) ^ (0x5A5A if bad_checksum else 0)
    tcp = tcp[:16] + struct.pack("!H", value) + tcp[18:]
    ip = struct.pack("!BBHHHBBH4s4s", 0x45 + len(ip_options) // 4, 0,
                     20 + len(ip_options) + len(tcp) + len(payload), random.getrandbits(16),
                     0x4000, ttl, 6, 0, socket.inet_aton(source),
                     socket.inet_aton(destination)) + ip_options
    ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
    return ip + tcp + payload


def bare_ack(address, port):
    """An ACK from port to address:443 that no connection expects: the server answers a reset."""
    source = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    source.connect((address, 443))
    local = source.getsockname()[0]
    source.close()
    raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
    raw.sendto(ipv4_tcp(local, address, port, 443, 1, 1, 0x10, window=1000), (address, 0))
    raw.close()


def reused_pair(address, names, port, server_reset=False):
    results = []
    for index, name in enumerate(names):
        if index > 0 and server_reset:
            bare_ack(address, port)
            time.sleep(0.1)
        try:
            sock = connect(address, port)
            sock.sendall(client_hello(name))
            results.append(outcome(sock))
            # A reset leaves no TIME-WAIT, so the same pair can open again at once.
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            sock.close()
        except (ConnectionResetError, ConnectionAbortedError, ConnectionRefusedError, BrokenPipeError):
            results.append("reset")
        except socket.timeout:
            results.append("timeout")
    return " ".join(results)


def handshake(sock, name):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context.wrap_socket(sock, server_hostname=name)


def ended_within(tls, seconds):
    """Milliseconds until the connection ends, None when it is still open after seconds. The
    servers never close an idle connection by themselves: an abort (error or end of stream, as
    the TLS layer reports it) is the filter's reset."""
    tls.settimeout(seconds)
    start = time.monotonic()
    try:
        tls.recv(1)
    except socket.timeout:
        return None
    except (ConnectionResetError, ConnectionAbortedError, ssl.SSLError, OSError):
        pass
    return int((time.monotonic() - start) * 1000)


def main():
    address, name, mode = sys.argv[1], sys.argv[2], sys.argv[3]
    if mode == "reuse":
        print(reused_pair(address, (sys.argv[4], name), int(sys.argv[5]),
                          sys.argv[6:7] == ["server-reset"]))
        return
    try:
        sock = connect(address)
    except (ConnectionResetError, ConnectionAbortedError, ConnectionRefusedError):
        print("reset")
        return
    except socket.timeout:
        print("timeout")
        return
    hello = client_hello(name)
    try:
        if mode == "records":
            sock.sendall(recut(hello, int(sys.argv[4])))
        elif mode == "onebyte":
            for i in range(len(hello)):
                sock.send(hello[i:i + 1])
                time.sleep(0.002)
        elif mode == "reset-after":
            tls = handshake(sock, name)
            with open(sys.argv[5], "rb") as new, open(sys.argv[4] + ".tmp", "wb") as out:
                out.write(new.read())
            os.replace(sys.argv[4] + ".tmp", sys.argv[4])
            os.kill(int(sys.argv[6]), signal.SIGHUP)
            ended = ended_within(tls, 3)
            print("timeout" if ended is None else ended)
            return
        elif mode == "held":
            tls = handshake(sock, name)
            print("connected", flush=True)
            ended = ended_within(tls, float(sys.argv[4]))
            print("open" if ended is None else f"ended {ended}")
            return
    except (ConnectionResetError, ConnectionAbortedError, BrokenPipeError):
        print("reset")
        return
    print(outcome(sock))


if __name__ == "__main__":
    main()
