"""Chat clients on python3-websockets, each placed through a load balancer's
binding query, driven by lines.

usage: lb_clients.py BALANCERS N

BALANCERS is a comma-separated list of host:port; client i asks balancer
i mod len(BALANCERS) for its server ("GET /kbz@lb@client@get@binding"), then
connects there and waits for the server's "#kbz_id:<identifier>" greeting.
Clients are placed one after the other; each prints
"placed <i> <host>:<port> <identifier>", then "ready" once all are connected.
Every message a client receives afterwards is printed as "recv <i> <text>".
Standard input lines:
  send <i> <text>   client i sends the text
  close <i>         client i closes with 1000
"""
import asyncio
import http.client
import json
import sys

import websockets


def binding(balancer):
    host, _, port = balancer.rpartition(":")
    connection = http.client.HTTPConnection(host, int(port), timeout=10)
    try:
        connection.request("GET", "/kbz@lb@client@get@binding")
        answer = connection.getresponse()
        body = answer.read().decode()
        if answer.status != 200:
            raise RuntimeError("binding query: %d %s" % (answer.status, body))
        record = json.loads(body)
        return record["host"], int(record["port"]), bool(record["ssl"])
    finally:
        connection.close()


async def reader(index, ws):
    try:
        async for message in ws:
            print("recv", index, message, flush=True)
    except websockets.ConnectionClosed:
        pass


async def main():
    balancers = sys.argv[1].split(",")
    count = int(sys.argv[2])
    loop = asyncio.get_running_loop()
    clients = []
    for i in range(count):
        host, port, ssl = await loop.run_in_executor(None, binding, balancers[i % len(balancers)])
        scheme = "wss" if ssl else "ws"
        ws = await websockets.connect("%s://%s:%d/" % (scheme, host, port), open_timeout=10)
        greeting = await asyncio.wait_for(ws.recv(), 10)
        if not greeting.startswith("#kbz_id:"):
            raise RuntimeError("no greeting: " + greeting)
        print("placed", i, "%s:%d" % (host, port), greeting[len("#kbz_id:"):], flush=True)
        clients.append(ws)
    tasks = [asyncio.create_task(reader(i, ws)) for i, ws in enumerate(clients)]
    print("ready", flush=True)
    while True:
        line = await loop.run_in_executor(None, sys.stdin.readline)
        if not line:
            break
        command, _, rest = line.rstrip("\n").partition(" ")
        index, _, text = rest.partition(" ")
        if command == "send":
            await clients[int(index)].send(text)
        elif command == "close":
            await clients[int(index)].close(1000)
    for ws in clients:
        await ws.close()
    await asyncio.gather(*tasks)


asyncio.run(main())
