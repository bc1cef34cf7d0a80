#!/usr/bin/env python3
"""Plain-HTTP client moves the stock clients cannot make. Prints one word (or a number).

  http_probe.py ADDRESS HOST split
        the request head in three writes 200 ms apart, cut inside the Host line;
        prints "answered" or "reset"
  http_probe.py ADDRESS HOST silent SECONDS
        connects, sends nothing for SECONDS, then the request; "answered" or "reset"
  http_probe.py ADDRESS - http10
        an HTTP/1.0 request without Host; "answered" or "reset"
  http_probe.py ADDRESS HOST reset-after RULES NEWRULES PID
        a keep-alive request answered, then NEWRULES written over RULES and SIGHUP to PID;
        prints the milliseconds until the idle connection is reset, or "open" when a second
        request on it is still answered after 3 s
  http_probe.py ADDRESS HOST padded BYTES
        a request with BYTES of headers (lines of 4,000) before its Host line; "answered" or
        "reset"
  http_probe.py ADDRESS HOST method TOKEN SECOND
        a request for HOST with the method TOKEN, then a GET for SECOND on the same connection;
        prints what became of the second, "answered" or "reset"
  http_probe.py ADDRESS HOST upgrade SECOND
        the same with a GET asking to upgrade to WebSocket first
  http_probe.py ADDRESS HOST both-lengths SECOND
        the same with a chunked POST that also carries Content-Length first
  http_probe.py ADDRESS HOST upload MEGABYTES SECOND
        the same with a POST of MEGABYTES of zeros (Content-Length) first
  http_probe.py ADDRESS HOST upload-chunked MEGABYTES SECOND
        the same with the zeros in one chunk of a chunked POST
  http_probe.py ADDRESS HOST get-body SECOND [THIRD]
        a GET for HOST whose Content-Length body is a GET for SECOND (then one for THIRD), which
        a server that ignores GET bodies (python's http.server) answers as the next requests;
        "answered" (all) or "reset"
  http_probe.py ADDRESS HOST get-body-method TOKEN SECOND [chunked]
        a GET for HOST whose body (Content-Length, or chunked: then TOKEN's request line is the
        first chunk's size line) is a TOKEN request for HOST, then a GET for SECOND; a server that
        ignores GET bodies and answers any method answers all three; "answered" or "reset"
  http_probe.py ADDRESS HOST urgent
        a request for HOST with an urgent byte "x" sent after the name (the server's application
        does not read it: it sees HOST, a filter that reads it sees HOSTx); "answered" or
        "refused" (no answer within 2 s, or a reset)
  http_probe.py ADDRESS HOST space-colon
        a request whose Host line has a space before its colon; "answered" or "reset"
  http_probe.py ADDRESS HOST tabs
        a request line split by tabs (python's http.server splits on any white space)
  http_probe.py ADDRESS HOST then SECOND [pipelined]
        a request for HOST answered, then one for SECOND on the same connection (pipelined: both
        in one write); prints what became of the second, "answered" or "reset"
  http_probe.py ADDRESS HOST download PATH SECOND
        a GET for HOST's /PATH read whole (a long response), then a request for SECOND on the
        same connection; prints what became of the second
"""
import os
import signal
import socket
import sys
import time


def connect(address):
    family = socket.AF_INET6 if ":" in address else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sock.settimeout(5)
    sock.connect((address, 80))
    return sock


def request(host, version="1.1"):
    head = f"GET /index.html HTTP/{version}\r\n"
    if host:
        head += f"Host: {host}\r\n"
    return (head + "User-Agent: quillnest-probe\r\nAccept: */*\r\n\r\n").encode()


_unread = {}  # bytes a socket delivered past the response read last


def read_response(sock):
    """Reads one response with a Content-Length body; None when the connection is reset."""
    data = _unread.pop(sock, b"")
    try:
        while b"\r\n\r\n" not in data:
            chunk = sock.recv(4096)
            if not chunk:
                return None
            data += chunk
        head, _, rest = data.partition(b"\r\n\r\n")
        body = bytearray(rest)
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
        while len(body) < length:
            chunk = sock.recv(1 << 16)
            if not chunk:
                return None
            body += chunk
        # Two answers may come in one read: the second stays for the next call.
        _unread[sock] = bytes(body[length:])
        return head + b"\r\n\r\n" + bytes(body[:length])
    except (ConnectionError, OSError):
        return None


def outcome(sock, payload_writes, pause=0.2):
    try:
        for i, piece in enumerate(payload_writes):
            if i:
                time.sleep(pause)
            sock.sendall(piece)
    except (ConnectionError, OSError):
        return "reset"
    return "answered" if read_response(sock) else "reset"


