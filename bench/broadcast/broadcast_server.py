"""The broadcast side of the broadcast benchmark on python3-websockets: every line
read from standard input goes to every open client with websockets.broadcast (no
compression, no keep-alive pings). Prints "listening on 127.0.0.1:PORT" once it
accepts connections; ends at the end of its input."""
import asyncio
import sys

import websockets

clients = set()


async def handler(ws):
    clients.add(ws)
    try:
        await ws.wait_closed()
    finally:
        clients.discard(ws)


async def main():
    async with websockets.serve(handler, "127.0.0.1", 0, compression=None, max_size=None,
                                ping_interval=None) as server:
        port = server.sockets[0].getsockname()[1]
        print(f"listening on 127.0.0.1:{port}", flush=True)
        loop = asyncio.get_running_loop()
        reader = asyncio.StreamReader(limit=1 << 20)
        await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
        while line := await reader.readline():
            websockets.broadcast(clients, line.decode().rstrip("\n"))


asyncio.run(main())
