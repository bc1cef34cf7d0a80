#!/usr/bin/env python3
"""A small authoritative DNS server for the ECH end-to-end case (standard library only).

  dns_server.py ADDRESS ZONE_JSON ANSWER_DIR

ZONE_JSON maps "name TYPE" to a list of records: A/AAAA as address text, CNAME as a name, HTTPS
and SVCB as {"priority": n, "target": ".", "params": [[key, "hex value"], ...]}. Serves UDP and
TCP on port 53; every answer it sends is also written to ANSWER_DIR/NAME-TYPE.bin, so a test can
compare what a client received with what was sent. Unknown names get NXDOMAIN; a known name
without records of the asked type gets an empty answer.
"""
import ipaddress
import json
import os
import socket
import struct
import sys
import threading

TYPES = {"A": 1, "CNAME": 5, "AAAA": 28, "SVCB": 64, "HTTPS": 65}
NAMES = {v: k for k, v in TYPES.items()}


def encode_name(name):
    out = b""
    for label in name.rstrip(".").split("."):
        if label:
            out += bytes([len(label)]) + label.encode()
    return out + b"\0"


def read_name(message, at):
    labels = []
    while True:
        length = message[at]
        if length == 0:
            return ".".join(labels).lower(), at + 1
        labels.append(message[at + 1:at + 1 + length].decode("ascii", "replace"))
        at += 1 + length


def rdata(rtype, value):
    if rtype == "A":
        return ipaddress.IPv4Address(value).packed
    if rtype == "AAAA":
        return ipaddress.IPv6Address(value).packed
    if rtype == "CNAME":
        return encode_name(value)
    params = b"".join(struct.pack(">HH", key, len(bytes.fromhex(v))) + bytes.fromhex(v)
                      for key, v in value["params"])
    return struct.pack(">H", value["priority"]) + encode_name(value["target"]) + params


def answer(zone, query):
    ident, flags = struct.unpack(">HH", query[:4])
    name, at = read_name(query, 12)
    qtype, _ = struct.unpack(">HH", query[at:at + 4])
    question = query[12:at + 4]
    type_name = NAMES.get(qtype, str(qtype))
    records = []
    owner = name
    for _ in range(8):  # follow CNAMEs within the zone
        for target in zone.get(owner + " CNAME", []):
            records.append((owner, "CNAME", target))
        if zone.get(owner + " CNAME"):
            owner = zone[owner + " CNAME"][0].rstrip(".").lower()
            continue
        break
    for value in zone.get(owner + " " + type_name, []):
        records.append((owner, type_name, value))
    known = any(key.split(" ")[0] == name for key in zone)
    rcode = 0 if known else 3
    body = b""
    for owner_name, rtype, value in records:
        data = rdata(rtype, value)
        body += encode_name(owner_name) + struct.pack(">HHIH", TYPES[rtype], 1, 300, len(data)) + data
    header = struct.pack(">HHHHHH", ident, 0x8400 | (flags & 0x0100) | 0x0080 | rcode, 1,
                         len(records), 0, 0)
    return name, type_name, header + question + body


def serve_udp(sock, zone, directory):
    while True:
        query, peer = sock.recvfrom(4096)
        try:
            name, type_name, message = answer(zone, query)
        except (IndexError, struct.error, ValueError):
            continue
        with open(os.path.join(directory, f"{name}-{type_name}.bin"), "wb") as f:
            f.write(message)
        sock.sendto(message, peer)


def serve_tcp_client(connection, zone, directory):
    with connection:
        try:
            while True:
                head = connection.recv(2)
                if len(head) < 2:
                    return
                length = struct.unpack(">H", head)[0]
                query = b""
                while len(query) < length:
                    chunk = connection.recv(length - len(query))
                    if not chunk:
                        return
                    query += chunk
                name, type_name, message = answer(zone, query)
                with open(os.path.join(directory, f"{name}-{type_name}-tcp.bin"), "wb") as f:
                    f.write(message)
                connection.sendall(struct.pack(">H", len(message)) + message)
        except (OSError, IndexError, struct.error, ValueError):
            return


def main():
    address, zone_path, directory = sys.argv[1:4]
    with open(zone_path) as f:
        zone = {}
        for key, value in json.load(f).items():
            name, rtype = key.split(" ")
            zone[name.lower() + " " + rtype] = value
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind((address, 53))
    tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    tcp.bind((address, 53))
    tcp.listen(16)
    threading.Thread(target=serve_udp, args=(udp, zone, directory), daemon=True).start()
    while True:
        connection, _ = tcp.accept()
        threading.Thread(target=serve_tcp_client, args=(connection, zone, directory),
                         daemon=True).start()


if __name__ == "__main__":
    main()
