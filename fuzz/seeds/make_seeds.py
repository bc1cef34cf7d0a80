#!/usr/bin/env python3
"""Writes the seed inputs of the rules_json, rules_check, blocklist_import, explain, list_sources
and replay_capture fuzzers, one folder per fuzzer (scripts/run-fuzzers.sh copies fuzz/seeds/<name>/ into the
corpus).

   fuzz/seeds/make_seeds.py [OUTPUT_DIR]   (default: this folder)
"""
import os
import struct
import sys


def client_hello(name, records=1):
    sni = name.encode()
    server_name = struct.pack("!HBH", len(sni) + 3, 0, len(sni)) + sni
    extensions = struct.pack("!HH", 0, len(server_name)) + server_name
    extensions += struct.pack("!HHH", 0x10, 5, 3) + b"\x02h2"  # ALPN
    body = b"\x03\x03" + bytes(32) + b"\x00" + struct.pack("!HH", 2, 0x1301) + b"\x01\x00"
    body += struct.pack("!H", len(extensions)) + extensions
    handshake = b"\x01" + struct.pack("!I", len(body))[1:] + body
    out = b""
    step = -(-len(handshake) // records)
    for at in range(0, len(handshake), step):
        piece = handshake[at:at + step]
        out += b"\x16\x03\x01" + struct.pack("!H", len(piece)) + piece
    return out


def checksum(data):
    if len(data) % 2:
        data += b"\x00"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ipv4(src, dst, proto, payload):
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 1, 0, 64, proto, 0,
                         bytes(src), bytes(dst))
    return header[:10] + struct.pack("!H", checksum(header)) + header[12:] + payload


def tcp(sport, dport, seq, ack, flags, payload=b""):
    return struct.pack("!HHIIBBHHH", sport, dport, seq, ack, 5 << 4, flags, 65535, 0, 0) + payload


def udp(sport, dport, payload):
    return struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload


CLIENT, SERVER = [10, 0, 0, 1], [198, 51, 100, 2]
SYN, ACK, PSH, FIN = 0x02, 0x10, 0x08, 0x01


def connection(port, name, isn, cut=None, records=1):
    hello = client_hello(name, records)
    packets = [ipv4(CLIENT, SERVER, 6, tcp(port, 443, isn, 0, SYN)),
               ipv4(SERVER, CLIENT, 6, tcp(443, port, 7, isn + 1, SYN | ACK)),
               ipv4(CLIENT, SERVER, 6, tcp(port, 443, isn + 1, 8, ACK))]
    pieces = [hello] if cut is None else [hello[:cut], hello[cut:]]
    offsets = [0] if cut is None else [0, cut]
    order = range(len(pieces)) if cut is None else [1, 0]  # the second half first
    for i in order:
        seq = (isn + 1 + offsets[i]) & 0xFFFFFFFF
        packets.append(ipv4(CLIENT, SERVER, 6, tcp(port, 443, seq, 8, ACK | PSH, pieces[i])))
    end = (isn + 1 + len(hello)) & 0xFFFFFFFF
    packets.append(ipv4(CLIENT, SERVER, 6, tcp(port, 443, end, 8, ACK | FIN)))
    return packets


def ethernet(packet):
    return bytes([2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1, 8, 0]) + packet


def pktap(packet):
    # Apple's header: its length, a packet follows, Ethernet behind it, the interface's name.
    return (struct.pack("<III", 108, 1, 1) + b"en0").ljust(108, b"\0") + ethernet(packet)


def pcap(packets, link=101):
    out = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, link)
    for i, p in enumerate(packets):
        frame = {1: ethernet, 258: pktap}.get(link, lambda p: p)(p)
        out += struct.pack("<IIII", 1700000000, i * 1000, len(frame), len(frame)) + frame
    return out


