"""Loads pages in headless Chromium, one after the other, runs a script in each
once it has loaded, and prints for each "result N VALUE": N counts the pages
from 1, VALUE is what the script's expression (or the promise it gives)
comes to, "exception ..." when it raised, "timeout" after 30 seconds.

usage: chromium_eval.py CHROMIUM URL SCRIPTFILE [URL SCRIPTFILE]...

Chromium is driven over its DevTools protocol (a WebSocket).
"""
import asyncio
import json
import re
import sys
import tempfile

import websockets

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-port=0"]


async def main():
    chromium, rest = sys.argv[1], sys.argv[2:]
    pages = [(rest[i], open(rest[i + 1]).read()) for i in range(0, len(rest) - 1, 2)]
    profile = tempfile.mkdtemp(prefix="kbz-chromium-")
    proc = await asyncio.create_subprocess_exec(
        chromium, *FLAGS, f"--user-data-dir={profile}", "about:blank",
        stdout=asyncio.subprocess.DEVNULL, stderr=asyncio.subprocess.PIPE)
    try:
        endpoint = None
        while endpoint is None:
            line = await asyncio.wait_for(proc.stderr.readline(), 30)
            if not line:
                raise SystemExit("chromium ended before its DevTools endpoint")
            found = re.search(rb"DevTools listening on (ws://\S+)", line)
            if found:
                endpoint = found.group(1).decode()

        async def drain():
            # Chromium's own messages must not fill the pipe and stall it.
            while await proc.stderr.readline():
                pass
        drainer = asyncio.ensure_future(drain())

        async with websockets.connect(endpoint, max_size=None) as cdp:
            counter = 0

            async def call(method, params=None, session=None, timeout=30):
                nonlocal counter
                counter += 1
                message = {"id": counter, "method": method, "params": params or {}}
                if session:
                    message["sessionId"] = session
                await cdp.send(json.dumps(message))
                while True:
                    answer = json.loads(await asyncio.wait_for(cdp.recv(), timeout))
                    if answer.get("id") == counter:
                        return answer

            for number, (url, script) in enumerate(pages, 1):
                target = await call("Target.createTarget", {"url": url})
                attached = await call("Target.attachToTarget",
                                      {"targetId": target["result"]["targetId"], "flatten": True})
                session = attached["result"]["sessionId"]
                loop = asyncio.get_running_loop()
                deadline = loop.time() + 20
                while loop.time() < deadline:
                    # The new target shows about:blank, complete, before it navigates.
                    state = await call("Runtime.evaluate", {
                        "expression": "location.href + ' ' + document.readyState",
                        "returnByValue": True}, session)
                    if state.get("result", {}).get("result", {}).get("value") == url + " complete":
                        break
                    await asyncio.sleep(0.05)
                try:
                    answer = await call("Runtime.evaluate", {
                        "expression": script, "awaitPromise": True, "returnByValue": True},
                        session, timeout=30)
                    result = answer.get("result", {})
                    if "exceptionDetails" in result:
                        details = result["exceptionDetails"]
                        text = "exception " + details.get("exception", {}).get(
                            "description", details.get("text", ""))
                    else:
                        text = str(result.get("result", {}).get("value", ""))
                except asyncio.TimeoutError:
                    text = "timeout"
                print(f"result {number} " + " ".join(text.split()), flush=True)
                await call("Target.closeTarget", {"targetId": target["result"]["targetId"]})
        drainer.cancel()
    finally:
        proc.terminate()
        await proc.wait()


asyncio.run(main())
