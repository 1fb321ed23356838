// The console's log relay against peers we did not write: browsers' origins
// (python3-websockets handshakes with chosen Origin and Host headers, curl's
// plain requests, pages in headless Chromium).
#include "tests/interop/client_peers.h"

#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace kbz::test;
using namespace kbz::test::client;

namespace
{

using Strings = std::vector<std::string>;

const std::string kChromium = "/usr/bin/chromium";
const std::string kCurl = "/usr/bin/curl";

// The console with its relay on 127.0.0.1 at a free port, and more switches.
class Relay
{
public:
    bool Start(const Strings& more = {})
    {
        FPort = FreePort();
        Strings args = {"-quiet",    "-server",      "-server.ip",
                        "127.0.0.1", "-server.port", std::to_string(FPort)};
        args.insert(args.end(), more.begin(), more.end());
        return FConsole.Start(args) &&
               FConsole.Await("Server Listening on 127.0.0.1:" + std::to_string(FPort)).has_value();
    }
    int Port() const { return FPort; }
    std::string Authority() const { return "127.0.0.1:" + std::to_string(FPort); }
    Console& Program() { return FConsole; }

private:
    int FPort = 0;
    Console FConsole;
};

// Runs ws_origins.py against the relay; its result lines, in order.
Strings TryOrigins(int port, const Strings& cases)
{
    Strings argv = {Python, SourcePath("tests/interop/peers/ws_origins.py"), std::to_string(port)};
    argv.insert(argv.end(), cases.begin(), cases.end());
    TestProcess peer;
    if (!peer.Start(argv) || !peer.WaitForExit(60s).has_value())
    {
        return {"peer did not run"};
    }
    return peer.Lines();
}

// The status of a plain GET with curl (and the Origin header, unless empty).
std::string CurlStatus(const std::string& url, const std::string& origin)
{
    Strings argv = {kCurl, "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "10"};
    if (!origin.empty())
    {
        argv.insert(argv.end(), {"-H", "Origin: " + origin});
    }
    argv.push_back(url);
    TestProcess curl;
    if (!curl.Start(argv) || !curl.WaitForExit(20s).has_value())
    {
        return "curl did not run";
    }
    const Strings lines = curl.Lines();
    return lines.empty() ? std::string() : lines.front();
}

} // namespace

TEST(RelayOrigin, BrowsersOnlyFromTheRelaysOwnPagesOrTheOriginsGiven)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets not installed";
    }
    Relay relay;
    ASSERT_TRUE(relay.Start({"-server.origins", "https://app.example,http://*.trusted.example"}));
    const std::string self = relay.Authority();
    const std::string port = std::to_string(relay.Port());
    // NAME=HOST=ORIGIN: the Host header and the Origin header of one handshake.
    const Strings results = TryOrigins(
        relay.Port(), {
                          "none=" + self + "=-",
                          "own=" + self + "=http://" + self,
                          "own-localhost=localhost:" + port + "=http://localhost:" + port,
                          "own-upper-case=" + self + "=HTTP://127.0.0.1:" + port,
                          "other-port=" + self + "=http://127.0.0.1:1",
                          "other-scheme=" + self + "=https://" + self,
                          "foreign=" + self + "=http://evil.example",
                          "file-page=" + self + "=null",
                          // A name rebound to 127.0.0.1: the page and the request agree, but
                          // the name is not the relay's own.
                          "rebound-name=evil.example:" + port + "=http://evil.example:" + port,
                          "given=" + self + "=https://app.example",
                          "given-mask=" + self + "=http://a.trusted.example",
                          "mask-is-not-a-suffix=" + self + "=http://trusted.example.evil",
                      });
    EXPECT_EQ(results, (Strings{
                           "none open",
                           "own open",
                           "own-localhost open",
                           "own-upper-case open",
                           "other-port refused 403",
                           "other-scheme refused 403",
                           "foreign refused 403",
                           "file-page refused 403",
                           "rebound-name refused 403",
                           "given open",
                           "given-mask open",
                           "mask-is-not-a-suffix refused 403",
                       }));
    // The console says why.
    EXPECT_TRUE(relay.Program().Await("Origin http://evil.example not allowed").has_value())
        << relay.Program().Dump();

    // Plain requests (what posts and event streams start as) are checked the same way.
    if (HaveProgram(kCurl))
    {
        const std::string url = "http://" + self + "/";
        EXPECT_EQ(CurlStatus(url, "http://evil.example"), "403");
        EXPECT_NE(CurlStatus(url, ""), "403");
        EXPECT_NE(CurlStatus(url, "http://" + self), "403");
    }
    EXPECT_EQ(relay.Program().Exit(), 0);
}