def main():
    address, host, mode = sys.argv[1], sys.argv[2], sys.argv[3]
    try:
        sock = connect(address)
    except (ConnectionError, OSError):
        print("reset")
        return
    if mode == "split":
        head = request(host)
        cut = head.index(b"Host: ") + 8
        print(outcome(sock, [head[:20], head[20:cut], head[cut:]]))
    elif mode == "silent":
        time.sleep(float(sys.argv[4]))
        print(outcome(sock, [request(host)]))
    elif mode == "padded":
        size = int(sys.argv[4])
        pads = "".join(f"X-Pad{i}: {'a' * 4000}\r\n" for i in range(size // 4000))
        head = f"GET /index.html HTTP/1.1\r\n{pads}Host: {host}\r\n\r\n".encode()
        print(outcome(sock, [head]))
    elif mode in ("method", "upgrade", "both-lengths", "upload", "upload-chunked"):
        if mode == "method":
            head = f"{sys.argv[4]} /index.html HTTP/1.1\r\nHost: {host}\r\n\r\n"
        elif mode == "upgrade":
            head = (f"GET /index.html HTTP/1.1\r\nHost: {host}\r\nConnection: Upgrade\r\n"
                    "Upgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")
        elif mode == "upload":
            head = (f"POST /index.html HTTP/1.1\r\nHost: {host}\r\n"
                    f"Content-Length: {int(sys.argv[4]) << 20}\r\n\r\n")
        elif mode == "upload-chunked":
            head = (f"POST /index.html HTTP/1.1\r\nHost: {host}\r\n"
                    f"Transfer-Encoding: chunked\r\n\r\n{int(sys.argv[4]) << 20:x}\r\n")
        else:
            head = (f"POST /index.html HTTP/1.1\r\nHost: {host}\r\n"
                    "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n0\r\n\r\n")
        try:
            sock.sendall(head.encode())
            if mode.startswith("upload"):
                zeros = bytes(1 << 20)
                for _ in range(int(sys.argv[4])):
                    sock.sendall(zeros)
                if mode == "upload-chunked":
                    sock.sendall(b"\r\n0\r\n\r\n")
            first = read_response(sock)
        except (ConnectionError, OSError):
            first = None
        print(outcome(sock, [request(sys.argv[-1])]) if first else "reset")
    elif mode in ("get-body", "get-body-method"):
        framing = None
        if mode == "get-body":
            body = b"".join(request(name) for name in sys.argv[4:])
            answers = len(sys.argv) - 3
        else:
            inner = f"{sys.argv[4]} /index.html HTTP/1.1\r\nHost: {host}\r\n\r\n".encode()
            body = inner + request(sys.argv[5])
            answers = 3
            if sys.argv[6:] == ["chunked"]:
                framing = "Transfer-Encoding: chunked"
        framing = framing or f"Content-Length: {len(body)}"
        head = f"GET /index.html HTTP/1.1\r\nHost: {host}\r\n{framing}\r\n\r\n"
        try:
            sock.sendall(head.encode() + body)
        except (ConnectionError, OSError):
            print("reset")
            return
        answered = all(read_response(sock) is not None for _ in range(answers))
        print("answered" if answered else "reset")
    elif mode == "urgent":
        sock.settimeout(2)
        try:
            sock.sendall(f"GET /index.html HTTP/1.1\r\nHost: {host}".encode())
            time.sleep(0.1)
            sock.send(b"x", socket.MSG_OOB)
            time.sleep(0.1)
            sock.sendall(b"\r\n\r\n")
        except (ConnectionError, OSError):
            print("refused")
            return
        print("answered" if read_response(sock) else "refused")
    elif mode == "space-colon":
        print(outcome(sock, [f"GET /index.html HTTP/1.1\r\nHost : {host}\r\n\r\n".encode()]))
    elif mode == "tabs":
        print(outcome(sock, [f"GET\t/index.html\tHTTP/1.1\r\nHost: {host}\r\n\r\n".encode()]))
    elif mode == "http10":
        print(outcome(sock, [request(None, "1.0")]))
    elif mode == "then":
        second = request(sys.argv[4])
        if len(sys.argv) > 5 and sys.argv[5] == "pipelined":
            try:
                sock.sendall(request(host) + second)
            except (ConnectionError, OSError):
                print("reset")
                return
            # One segment carries both: a reset for the second takes the first with it.
            answered = read_response(sock) is not None and read_response(sock) is not None
            print("answered" if answered else "reset")
            return
        if outcome(sock, [request(host)]) != "answered":
            print("first-request-failed")
            return
        print(outcome(sock, [second]))
    elif mode == "download":
        # A long response (the file at PATH), then a request for NAME on the same connection.
        first = request(host).replace(b"/index.html", b"/" + sys.argv[4].encode())
        if outcome(sock, [first]) != "answered":
            print("first-request-failed")
            return
        print(outcome(sock, [request(sys.argv[5])]))
    elif mode == "reset-after":
        if outcome(sock, [request(host)]) != "answered":
            print("first-request-failed")
            return
        with open(sys.argv[5], "rb") as new, open(sys.argv[4] + ".tmp", "wb") as out:
            out.write(new.read())
        os.replace(sys.argv[4] + ".tmp", sys.argv[4])
        start = time.monotonic()
        os.kill(int(sys.argv[6]), signal.SIGHUP)
        # The server keeps an idle keep-alive connection open: an error or end of stream here is
        # the filter's reset.
        sock.settimeout(3)
        try:
            ended = sock.recv(1) == b""
        except socket.timeout:
            ended = False
        except (ConnectionError, OSError):
            ended = True
        if ended:
            print(int((time.monotonic() - start) * 1000))
        else:
            print("open" if outcome(sock, [request(host)]) == "answered" else "reset-late")
    else:
        print("unknown mode")


if __name__ == "__main__":
    main()
