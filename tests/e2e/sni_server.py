#!/usr/bin/env python3
"""HTTPS (HTTP/1.1) server that writes the server name of every ClientHello it receives, one per
line ("-" for none), to LOG before the handshake goes on, and answers any path with a short page
("/wait" after 7 s, to keep a browser open that long).

  sni_server.py ADDRESS CERT KEY LOG
"""
import http.server
import socketserver
import ssl
import sys
import time


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        if self.path == "/wait":
            time.sleep(7)
        body = b"quillnest ech page"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, fmt, *args):
        pass


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # failed handshakes are part of the test


def main():
    address, cert, key, log = sys.argv[1:5]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    context.set_alpn_protocols(["http/1.1"])

    def seen(_socket, name, _context):
        with open(log, "a") as f:
            f.write((name or "-") + "\n")

    context.sni_callback = seen
    server = Server((address, 443), Handler)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