def pcapng(packets, link=101):
    def block(kind, body):
        body += bytes(-len(body) % 4)
        return struct.pack("<II", kind, len(body) + 12) + body + struct.pack("<I", len(body) + 12)
    out = block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))
    out += block(1, struct.pack("<HHI", link, 0, 65535))
    for i, p in enumerate(packets):
        stamp = 1700000000 * 1000000 + i * 1000
        out += block(6, struct.pack("<IIIII", 0, stamp >> 32, stamp & 0xFFFFFFFF, len(p), len(p)) + p)
    return out


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    seeds = {
        "rules_check": {
            "plain.json": b'{"isEnabled": true, "domains": ["blocked.example", "ads.example.org"]}\n',
            "problems.json": b'{\n  "isEnabled": true,\n  "domains": [\n    "Upper.Example.",\n'
                             b'    " spaced.example",\n    "*.wild.example",\n    "http://x.example/",\n'
                             b'    "dup.example",\n    "dup.example",\n    ""\n  ]\n}\n',
            "disabled.json": b'{"isEnabled":false,"domains":[]}',
            "broken.json": b'{"isEnabled": true, "domains": ["a.example",',
        },
        "blocklist_import": {
            "hosts.txt": b"# hosts\n127.0.0.1 localhost\n0.0.0.0 ads.example tracker.example # c\n"
                         b"::1 ip6-localhost\n192.0.2.1 real.example\r\n",
            "plain.txt": b"\xef\xbb\xbfblocked.example\nUPPER.example.\n*.wild.example\nsingle\n"
                         b"203.0.113.9\n",
            "adblock.txt": b"[Adblock Plus 2.0]\n! comment\n||ads.example^\n||x.example^$third-party\n"
                           b"@@||ok.example^\nexample.com##.banner\n||path.example/ad^\n",
            "dnsmasq.txt": b"address=/ads.example/0.0.0.0\nserver=/srv.example/\nlocal=/loc.example/\n"
                           b"address=/a.example/b.example/#\nserver=/fwd.example/192.0.2.53\n",
            "idn.txt": b"0.0.0.0 B\xc3\xbccher.Example.\nstra\xc3\x9fe.de\n\xcc\x81x.example\n"
                       b"*.wild.example\ndeep.wild.example\n",
        },
        # First line: the name to explain; the rest: the entries.
        "explain": {
            "url.txt": b"https://user@WWW.Ads.Example.com:8443/path?q\nads.example.com\nexample.org\n",
            "ipv6.txt": b"[2001:db8::1]:80\n2001:db8::1\n.example\n",
            "idn.txt": b"B\xc3\x9cCHER.example.\nxn--bcher-kva.example\n",
        },
        "list_sources": {
            "sources.list": b"# lists\nhttps://lists.example/hosts.txt hosts\n/srv/mine.txt   # local\n"
                            b"http://x.example/a dnsmasq\n",
        },
    }
    # simdjson is not instrumented: without seeds the loader fuzzer rarely gets past the parser.
    seeds["rules_json"] = dict(seeds["rules_check"])
    seeds["rules_json"]["escapes.json"] = (b'{"domains": ["caf\\u00e9.example", "\\ud83d\\ude00.example"],'
                                           b' "isEnabled": true, "extra": {"nested": [1, 2.5e3, null]}}')
    wrap = 0xFFFFFFF0  # the ClientHello crosses the 32-bit sequence wrap
    traffic = (connection(40001, "blocked.example", 1000)
               + connection(40002, "www.allowed.example", wrap, cut=20)
               + connection(40003, "sub.example.org", 5000, records=4)
               + [ipv4(CLIENT, SERVER, 17, udp(40004, 443, b"\xc0quic"))])
    seeds["replay_capture"] = {
        "raw.pcap": pcap(traffic),
        "ethernet.pcap": pcap(traffic[:6], link=1),
        "pktap.pcap": pcap(traffic[:6], link=258),
        "raw.pcapng": pcapng(traffic[6:]),
    }
    for fuzzer, files in seeds.items():
        os.makedirs(os.path.join(root, fuzzer), exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(root, fuzzer, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
