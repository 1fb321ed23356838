"""An interactive WebSocket client on python3-websockets, driven by lines.

usage: ws_peer.py URL [deflate|plain]

For wss:// URLs the server's certificate is checked against the CA file that
KBZ_TEST_CA names (the system's CAs without it). user:password@ in the URL is sent as
Basic credentials. Prints "open <extensions>" once connected, or
"error <exception class> [<HTTP status>]" when the connection cannot be opened.
Standard input lines:
  text <payload>        send a text message
  binary <hex>          send a binary message
  long <n>              send a text message of n copies of "a"
  fragments <a> <b> ..  send one text message in those fragments
  pattern <size> <n>    send one binary message of size bytes (byte i is i mod 256)
                        in n-byte frames (0: one frame)
  ping <payload>        send a ping and wait for its pong (prints "pong")
  close                 close with 1000
Every message received is printed as "text <payload>" or "binary <hex>"
("text-len <n>" for texts over 1000 characters, "binary-len <n> pattern|mixed" for
binaries over 1000 bytes); the end as "closed <code>".
"""
import asyncio
import os
import ssl
import sys

import websockets


def pattern(size):
    return (bytes(range(256)) * (size // 256 + 1))[:size]


async def reader(ws):
    try:
        async for message in ws:
            if isinstance(message, bytes) and len(message) > 1000:
                print("binary-len", len(message),
                      "pattern" if message == pattern(len(message)) else "mixed", flush=True)
            elif isinstance(message, bytes):
                print("binary", message.hex(), flush=True)
            elif len(message) > 1000:
                print("text-len", len(message), "all-a" if set(message) == {"a"} else "mixed",
                      flush=True)
            else:
                print("text", message, flush=True)
    except websockets.ConnectionClosed:
        pass
    print("closed", ws.close_code, flush=True)


async def main():
    url = sys.argv[1]
    compression = "deflate" if len(sys.argv) > 2 and sys.argv[2] == "deflate" else None
    extra = {}
    if url.startswith("wss:") and os.environ.get("KBZ_TEST_CA"):
        extra["ssl"] = ssl.create_default_context(cafile=os.environ["KBZ_TEST_CA"])
    try:
        ws = await websockets.connect(url, compression=compression, max_size=None, **extra)
    except Exception as e:  # what the test wants to see is which failure it was
        status = getattr(e, "status_code", None)
        print("error", type(e).__name__, "" if status is None else status, flush=True)
        return
    try:
        print("open", ws.response_headers.get("Sec-WebSocket-Extensions", ""), flush=True)
        task = asyncio.create_task(reader(ws))
        loop = asyncio.get_running_loop()
        while True:
            line = await loop.run_in_executor(None, sys.stdin.readline)
            if not line:
                break
            command, _, rest = line.rstrip("\n").partition(" ")
            if command == "text":
                await ws.send(rest)
            elif command == "binary":
                await ws.send(bytes.fromhex(rest))
            elif command == "long":
                await ws.send("a" * int(rest))
            elif command == "fragments":
                await ws.send(iter(rest.split(" ")))
            elif command == "pattern":
                size, fragment = (int(v) for v in rest.split(" "))
                data = pattern(size)
                if fragment <= 0 or fragment >= size:
                    await ws.send(data)
                else:
                    await ws.send(data[i:i + fragment] for i in range(0, size, fragment))
            elif command == "ping":
                await (await ws.ping(rest))
                print("pong", flush=True)
            elif command == "close":
                await ws.close(1000)
                break
        await task
    finally:
        await ws.close()


asyncio.run(main())
