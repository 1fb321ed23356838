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
import subprocess
import sys
import tempfile

from chromium_cdp import chromium


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


async def drive(page, mode, args):
    ready = "document.readyState === 'complete' && !!document.getElementById('signin')"
    if not await page.wait_for(ready):
        title = await page.value("document.title + ' ' + location.href")
        return "error no sign-in form on " + str(title)
    if mode == "dom":
        checks = await page.value("""JSON.stringify({
            scope: document.getElementById('scope').textContent,
            inside: document.getElementById('scope').children.length,
            images: document.images.length,
            scripts: document.scripts.length,
            ran: window.kbzInjected === true})""")
        return "dom " + checks
    user, password = args
    start = await page.value("location.origin + location.pathname")
    await page.value(
        "document.getElementById('username').value = %s;"
        "document.getElementById('password').value = %s;"
        "document.getElementById('submit').click(); true" % (json.dumps(user), json.dumps(password)))
    # The page is left for wherever the sign-in sends the browser.
    gone = ("(location.origin + location.pathname) !== %s && document.readyState === 'complete'"
            " && location.href" % json.dumps(start))
    if not await page.wait_for(gone):
        return "error stayed on " + str(await page.value("location.href"))
    final = await page.value("location.origin + location.pathname")
    text = await page.value("document.body ? document.body.innerText : ''")
    return "final " + final + "\ntext " + (text or "").strip()


async def main():
    path, ca_pem, mode, url = sys.argv[1:5]
    env = dict(os.environ, HOME=trust_store(ca_pem))
    async with chromium(path, env=env) as browser:
        page = await browser.open(url)
        print(await drive(page, mode, sys.argv[5:]), flush=True)


asyncio.run(main())
