"""Loads pages in headless Chromium, one after the other, runs a script in each
once it has loaded, and prints for each "result N VALUE": N counts the pages
from 1, VALUE is what the script's expression (or the promise it gives)
comes to, "exception ..." when it raised, "timeout" after 30 seconds.

usage: chromium_eval.py CHROMIUM URL SCRIPTFILE [URL SCRIPTFILE]...
"""
import asyncio
import json
import sys

from chromium_cdp import chromium


async def main():
    path, rest = sys.argv[1], sys.argv[2:]
    pages = [(rest[i], open(rest[i + 1]).read()) for i in range(0, len(rest) - 1, 2)]
    async with chromium(path) as browser:
        for number, (url, script) in enumerate(pages, 1):
            page = await browser.open(url)
            # The new target shows about:blank, complete, before it navigates.
            await page.wait_for("location.href + ' ' + document.readyState === "
                                + json.dumps(url + " complete"))
            try:
                result = await page.evaluate(script, await_promise=True)
                if "exceptionDetails" in result:
                    details = result["exceptionDetails"]
                    text = "exception " + details.get("exception", {}).get(
                        "description", details.get("text", ""))
                else:
                    text = str(result.get("result", {}).get("value", ""))
            except asyncio.TimeoutError:
                text = "timeout"
            print(f"result {number} " + " ".join(text.split()), flush=True)
            await page.close()


asyncio.run(main())
