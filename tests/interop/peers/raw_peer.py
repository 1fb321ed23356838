"""Small raw TCP peers for the client's interoperability tests.

Prints "listening PORT" once it accepts connections. Modes:
  tcp-echo         send back every chunk received; prints "received TEXT" for each
                   chunk (TEXT a JSON string of the bytes read as UTF-8)
  redirect URL     answer every HTTP request with "302 Found" and "Location: URL",
                   then close; "{port}" in URL stands for this peer's own port;
                   prints "redirected" per request
  ws-mute          complete the WebSocket opening handshake, then read and never answer;
                   prints "frame OPCODE" for each frame header it sees (8: a close)
Options: --port N (0: any).
"""
import argparse
import asyncio
import base64
import hashlib
import json
import sys


async def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, default=0)
    p.add_argument("mode")
    p.add_argument("target", nargs="?")
    args = p.parse_args()
    port = 0

    async def tcp_echo(reader, writer):
        try:
            while True:
                data = await reader.read(65536)
                if not data:
                    break
                print("received", json.dumps(data.decode("utf-8", "replace")), flush=True)
                writer.write(data)
                await writer.drain()
        except ConnectionError:
            pass
        finally:
            writer.close()

    async def redirect(reader, writer):
        try:
            await reader.readuntil(b"\r\n\r\n")
            location = args.target.replace("{port}", str(port))
            writer.write(("HTTP/1.1 302 Found\r\nLocation: %s\r\nContent-Length: 0\r\n\r\n"
                          % location).encode())
            await writer.drain()
            print("redirected", flush=True)
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            writer.close()

    async def ws_mute(reader, writer):
        try:
            head = (await reader.readuntil(b"\r\n\r\n")).decode("latin-1")
            key = ""
            for line in head.split("\r\n"):
                name, _, value = line.partition(":")
                if name.strip().lower() == "sec-websocket-key":
                    key = value.strip()
            accept = base64.b64encode(hashlib.sha1(
                (key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").encode()).digest()).decode()
            writer.write(("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                          "Connection: Upgrade\r\nSec-WebSocket-Accept: %s\r\n\r\n"
                          % accept).encode())
            await writer.drain()
            while True:
                header = await reader.readexactly(2)
                length = header[1] & 0x7F
                if length == 126:
                    length = int.from_bytes(await reader.readexactly(2), "big")
                elif length == 127:
                    length = int.from_bytes(await reader.readexactly(8), "big")
                await reader.readexactly(length + (4 if header[1] & 0x80 else 0))
                print("frame", header[0] & 0x0F, flush=True)
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            writer.close()

    handlers = {"tcp-echo": tcp_echo, "redirect": redirect, "ws-mute": ws_mute}
    server = await asyncio.start_server(handlers[args.mode], "127.0.0.1", args.port)
    port = server.sockets[0].getsockname()[1]
    print("listening", port, flush=True)
    await asyncio.Future()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
