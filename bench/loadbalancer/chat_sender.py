"""The sending side of the load-balancer benchmark: one python3-websockets
client of a chat server that sends lines on command and drains what it gets.

usage: chat_sender.py URL

Prints "open" once connected. Standard input lines:
  line <text>              send the text once
  burst <n> <size> <last>  send n lines of about size bytes, the last one being <last>
"""
import asyncio
import sys

import websockets


async def drain(ws):
    try:
        async for _ in ws:
            pass
    except websockets.ConnectionClosed:
        pass


async def main():
    async with websockets.connect(sys.argv[1], compression=None, max_size=None,
                                  max_queue=None) as ws:
        task = asyncio.create_task(drain(ws))
        print("open", flush=True)
        loop = asyncio.get_running_loop()
        while True:
            line = await loop.run_in_executor(None, sys.stdin.readline)
            if not line:
                break
            command, _, rest = line.rstrip("\n").partition(" ")
            if command == "line":
                await ws.send(rest)
            elif command == "burst":
                n, size, last = rest.split(" ", 2)
                for i in range(int(n) - 1):
                    head = "line %06d " % i
                    await ws.send(head + "x" * max(0, int(size) - len(head)))
                await ws.send(last)
                print("sent", flush=True)
        task.cancel()


asyncio.run(main())
