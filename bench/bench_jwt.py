#!/usr/bin/env python3
"""Token verifications per second: ours (kbz_bench JWT/verify/*) against python3-jwt's
jwt.decode on the same kind of token (same claims, same keys), in one run; prints both rates
and our ratio.
    bench/bench_jwt.py [build folder, default build]"""
import json
import os
import subprocess
import sys
import time

import jwt

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = os.path.join(root, sys.argv[1] if len(sys.argv) > 1 else "build")
keys = os.path.join(root, "tests", "auth", "keys")
secret = "a secret of the benchmark, 32 bytes"


def python_rate(alg, seconds=2.0, loaded=False):
    now = int(time.time())
    claims = {"sub": "1234567890", "iat": now, "exp": now + 3600, "name": "John Doe",
              "admin": True}
    if alg == "HS256":
        sign_key = verify_key = secret
    else:
        sign_key = open(os.path.join(keys, "ec_p256_private.pem"), "rb").read()
        verify_key = open(os.path.join(keys, "ec_p256_public.pem"), "rb").read()
    token = jwt.encode(claims, sign_key, algorithm=alg)
    if loaded:
        # The key parsed once, as an application that keeps its key object would.
        from cryptography.hazmat.primitives.serialization import load_pem_public_key
        verify_key = load_pem_public_key(verify_key)
    count, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        for _ in range(100):
            jwt.decode(token, verify_key, algorithms=[alg])
        count += 100
    return count / (time.perf_counter() - start)


out = subprocess.run([os.path.join(build, "kbz_bench"), "--benchmark_filter=^JWT/",
                      "--benchmark_format=json", "--benchmark_min_time=2"],
                     check=True, capture_output=True, text=True).stdout
ours = {b["name"].split("/")[-1]: b["items_per_second"] for b in json.loads(out)["benchmarks"]}
print(f"{'alg':>6} {'kbz verif/s':>12} {'python3-jwt verif/s':>20} {'kbz/python':>11}")
for label, alg, loaded in (("HS256", "HS256", False), ("ES256", "ES256", False),
                          ("ES256*", "ES256", True)):
    theirs = python_rate(alg, loaded=loaded)
    print(f"{label:>6} {ours[alg]:12.0f} {theirs:20.0f} {ours[alg] / theirs:11.2f}")
print("ES256*: python3-jwt given a key object parsed once instead of the PEM text")
