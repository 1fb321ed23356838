"""Opening handshakes with python3-websockets, each with its own Origin and
Host, against a server on 127.0.0.1.

usage: ws_origins.py PORT CASE...

Each CASE is NAME=HOST=ORIGIN: HOST is what the Host header names (the
connection always goes to 127.0.0.1:PORT), ORIGIN the Origin header ("-" for
none). Prints one line per case, in order: "NAME open" when the server
accepted the upgrade, "NAME refused STATUS" when it answered with another
status, "NAME failed" for anything else.
"""
import asyncio
import sys

import websockets


async def attempt(port, host, origin):
    try:
        async with websockets.connect(
                f"ws://{host}/", host="127.0.0.1", port=port,
                origin=None if origin == "-" else origin,
                open_timeout=10, close_timeout=2):
            return "open"
    except websockets.InvalidStatusCode as e:
        return f"refused {e.status_code}"
    except Exception as e:  # noqa: BLE001 - reported as the case's result
        return f"failed {type(e).__name__}"


async def main():
    port = int(sys.argv[1])
    for case in sys.argv[2:]:
        name, host, origin = case.split("=", 2)
        print(name, await attempt(port, host, origin), flush=True)


asyncio.run(main())
