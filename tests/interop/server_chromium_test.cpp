// A real browser as a relay client: headless Chromium loads a page whose
// script opens the browser's own WebSocket to the relay, sends a command and
// shows the line the relay broadcasts back.
#include "tests/support/kbzTestProcess.h"

#include <fstream>
#include <gtest/gtest.h>
#include <string>

using namespace kbz::test;

namespace
{

const std::string kChromium = "/usr/bin/chromium";

} // namespace

TEST(Chromium, PageDrivesTheRelay)
{
    if (!HaveProgram(kChromium) || !HaveProgram("/usr/bin/python3"))
    {
        GTEST_SKIP() << "chromium (or python3 for its driver) not installed";
    }
    const std::string port = std::to_string(FreePort());
    TestProcess console;
    // Pages from files have the origin null, which the relay takes only when told.
    ASSERT_TRUE(console.Start({BinaryPath("kbzWebSocketClient"), "-server", "-server.port", port,
                               "-server.origins", "null"}));
    ASSERT_TRUE(console.WaitForLineContaining("Server Listening on *:" + port, 10s));

    const std::string dir = MakeTempDir("kbz-chromium");
    const std::string page = dir + "/relay.html";
    {
        std::ofstream out(page);
        out << "<!DOCTYPE html><html><body><div id=\"out\">waiting</div><script>\n"
               "const out = document.getElementById('out');\n"
               "const ws = new WebSocket('ws://127.0.0.1:"
            << port
            << "/');\n"
               "ws.onopen = () => ws.send('{\"message\":\"heartbeat\",\"params\":"
               "{\"heartbeat\":{\"enabled\":true,\"interval\":42}}}');\n"
               "ws.onmessage = (e) => { out.textContent = 'got:' + e.data; ws.close(1000); };\n"
               "ws.onerror = () => { out.textContent = 'error'; };\n"
               "</script></body></html>\n";
    }
    // Chromium runs under a small DevTools driver that reads the page's result.
    TestProcess browser;
    ASSERT_TRUE(browser.Start({"/usr/bin/python3",
                               SourcePath("tests/interop/server_peers/chromium_page.py"), kChromium,
                               "file://" + page},
                              {{}, "", true}));
    const auto result =
        browser.WaitForLine([](const std::string& l) { return l.rfind("page ", 0) == 0; }, 60s);
    ASSERT_TRUE(result) << "no result from the page";
    EXPECT_EQ(
        browser.Lines()[*result],
        R"(page got:{"event": "options", "params":{"heartbeat": {"enabled": true, "interval": 42}}})");
    EXPECT_TRUE(browser.WaitForExit(30s).has_value());
    // The command ran on the console too, and the browser's connection came and went.
    EXPECT_TRUE(console.WaitForLineContaining(R"("interval": 42)", 10s));
    EXPECT_TRUE(console.WaitForLineContaining(" disconnected from 127.0.0.1", 10s));
    console.WriteLine("EXIT");
    EXPECT_EQ(console.WaitForExit(10s), 0);
}
