"""An echo server on python3-websockets for the server benchmark (no compression)."""
import asyncio

import websockets


async def echo(ws):
    async for message in ws:
        await ws.send(message)


async def main():
    async with websockets.serve(echo, "127.0.0.1", 0, compression=None, max_size=None) as server:
        port = server.sockets[0].getsockname()[1]
        print(f"listening on 127.0.0.1:{port}", flush=True)
        await asyncio.Future()


asyncio.run(main())
