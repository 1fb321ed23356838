"""A SOCKS 4 and 4A responder for the proxy tests (the packaged SOCKS servers refuse 4A).

Prints "listening PORT" once it accepts, then "request HOST PORT USERID" for every request
(HOST as sent: an address for SOCKS 4, the name for 4A). It only ever connects to loopback:
the name "localhost" and addresses in 127.0.0.0/8; anything else is rejected (0x5B) without
being resolved. Once granted, bytes are relayed both ways until either side closes.
Options: --port N (0: any), --user ID (reject other user ids with 0x5D).
"""
import argparse
import asyncio
import ipaddress
import sys


async def pipe(reader, writer):
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            writer.write(data)
            await writer.drain()
    except (ConnectionError, asyncio.CancelledError):
        pass
    finally:
        try:
            writer.close()
        except Exception:
            pass


async def read_until_nul(reader, limit=1024):
    data = b""
    while True:
        b = await reader.readexactly(1)
        if b == b"\0":
            return data
        data += b
        if len(data) > limit:
            raise ValueError("field too long")


async def handle(reader, writer, args):
    def reply(code):
        writer.write(bytes([0, code, 0, 0, 0, 0, 0, 0]))

    try:
        head = await reader.readexactly(8)
        if head[0] != 4 or head[1] != 1:
            writer.close()
            return
        port = int.from_bytes(head[2:4], "big")
        ip = head[4:8]
        user = (await read_until_nul(reader)).decode("utf-8", "replace")
        if ip[0] == 0 and ip[1] == 0 and ip[2] == 0 and ip[3] != 0:
            host = (await read_until_nul(reader)).decode("utf-8", "replace")
        else:
            host = str(ipaddress.IPv4Address(ip))
        print("request", host, port, user or "-", flush=True)
        if args.user is not None and user != args.user:
            reply(0x5D)
            await writer.drain()
            writer.close()
            return
        if host == "localhost":
            target = "127.0.0.1"
        else:
            try:
                target = str(ipaddress.IPv4Address(host))
            except ValueError:
                target = None
            if target is not None and not ipaddress.IPv4Address(target).is_loopback:
                target = None
        if target is None:
            reply(0x5B)
            await writer.drain()
            writer.close()
            return
        try:
            up_reader, up_writer = await asyncio.open_connection(target, port)
        except OSError:
            reply(0x5B)
            await writer.drain()
            writer.close()
            return
        reply(0x5A)
        await writer.drain()
        await asyncio.gather(pipe(reader, up_writer), pipe(up_reader, writer))
    except (asyncio.IncompleteReadError, ConnectionError, ValueError):
        writer.close()


async def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--user")
    args = p.parse_args()
    server = await asyncio.start_server(lambda r, w: handle(r, w, args), "127.0.0.1", args.port)
    print("listening", server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
