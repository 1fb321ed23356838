"""Loads pages in headless Chromium, one after the other, and prints for each
the text of its #out element once the page's script has put a result there
("got:..." or "error").

usage: chromium_page.py CHROMIUM URL...

Chromium is driven over its DevTools protocol (a WebSocket), because a
browser's own WebSocket traffic does not hold back a DOM dump.
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
    chromium, urls = sys.argv[1], sys.argv[2:]
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
        async with websockets.connect(endpoint, max_size=None) as cdp:
            counter = 0

            async def call(method, params=None, session=None):
                nonlocal counter
                counter += 1
                message = {"id": counter, "method": method, "params": params or {}}
                if session:
                    message["sessionId"] = session
                await cdp.send(json.dumps(message))
                while True:
                    answer = json.loads(await asyncio.wait_for(cdp.recv(), 30))
                    if answer.get("id") == counter:
                        return answer

            for url in urls:
                target = await call("Target.createTarget", {"url": url})
                attached = await call("Target.attachToTarget",
                                      {"targetId": target["result"]["targetId"], "flatten": True})
                session = attached["result"]["sessionId"]
                text = ""
                loop = asyncio.get_running_loop()
                deadline = loop.time() + 20
                while loop.time() < deadline:
                    answer = await call("Runtime.evaluate", {
                        "expression": "(document.getElementById('out') || {}).textContent || ''",
                        "returnByValue": True}, session)
                    text = answer.get("result", {}).get("result", {}).get("value", "")
                    if text.startswith("got:") or text == "error":
                        break
                    await asyncio.sleep(0.05)
                print("page " + text, flush=True)
                await call("Target.closeTarget", {"targetId": target["result"]["targetId"]})
    finally:
        proc.terminate()
        await proc.wait()


asyncio.run(main())