TEST(RelayOrigin, PagesInChromium)
{
    if (!HaveProgram(kChromium) || !HavePythonWebSockets())
    {
        GTEST_SKIP() << "chromium (or python3-websockets for its driver) not installed";
    }
    // Pages of another site: served by python's http.server on another port.
    const std::string dir = MakeTempDir("kbz-relay-pages");
    const int webPort = FreePort();
    const std::string site = "http://127.0.0.1:" + std::to_string(webPort);
    Relay relay;
    ASSERT_TRUE(relay.Start({"-server.origins", site}));
    Relay closed; // the same page, with no origins given
    ASSERT_TRUE(closed.Start());
    for (const auto& [name, target] : {std::pair{"given", &relay}, std::pair{"other", &closed}})
    {
        std::ofstream out(dir + "/" + name + ".html");
        out << "<!DOCTYPE html><html><body><div id=\"out\">waiting</div><script>\n"
               "const out = document.getElementById('out');\n"
               "const ws = new WebSocket('ws://"
            << target->Authority()
            << "/');\n"
               "ws.onopen = () => ws.send('{\"message\":\"heartbeat\",\"params\":"
               "{\"heartbeat\":{\"enabled\":true,\"interval\":42}}}');\n"
               "ws.onmessage = (e) => { out.textContent = 'got:' + e.data; ws.close(1000); };\n"
               "ws.onerror = () => { out.textContent = 'error'; };\n"
               "</script></body></html>\n";
    }
    TestProcess web;
    ASSERT_TRUE(web.Start({Python, "-u", "-m", "http.server", "--bind", "127.0.0.1", "--directory",
                           dir, std::to_string(webPort)},
                          {{}, "", true}));
    ASSERT_TRUE(web.WaitForLineContaining("Serving HTTP", 20s));

    TestProcess browser;
    ASSERT_TRUE(
        browser.Start({Python, SourcePath("tests/interop/server_peers/chromium_page.py"), kChromium,
                       site + "/given.html", site + "/other.html", "file://" + dir + "/other.html"},
                      {{}, "", true}));
    ASSERT_TRUE(browser.WaitForExit(120s).has_value());
    Strings pages;
    for (const std::string& line : browser.Lines())
    {
        if (line.rfind("page ", 0) == 0)
        {
            pages.push_back(line);
        }
    }
    EXPECT_EQ(
        pages,
        (Strings{
            R"(page got:{"event": "options", "params":{"heartbeat": {"enabled": true, "interval": 42}}})",
            "page error", "page error"}));
    // The refused pages ran nothing; the console says who was refused.
    EXPECT_TRUE(closed.Program().Await("Origin " + site + " not allowed").has_value())
        << closed.Program().Dump();
    EXPECT_TRUE(closed.Program().Await("Origin null not allowed").has_value())
        << closed.Program().Dump();
    for (const std::string& line : closed.Program().Lines())
    {
        EXPECT_EQ(line.find("\"interval\": 42"), std::string::npos) << line;
    }
    web.Stop();
    EXPECT_EQ(relay.Program().Exit(), 0);
    EXPECT_EQ(closed.Program().Exit(), 0);
}

