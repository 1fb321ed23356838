"""A WebSocket server for interoperability tests (python websockets).

Prints "listening PORT [PORT...]" once it accepts connections: one listener per
--config (one with the default configuration when none is given), all in the
same mode. Modes:
  echo            send back every message as the same type (default)
  echo-fragmented send back every message as the same type, cut into three fragments
  close:CODE      close each connection with CODE right after the handshake
  silent          never answer pings (keep-alive pings off; pongs not sent)
  driver          send the driver messages and a ping, expect every message back
                  unchanged, print "driver ok" (then close with 1000) or
                  "driver failed: WHY" (then close with 4001)
  badutf8         send a text frame that is not UTF-8, print "closed CODE" once
                  the client has closed
  request         send "PATH|AUTHORIZATION|..." (the request path and every Authorization
                  header as received), then echo
  pattern:SIZE:FRAGMENT  send one binary message of SIZE bytes (byte i is i mod 256)
                  cut into FRAGMENT-byte frames (0: one frame), expect it back
                  unchanged: print "pattern ok" (then close with 1000), or
                  "closed CODE" when the client closed instead, or
                  "pattern failed: WHY" (then close with 4001)
Options: --port N (the first listener; 0: any), --host ADDRESS (127.0.0.1), --tls CERT KEY,
  --tls13 (TLS 1.3 only), --report-pings (print "ping PAYLOAD" for every ping received),
  --basic-auth USER:PASSWORD (python's own HTTP Basic check: other credentials get 401),
  --report-messages (print "message TEXT" for every text received), --report-close (print
  "closed CODE" when a connection ends), --report-headers (print "header NAME: VALUE" for
  each request header and "subprotocol NAME" once connected), --subprotocols A,B (offered
  to clients, the first one asked for wins),
  --config "none" | "k=v,k,..." (permessage-deflate options of the server:
  server_max_window_bits=N, client_max_window_bits=N, server_no_context_takeover,
  client_no_context_takeover); may be repeated.
"""
import argparse
import asyncio
import ssl
import sys

import websockets
from websockets.extensions.permessage_deflate import ServerPerMessageDeflateFactory

# What the driver sends; the echo must bring back each item unchanged and in order.
# A list is one message sent in fragments.
DRIVER_MESSAGES = [
    "",
    "a",
    "h\u00e9llo w\u00f6rld \u2713 \U0001F600 \"quoted\" \\ back\nslash",
    "".join(chr(ord("a") + i % 26) for i in range(1024)),
    "0123456789abcdef" * 4096,
    b"",
    b"\x00",
    bytes(range(256)) * 4,
    ["frag", "m\u00e9nt", "ed \U0001F600"],
    [b"\x01\x02", b"", b"\x03"],
]


def deflate_extensions(config):
    if config == "none":
        return []
    kw = {}
    for item in filter(None, (s.strip() for s in config.split(","))):
        name, _, value = item.partition("=")
        kw[name] = int(value) if value else True
    return [ServerPerMessageDeflateFactory(**kw)]


def expected_echo(message):
    if isinstance(message, list):
        return message[0][:0].join(message)
    return message


async def drive(ws):
    for message in DRIVER_MESSAGES:
        await ws.send(message)
    pong = await ws.ping(b"driver")
    for message in DRIVER_MESSAGES:
        want = expected_echo(message)
        got = await asyncio.wait_for(ws.recv(), 20)
        if type(got) is not type(want) or got != want:
            return "message %r came back as %r" % (want[:40], got[:40])
    await asyncio.wait_for(pong, 20)
    return None


