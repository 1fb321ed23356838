"""Loads pages in headless Chromium, one after the other, and prints for each
the text of its #out element once the page's script has put a result there
("got:..." or "error").

usage: chromium_page.py CHROMIUM URL...

Chromium is driven over its DevTools protocol, because a browser's own
WebSocket traffic does not hold back a DOM dump.
"""
import asyncio
import sys

from chromium_cdp import chromium

DONE = ("(t => t.startsWith('got:') || t === 'error' ? t : '')"
        "((document.getElementById('out') || {}).textContent || '')")


async def main():
    path, urls = sys.argv[1], sys.argv[2:]
    async with chromium(path) as browser:
        for url in urls:
            page = await browser.open(url)
            text = await page.wait_for(DONE)
            if text is None:
                text = await page.value("(document.getElementById('out') || {}).textContent"
                                        " || ''") or ""
            print("page " + text, flush=True)
            await page.close()


asyncio.run(main())
