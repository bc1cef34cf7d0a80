#!/usr/bin/env python3
"""HTTPS (HTTP/1.1 only) server whose every response advertises HTTP/3 on the same port:
Alt-Svc: h3=":443". "/" is a page that loads "/page.js" before its load event, so a browser
that learnt the Alt-Svc from the first response tries QUIC for the second request, racing TCP.

  altsvc_server.py ADDRESS CERT KEY
"""
import http.server
import socketserver
import ssl
import sys

PAGE = b'<html><body><script src="/page.js"></script></body></html>'
SCRIPT = b'document.body.append("quillnest alt-svc page");'


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        if self.path == "/":
            body, kind = PAGE, "text/html"
        elif self.path == "/page.js":
            body, kind = SCRIPT, "text/javascript"
        else:
            body, kind = b"", "text/plain"
        self.send_response(200 if body else 404)
        self.send_header("Alt-Svc", 'h3=":443"; ma=600')
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, fmt, *args):
        sys.stderr.write("%s\n" % (fmt % args))


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def main():
    address, cert, key = sys.argv[1:4]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    context.set_alpn_protocols(["http/1.1"])
    server = Server((address, 443), Handler)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
