"""Small raw TCP peers for the client's interoperability tests.

Prints "listening PORT" once it accepts connections. Modes:
  tcp-echo         send back every chunk received; prints "received TEXT" for each
                   chunk (TEXT a JSON string of the bytes read as UTF-8)
  redirect URL     answer every HTTP request with "302 Found" and "Location: URL",
                   then close; "{port}" in URL stands for this peer's own port;
                   prints "redirected" per request
Options: --port N (0: any).
"""
import argparse
import asyncio
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

    handlers = {"tcp-echo": tcp_echo, "redirect": redirect}
    server = await asyncio.start_server(handlers[args.mode], "127.0.0.1", args.port)
    port = server.sockets[0].getsockname()[1]
    print("listening", port, flush=True)
    await asyncio.Future()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