def pattern(size):
    return (bytes(range(256)) * (size // 256 + 1))[:size]


async def send_pattern(ws, size, fragment):
    data = pattern(size)
    if fragment <= 0 or fragment >= size:
        await ws.send(data)
    else:
        await ws.send(data[i:i + fragment] for i in range(0, size, fragment))
    try:
        got = await asyncio.wait_for(ws.recv(), 60)
    except websockets.ConnectionClosed:
        await ws.wait_closed()
        print("closed", ws.close_code, flush=True)
        return
    except asyncio.TimeoutError:
        print("pattern failed: timed out", flush=True)
        await ws.close(code=4001)
        return
    if got != data:
        print("pattern failed: came back as %d bytes" % len(got), flush=True)
        await ws.close(code=4001)
        return
    print("pattern ok", flush=True)
    await ws.close(code=1000)


async def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--mode", default="echo")
    p.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    p.add_argument("--config", action="append")
    p.add_argument("--report-pings", action="store_true")
    p.add_argument("--basic-auth")
    p.add_argument("--report-messages", action="store_true")
    p.add_argument("--report-close", action="store_true")
    p.add_argument("--report-headers", action="store_true")
    p.add_argument("--subprotocols", default="")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--tls13", action="store_true")
    args = p.parse_args()

    async def handler(ws, path=None):
        try:
            await serve_one(ws)
        finally:
            if args.report_close:
                await ws.wait_closed()
                print("closed", ws.close_code, flush=True)

    async def serve_one(ws):
        mode = args.mode
        if args.report_headers:
            for name, value in ws.request_headers.raw_items():
                print("header %s: %s" % (name, value), flush=True)
            print("subprotocol", ws.subprotocol, flush=True)
        try:
            if mode.startswith("close:"):
                await ws.close(code=int(mode.split(":")[1]), reason="bye")
                return
            if mode == "driver":
                try:
                    failure = await drive(ws)
                except websockets.ConnectionClosed as e:
                    failure = "connection closed (%s)" % e
                except asyncio.TimeoutError:
                    failure = "timed out"
                if failure:
                    print("driver failed:", failure, flush=True)
                    await ws.close(code=4001, reason="echo mismatch")
                else:
                    print("driver ok", flush=True)
                    await ws.close(code=1000)
                return
            if mode == "request":
                await ws.send("|".join([ws.path] + ws.request_headers.get_all("Authorization")))
                mode = "echo"
            if mode.startswith("pattern:"):
                _, size, fragment = mode.split(":")
                await send_pattern(ws, int(size), int(fragment))
                return
            if mode == "badutf8":
                await ws.write_frame(True, 0x1, b"ok \xff\xfe")
                await ws.wait_closed()
                print("closed", ws.close_code, flush=True)
                return
            if mode == "silent":
                # Stop answering pings: pongs are dropped on the floor.
                ws.pong = lambda data=b"": asyncio.sleep(0)
            elif args.report_pings:
                answer = ws.pong

                async def report_and_answer(data=b""):
                    print("ping", bytes(data).decode("utf-8", "replace"), flush=True)
                    await answer(data)

                ws.pong = report_and_answer
            async for message in ws:
                if args.report_messages and isinstance(message, str):
                    print("message", message, flush=True)
                if mode == "echo-fragmented" and len(message) >= 3:
                    third = len(message) // 3
                    await ws.send([message[:third], message[third:2 * third],
                                   message[2 * third:]])
                else:
                    await ws.send(message)
        except websockets.ConnectionClosed:
            pass

    ctx = None
    if args.tls:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.tls[0], args.tls[1])
        if args.tls13:
            ctx.minimum_version = ssl.TLSVersion.TLSv1_3
    subprotocols = [s for s in args.subprotocols.split(",") if s] or None
    extra = {}
    if args.basic_auth:
        user, _, password = args.basic_auth.partition(":")
        extra["create_protocol"] = websockets.basic_auth_protocol_factory(
            realm="kbz", credentials=(user, password))
    ports = []
    for i, config in enumerate(args.config or [""]):
        server = await websockets.serve(
            handler, args.host, args.port if i == 0 else 0, ssl=ctx,
            extensions=deflate_extensions(config), ping_interval=None, max_size=None,
            compression=None, subprotocols=subprotocols, **extra)
        ports.append(str(server.sockets[0].getsockname()[1]))
    print("listening", " ".join(ports), flush=True)
    await asyncio.Future()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
