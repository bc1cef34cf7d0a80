#!/usr/bin/env python3
"""Asks SERVER one question over UDP (or TCP) with a fixed id and prints the response code and
the number of answer records: "rcode 3 answers 0". With SENT_FILE, also "same" or "changed":
whether the bytes received equal the bytes the server wrote there. Then "port N" for each port
parameter of the HTTPS or SVCB records among the answers. tcp88 is TCP with the smallest
segment size Linux lets a client offer (88 bytes), so the server cuts its answer into many.

  dns_query.py SERVER NAME TYPE [udp|tcp|tcp88] [SENT_FILE]
"""
import socket
import struct
import sys

TYPES = {"A": 1, "AAAA": 28, "SVCB": 64, "HTTPS": 65}


def skip_name(message, at):
    while message[at] and message[at] & 0xC0 != 0xC0:
        at += 1 + message[at]
    return at + (2 if message[at] else 1)


def ports(response):
    """The port parameters of the service bindings among the answers, in order."""
    found = []
    at = skip_name(response, 12) + 4
    for _ in range(struct.unpack(">H", response[6:8])[0]):
        at = skip_name(response, at)
        rtype, _, _, length = struct.unpack(">HHIH", response[at:at + 10])
        at += 10
        end = at + length
        if rtype in (TYPES["SVCB"], TYPES["HTTPS"]):
            param = skip_name(response, at + 2)
            while param + 4 <= end:
                key, size = struct.unpack(">HH", response[param:param + 4])
                if key == 3 and size == 2:
                    found.append(struct.unpack(">H", response[param + 4:param + 6])[0])
                param += 4 + size
        at = end
    return found


def main():
    server, name, qtype = sys.argv[1:4]
    transport = sys.argv[4] if len(sys.argv) > 4 else "udp"
    sent = sys.argv[5] if len(sys.argv) > 5 else None
    question = b"".join(bytes([len(l)]) + l.encode() for l in name.split(".") if l) + b"\0"
    query = struct.pack(">HHHHHH", 0x5151, 0x0100, 1, 0, 0, 0) + question + struct.pack(">HH", TYPES[qtype], 1)
    try:
        if transport.startswith("tcp"):
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
                s.settimeout(3)
                if transport == "tcp88":
                    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, 88)
                s.connect((server, 53))
                s.sendall(struct.pack(">H", len(query)) + query)
                data = b""
                while len(data) < 2 or len(data) < 2 + struct.unpack(">H", data[:2])[0]:
                    chunk = s.recv(4096)
                    if not chunk:
                        break
                    data += chunk
                response = data[2:]
        else:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.settimeout(3)
                s.sendto(query, (server, 53))
                response, _ = s.recvfrom(4096)
    except OSError as error:
        print("error", type(error).__name__)
        return
    rcode = response[3] & 0x0F
    answers = struct.unpack(">H", response[6:8])[0]
    line = f"rcode {rcode} answers {answers}"
    if sent:
        with open(sent, "rb") as f:
            line += " same" if f.read() == response else " changed"
    line += "".join(f" port {port}" for port in ports(response))
    print(line)


if __name__ == "__main__":
    main()
