"""Headless Chromium as the user's browser on the OAuth 2 sign-in page, driven over DevTools.

usage: chromium_oauth2.py CHROMIUM CA_PEM signin URL USER PASSWORD
       chromium_oauth2.py CHROMIUM CA_PEM dom URL

Chromium trusts the CA of CA_PEM (and nothing it would not trust otherwise): the driver makes a
fresh NSS database under a temporary HOME with certutil and starts Chromium there.

signin: opens URL (the authorization page), types the user name and password into the page's
form and submits it with the page's own button, then follows the browser wherever the server
sends it. Prints "final URL" (without its query) and "text BODY" for the page it ends on.

dom: opens URL and prints "dom JSON": the scope text as the page shows it, the elements inside
the scope's element, the images and scripts of the page, and whether a script of the scope ran.

Any failure prints "error TEXT". Every wait has a deadline.
"""
import asyncio
import json
import os
import re
import subprocess
import sys
import tempfile

import websockets

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-port=0"]


def trust_store(ca_pem):
    home = tempfile.mkdtemp(prefix="kbz-chromium-home-")
    db = os.path.join(home, ".pki", "nssdb")
    os.makedirs(db)
    subprocess.run(["certutil", "-d", "sql:" + db, "-N", "--empty-password"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    subprocess.run(["certutil", "-d", "sql:" + db, "-A", "-t", "C,,", "-n", "kbz test CA",
                    "-i", ca_pem], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=30)
    return home


class Page:
    def __init__(self, cdp):
        self.cdp = cdp
        self.counter = 0
        self.session = None

    async def call(self, method, params=None):
        self.counter += 1
        message = {"id": self.counter, "method": method, "params": params or {}}
        if self.session:
            message["sessionId"] = self.session
        await self.cdp.send(json.dumps(message))
        while True:
            answer = json.loads(await asyncio.wait_for(self.cdp.recv(), 30))
            if answer.get("id") == self.counter:
                return answer

    async def evaluate(self, expression):
        answer = await self.call("Runtime.evaluate",
                                 {"expression": expression, "returnByValue": True})
        return answer.get("result", {}).get("result", {}).get("value")

    async def wait_for(self, expression, seconds=20):
        loop = asyncio.get_running_loop()
        deadline = loop.time() + seconds
        while loop.time() < deadline:
            try:
                value = await self.evaluate(expression)
            except (KeyError, TypeError):
                value = None
            if value:
                return value
            await asyncio.sleep(0.05)
        return None


async def drive(page, mode, args):
    ready = "document.readyState === 'complete' && !!document.getElementById('signin')"
    if not await page.wait_for(ready):
        title = await page.evaluate("document.title + ' ' + location.href")
        return "error no sign-in form on " + str(title)
    if mode == "dom":
        checks = await page.evaluate("""JSON.stringify({
            scope: document.getElementById('scope').textContent,
            inside: document.getElementById('scope').children.length,
            images: document.images.length,
            scripts: document.scripts.length,
            ran: window.kbzInjected === true})""")
        return "dom " + checks
    user, password = args
    start = await page.evaluate("location.origin + location.pathname")
    await page.evaluate(
        "document.getElementById('username').value = %s;"
        "document.getElementById('password').value = %s;"
        "document.getElementById('submit').click(); true" % (json.dumps(user), json.dumps(password)))
    # The page is left for wherever the sign-in sends the browser.
    gone = ("(location.origin + location.pathname) !== %s && document.readyState === 'complete'"
            " && location.href" % json.dumps(start))
    if not await page.wait_for(gone):
        return "error stayed on " + str(await page.evaluate("location.href"))
    final = await page.evaluate("location.origin + location.pathname")
    text = await page.evaluate("document.body ? document.body.innerText : ''")
    return "final " + final + "\ntext " + (text or "").strip()


async def main():
    chromium, ca_pem, mode, url = sys.argv[1:5]
    env = dict(os.environ, HOME=trust_store(ca_pem))
    profile = tempfile.mkdtemp(prefix="kbz-chromium-")
    proc = await asyncio.create_subprocess_exec(
        chromium, *FLAGS, f"--user-data-dir={profile}", "about:blank", env=env,
        stdout=asyncio.subprocess.DEVNULL, stderr=asyncio.subprocess.PIPE)
    drain = None
    try:
        endpoint = None
        while endpoint is None:
            line = await asyncio.wait_for(proc.stderr.readline(), 30)
            if not line:
                raise SystemExit("chromium ended before its DevTools endpoint")
            found = re.search(rb"DevTools listening on (ws://\S+)", line)
            if found:
                endpoint = found.group(1).decode()
        # Chromium keeps writing to its standard error: drained, so that it never blocks on it.
        drain = asyncio.create_task(proc.stderr.read())
        async with websockets.connect(endpoint, max_size=None) as cdp:
            page = Page(cdp)
            target = await page.call("Target.createTarget", {"url": url})
            attached = await page.call("Target.attachToTarget",
                                       {"targetId": target["result"]["targetId"],
                                        "flatten": True})
            page.session = attached["result"]["sessionId"]
            print(await drive(page, mode, sys.argv[5:]), flush=True)
    finally:
        proc.terminate()
        await proc.wait()
        if drain:
            await drain


asyncio.run(main())
