"""WebSocket clients of a server on 127.0.0.1 that stop reading, and one that
keeps reading.

usage: ws_stalled.py PORT COUNT MARK

Opens COUNT connections with a small receive buffer, completes their opening
handshakes and reads nothing more; then one more connection that reads every
frame. Prints "stalled COUNT" once all are open, and "reader MARK" when the
reading one gets a text frame that contains MARK. After a line "read" on
standard input, reads each stalled connection to its end and prints "close I
CODE" for a close frame (answered with a close of the same code) or "eof I"
when the connection ended without one. Prints "done" last.
"""
import os
import socket
import struct
import sys
import threading

KEY = "dGhlIHNhbXBsZSBub25jZQ=="


def connect(port, rcvbuf):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.settimeout(60)
    s.connect(("127.0.0.1", port))
    s.sendall((f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
               f"Connection: Upgrade\r\nSec-WebSocket-Key: {KEY}\r\n"
               "Sec-WebSocket-Version: 13\r\n\r\n").encode())
    head = b""
    while b"\r\n\r\n" not in head:
        # One byte at a time: nothing of the first frames is read by mistake.
        b = s.recv(1)
        if not b:
            raise SystemExit("handshake failed")
        head += b
    if not head.startswith(b"HTTP/1.1 101"):
        raise SystemExit("refused: " + head.decode(errors="replace"))
    return s


def read_exact(s, n):
    out = bytearray()
    while len(out) < n:
        b = s.recv(min(n - len(out), 1 << 20))
        if not b:
            return None
        out += b
    return bytes(out)


def frames(s):
    """Yields (opcode, payload) until the connection ends."""
    while True:
        h = read_exact(s, 2)
        if h is None:
            return
        n = h[1] & 0x7F
        if n == 126:
            n = struct.unpack("!H", read_exact(s, 2))[0]
        elif n == 127:
            n = struct.unpack("!Q", read_exact(s, 8))[0]
        payload = read_exact(s, n)
        if payload is None:
            return
        yield h[0] & 0x0F, payload


def close_frame(code):
    mask = os.urandom(4)
    payload = struct.pack("!H", code)
    return bytes([0x88, 0x80 | len(payload)]) + mask + bytes(
        b ^ mask[i % 4] for i, b in enumerate(payload))


def main():
    port, count, mark = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3].encode()
    stalled = [connect(port, 4096) for _ in range(count)]
    reader = connect(port, 0)

    def read_all():
        for opcode, payload in frames(reader):
            if opcode == 1 and mark in payload:
                print("reader", mark.decode(), flush=True)

    threading.Thread(target=read_all, daemon=True).start()
    print("stalled", count, flush=True)
    if sys.stdin.readline().strip() != "read":
        return
    for i, s in enumerate(stalled):
        result = f"eof {i}"
        try:
            for opcode, payload in frames(s):
                if opcode == 8:
                    code = struct.unpack("!H", payload[:2])[0] if len(payload) >= 2 else 1005
                    s.sendall(close_frame(code))
                    result = f"close {i} {code}"
                    break
        except OSError as e:
            result += f" ({e})"
        print(result, flush=True)
        s.close()
    print("done", flush=True)


main()
