#!/usr/bin/env python3
"""python3-websockets as the client of a server that wants signed tokens: signs the claims with
python3-jwt, connects with "Authorization: Bearer <token>", writes "hello" and prints what
comes back ("echo hello"), or "refused <status>" when the upgrade is answered otherwise.
    jwt_ws_client.py URL ALG KEY_OR_PEM_FILE CLAIMS_JSON"""
import asyncio
import json
import os
import sys

import jwt
import websockets


async def main(url, alg, key, claims):
    if alg != "none" and os.path.isfile(key):
        with open(key, "rb") as f:
            key = f.read()
    token = jwt.encode(json.loads(claims), key if alg != "none" else None, algorithm=alg)
    try:
        async with websockets.connect(url, extra_headers={"Authorization": "Bearer " + token},
                                      open_timeout=20) as ws:
            await ws.send("hello")
            print("echo " + await asyncio.wait_for(ws.recv(), 20), flush=True)
    except websockets.exceptions.InvalidStatusCode as e:
        print("refused %d" % e.status_code, flush=True)


asyncio.run(main(*sys.argv[1:5]))