TEST(RelayRawTcp, ListenersThatSendNothingGetEveryLine)
{
    if (!HaveProgram("/usr/bin/socat"))
    {
        GTEST_SKIP() << "socat not installed";
    }
    Relay relay;
    ASSERT_TRUE(relay.Start());
    // socat -u only reads: it never sends the byte that would tell the relay
    // what it speaks.
    TestProcess listener;
    ASSERT_TRUE(listener.Start({"/usr/bin/socat", "-u", "TCP:" + relay.Authority(), "STDOUT"}));
    ASSERT_TRUE(relay.Program().Await(" connected from 127.0.0.1").has_value());

    // Taken for a raw TCP client within a second of its connect: commands
    // typed until then reach nobody, so they are repeated until one arrives.
    const auto heartbeat = [](int interval) {
        return R"({"message":"heartbeat","params":{"heartbeat":{"enabled":true,"interval":)" +
               std::to_string(interval) + "}}}";
    };
    const auto line = [](int interval) {
        return R"({"event": "options", "params":{"heartbeat": {"enabled": true, "interval": )" +
               std::to_string(interval) + "}}}";
    };
    std::optional<std::size_t> first;
    for (int i = 1; !first && i <= 50; ++i)
    {
        relay.Program().Send(heartbeat(i));
        first = listener.WaitForLineContaining(R"("interval": )", 200ms);
    }
    ASSERT_TRUE(first) << "the listener got no line";
    // From then on every line, each a line of its own (socat prints what it gets).
    relay.Program().Send(heartbeat(100));
    relay.Program().Send(heartbeat(101));
    ASSERT_TRUE(listener.WaitForLineContaining(line(101), 10s, *first));
    const Strings got = listener.Lines();
    ASSERT_GE(got.size(), *first + 3);
    EXPECT_EQ(Strings(got.end() - 2, got.end()), (Strings{line(100), line(101)}));
    EXPECT_EQ(relay.Program().Exit(), 0);
    EXPECT_TRUE(listener.WaitForExit(10s).has_value());
}

// Clients that stop reading while the relay has much to say are dropped: the relay's buffered
// lines are bounded for all its clients together (twenty stalled clients reach that bound before
// any reaches its own), each dropped client gets a close frame with 1008 once it reads again, the
// console says why, and a client that reads gets every line meanwhile.
TEST(RelayQueues, ClientsThatDoNotReadAreClosedWith1008)
{
    if (!HaveProgram(Python))
    {
        GTEST_SKIP() << "python3 not installed";
    }
    Relay relay;
    ASSERT_TRUE(relay.Start());
    const int stalled = 20;
    TestProcess peers;
    ASSERT_TRUE(
        peers.Start({Python, SourcePath("tests/interop/peers/ws_stalled.py"),
                     std::to_string(relay.Port()), std::to_string(stalled), R"("interval": 77)"},
                    {{}, "", true}));
    ASSERT_TRUE(peers.WaitForLineContaining("stalled", 30s)) << relay.Program().Dump();
    // Lines of 512 KiB: the error of an interval that is no number quotes it. 24 MiB in all,
    // far more than the stalled clients' socket buffers take.
    const std::string big(512 * 1024, 'x');
    for (int i = 0; i < 48; ++i)
    {
        relay.Program().Send(R"({"message":"heartbeat","params":{"heartbeat":{"interval":")" + big +
                             "\"}}}");
    }
    relay.Program().Send(R"({"message":"heartbeat","params":{"heartbeat":{"enabled":true,)"
                         R"("interval":77}}})");
    ASSERT_TRUE(peers.WaitForLineContaining(R"(reader "interval": 77)", 60s));
    peers.WriteLine("read");
    ASSERT_TRUE(peers.WaitForLineContaining("done", 60s));
    Strings closes;
    for (const std::string& line : peers.Lines())
    {
        if (line.rfind("close ", 0) == 0 || line.rfind("eof ", 0) == 0)
        {
            closes.push_back(line);
        }
    }
    Strings expected;
    for (int i = 0; i < stalled; ++i)
    {
        expected.push_back("close " + std::to_string(i) + " 1008");
    }
    EXPECT_EQ(closes, expected);
    // Said once the connection has ended, for each of them.
    std::size_t from = 0;
    for (int i = 0; i < stalled; ++i)
    {
        const auto said =
            relay.Program().AwaitFrom(from, "Connection dropped: send queue full.", 30s);
        ASSERT_TRUE(said) << i;
        from = *said + 1;
    }
    EXPECT_EQ(relay.Program().Exit(), 0);
}
