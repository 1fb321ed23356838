"""Headless Chromium driven over its DevTools protocol (a WebSocket): the start-up, the
calls and the page handling that the browser test drivers share.

    async with chromium(PATH) as browser:
        page = await browser.open(URL)
        value = await page.value("document.title")
        await page.close()

Every wait has a deadline; Chromium is stopped when the block ends.
"""
import asyncio
import contextlib
import json
import re
import tempfile

import websockets

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-port=0"]


class Browser:
    def __init__(self, cdp):
        self.cdp = cdp
        self.counter = 0

    async def call(self, method, params=None, session=None, timeout=30):
        """Sends one DevTools command and returns its answer (events in between are skipped)."""
        self.counter += 1
        number = self.counter
        message = {"id": number, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        await self.cdp.send(json.dumps(message))
        while True:
            answer = json.loads(await asyncio.wait_for(self.cdp.recv(), timeout))
            if answer.get("id") == number:
                return answer

    async def open(self, url):
        """A new tab on URL, attached (it may still be loading)."""
        target = await self.call("Target.createTarget", {"url": url})
        target_id = target["result"]["targetId"]
        attached = await self.call("Target.attachToTarget",
                                   {"targetId": target_id, "flatten": True})
        return Page(self, target_id, attached["result"]["sessionId"])


class Page:
    def __init__(self, browser, target_id, session):
        self.browser = browser
        self.target_id = target_id
        self.session = session

    async def evaluate(self, expression, await_promise=False, timeout=30):
        """The evaluation's result record: "result" (with "value") or "exceptionDetails"."""
        answer = await self.browser.call("Runtime.evaluate", {
            "expression": expression, "awaitPromise": await_promise, "returnByValue": True},
            self.session, timeout)
        return answer.get("result", {})

    async def value(self, expression):
        return (await self.evaluate(expression)).get("result", {}).get("value")

    async def wait_for(self, expression, seconds=20):
        """The expression's first truthy value within the time, else None."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + seconds
        while loop.time() < deadline:
            value = await self.value(expression)
            if value:
                return value
            await asyncio.sleep(0.05)
        return None

    async def close(self):
        await self.browser.call("Target.closeTarget", {"targetId": self.target_id})


@contextlib.asynccontextmanager
async def chromium(path, env=None):
    """Starts Chromium with a fresh profile and yields a Browser connected to it."""
    profile = tempfile.mkdtemp(prefix="kbz-chromium-")
    proc = await asyncio.create_subprocess_exec(
        path, *FLAGS, f"--user-data-dir={profile}", "about:blank", env=env,
        stdout=asyncio.subprocess.DEVNULL, stderr=asyncio.subprocess.PIPE)
    drainer = None
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
            # Chromium keeps writing to its standard error: read, so that it never blocks on it.
            while await proc.stderr.readline():
                pass
        drainer = asyncio.ensure_future(drain())
        async with websockets.connect(endpoint, max_size=None) as cdp:
            yield Browser(cdp)
    finally:
        proc.terminate()
        await proc.wait()
        if drainer:
            drainer.cancel()
