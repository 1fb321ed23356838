"""A plain HTTP/1.1 server for interoperability tests (python's http.server).

Prints "listening PORT" once it accepts connections. Every answer names the
client's port in X-Client-Port (so a test can tell kept connections apart).
  GET  /hello        "hello"
  GET  /big?n=N      N bytes of "x"
  GET  /redirect     302 to /hello
  POST /echo         the request body; X-Method and X-Content-Type name the
                     request's method and Content-Type
Options: --port N (0: any), --tls CERT KEY.
"""
import argparse
import http.server
import ssl
import sys
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def answer(self, status, body, extra=()):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("X-Client-Port", str(self.client_address[1]))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        url = urllib.parse.urlparse(self.path)
        if url.path == "/hello":
            self.answer(200, b"hello")
        elif url.path == "/big":
            n = int(urllib.parse.parse_qs(url.query).get("n", ["0"])[0])
            self.answer(200, b"x" * n)
        elif url.path == "/redirect":
            self.answer(302, b"", [("Location", "/hello")])
        else:
            self.answer(404, b"not found")

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        self.answer(200, body, [("X-Method", "POST"),
                                ("X-Content-Type", self.headers.get("Content-Type", ""))])


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    args = p.parse_args()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls[0], args.tls[1])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("listening", server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
