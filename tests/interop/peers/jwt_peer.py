#!/usr/bin/env python3
"""Signs and verifies tokens with python3-jwt for the token tests, one JSON request per line on
standard input, one JSON answer per line on standard output:
  {"op":"sign","alg":"ES256","key":"<secret>"|"keyfile":"<pem>","claims":{...}}  -> {"token":...}
  {"op":"verify","alg":"ES256","key"|"keyfile":...,"token":"..."}            -> {"claims":{...}}
Failures answer {"error": "<class>: <message>"}. Prints "ready" first."""
import json
import sys

import jwt


def key_of(request):
    if "keyfile" in request:
        with open(request["keyfile"], "rb") as f:
            return f.read()
    return request.get("key", "")


def answer(request):
    try:
        if request["op"] == "sign":
            key = key_of(request) if request["alg"] != "none" else None
            return {"token": jwt.encode(request["claims"], key, algorithm=request["alg"])}
        if request["op"] == "verify":
            claims = jwt.decode(request["token"], key_of(request), algorithms=[request["alg"]],
                                options={"verify_aud": False})
            return {"claims": claims}
        return {"error": "unknown op"}
    except Exception as e:  # every failure is an answer, never the end of the peer
        return {"error": type(e).__name__ + ": " + str(e)}


print("ready", flush=True)
for line in sys.stdin:
    if line.strip():
        print(json.dumps(answer(json.loads(line))), flush=True)
