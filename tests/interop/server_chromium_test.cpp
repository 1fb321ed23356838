// A real browser as a relay client: headless Chromium loads a page whose
// script opens the browser's own WebSocket to the relay, sends a command and
// shows the line the relay broadcasts back; then the relay's own browser
// files (-server.www): its script over WebSocket and over server-sent events
// with XHR posts, its EventSource where the browser has none, its test page,
// and the Flash script without its movie; the script's URL login and binary
// streams against a server of our own.
#include "kbzWebSocket.h"
#include "tests/support/kbzTestProcess.h"

#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

using namespace kbz;
using namespace kbz::test;

namespace
{

const std::string kChromium = "/usr/bin/chromium";

// Opens the relay script's connection over the transports given, sends a
// command and waits for the line the relay broadcasts for it.
const std::string kExchange = R"(
function kbzExchange(transport, interval) {
  return new Promise((resolve) => {
    const ws = new kbzWebSocket({host: window.kbzRelayHost || location.host, transport: transport});
    const timer = setTimeout(() => resolve("timeout " + ws.state()), 15000);
    ws.on("open", () => ws.send('{"message":"heartbeat","params":{"heartbeat":' +
                                '{"enabled":true,"interval":' + interval + '}}}'));
    ws.on("message", (line) => {
      if (line.includes('"interval": ' + interval)) {
        clearTimeout(timer);
        const used = ws.transport();
        ws.close(1000);
        resolve("got " + used + " " + line);
      }
    });
    ws.on("error", (e) => { clearTimeout(timer); resolve("error " + e); });
    ws.open();
  });
}
function kbzLoadScript(src) {
  return new Promise((loaded, failed) => {
    const s = document.createElement("script");
    s.src = src;
    s.onload = loaded;
    s.onerror = () => failed(new Error(src + " not loaded"));
    document.head.appendChild(s);
  });
}
)";

// The relay's line for the heartbeat command of kExchange.
std::string OptionsLine(int interval)
{
    return R"({"event": "options", "params":{"heartbeat": {"enabled": true, "interval": )" +
           std::to_string(interval) + "}}}";
}

// A page, the script run in it once it has loaded (after kExchange) and what it must come to.
struct BrowserCase
{
    std::string name;
    std::string url;
    std::string script;
    std::string result;
};

// Runs the cases one after the other in one headless Chromium (under the DevTools driver
// tests/interop/server_peers/chromium_eval.py) and checks each result.
void ExpectBrowserResults(const std::vector<BrowserCase>& cases)
{
    const std::string dir = MakeTempDir("kbz-chromium");
    std::vector<std::string> args = {
        "/usr/bin/python3", SourcePath("tests/interop/server_peers/chromium_eval.py"), kChromium};
    for (std::size_t i = 0; i < cases.size(); ++i)
    {
        const std::string file = dir + "/case" + std::to_string(i + 1) + ".js";
        std::ofstream(file) << kExchange << cases[i].script << "\n";
        args.push_back(cases[i].url);
        args.push_back(file);
    }
    TestProcess browser;
    ASSERT_TRUE(browser.Start(args, {{}, "", true}));
    for (std::size_t i = 0; i < cases.size(); ++i)
    {
        SCOPED_TRACE(cases[i].name);
        const std::string prefix = "result " + std::to_string(i + 1) + " ";
        const auto result =
            browser.WaitForLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; }, 60s);
        ASSERT_TRUE(result) << "no result from the browser";
        EXPECT_EQ(browser.Lines()[*result].substr(prefix.size()), cases[i].result);
    }
    EXPECT_TRUE(browser.WaitForExit(30s).has_value());
}

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

TEST(Chromium, RelayServesItsBrowserConsole)
{
    if (!HaveProgram(kChromium) || !HaveProgram("/usr/bin/python3"))
    {
        GTEST_SKIP() << "chromium (or python3 for its driver) not installed";
    }
    const std::string port = std::to_string(FreePort());
    TestProcess console;
    ASSERT_TRUE(console.Start({BinaryPath("kbzWebSocketClient"), "-quiet", "-server", "-server.ip",
                               "127.0.0.1", "-server.port", port, "-server.www"}));
    ASSERT_TRUE(console.WaitForLineContaining("Server Listening on 127.0.0.1:" + port, 10s));
    const std::string page = "http://127.0.0.1:" + port + "/kbzWebSockets.html";
    // Each script runs in the relay's test page once it has loaded.
    const std::vector<BrowserCase> cases = {
        {"script over WebSocket", page, "kbzExchange(['websocket'], 41)",
         "got websocket " + OptionsLine(41)},
        {"script over server-sent events, sends as XHR posts", page, "kbzExchange('sse', 42)",
         "got sse " + OptionsLine(42)},
        {"its EventSource where the browser has none", page, R"((async () => {
           const native = window.EventSource;
           delete window.EventSource;
           await kbzLoadScript('/kbzWebSockets.js?v=2');
           if (!window.EventSource || window.EventSource === native || !EventSource.kbzPolyfill)
             return 'no EventSource of ours';
           return await kbzExchange(['sse'], 43);
         })())",
         "got sse " + OptionsLine(43)},
        {"the test page, placeholders replaced", page, R"((async () => {
           const $ = (id) => document.getElementById(id);
           if (document.documentElement.outerHTML.includes('{%')) return 'placeholder left';
           const until = (pred) => new Promise((resolve, reject) => {
             const end = Date.now() + 15000;
             const poll = () => pred() ? resolve() :
               Date.now() > end ? reject(new Error('timeout')) : setTimeout(poll, 20);
             poll();
           });
           const line = () => [...document.querySelectorAll('#log .message')]
             .find((li) => li.textContent.includes('"interval": 44'));
           $('message').value =
             '{"message":"heartbeat","params":{"heartbeat":{"enabled":true,"interval":44}}}';
           $('open').click();
           await until(() => document.querySelector('#log .open'));
           $('send').click();
           await until(line);
           const state = $('state').textContent;
           $('close').click();
           // The style sheet came too: the header is laid out by it.
           return [$('url').value, getComputedStyle(document.querySelector('header')).display,
                   state, line().textContent].join(' ');
         })())",
         "ws://127.0.0.1:" + port + " flex open (websocket) " + OptionsLine(44)},
        {"Flash script without its movie", page, R"((async () => {
           await kbzLoadScript('/kbzWebSocketsFlash.js');
           return await new Promise((resolve) => {
             const ws = new kbzFlashWebSocket('ws://' + location.host + '/');
             ws.onopen = () => resolve('open');
             ws.onerror = (e) => resolve('error ' + e.message);
           });
         })())",
         "error bridge missing: http://127.0.0.1:" + port + "/WebSocketMain.swf answered 404"},
    };
    ExpectBrowserResults(cases);
    // The commands ran on the console.
    EXPECT_TRUE(console.WaitForLineContaining(OptionsLine(44), 10s));
    console.WriteLine("EXIT");
    EXPECT_EQ(console.WaitForExit(10s), 0);
}

TEST(Chromium, StreamsOfOtherPagesObeyTheRelaysOrigins)
{
    if (!HaveProgram(kChromium) || !HaveProgram("/usr/bin/python3"))
    {
        GTEST_SKIP() << "chromium (or python3 for its driver) not installed";
    }
    // Pages from files have the origin null: one relay lets them in, one does not.
    const struct
    {
        const char* name;
        std::vector<std::string> origins;
        std::string result;
    } relayCases[] = {
        {"allowed", {"-server.origins", "null"}, "got sse " + OptionsLine(45)},
        {"not allowed", {}, "error event stream refused"},
    };
    const std::string dir = MakeTempDir("kbz-chromium");
    std::vector<std::unique_ptr<TestProcess>> relays;
    std::vector<BrowserCase> cases;
    for (std::size_t i = 0; i < std::size(relayCases); ++i)
    {
        const std::string port = std::to_string(FreePort());
        std::vector<std::string> command = {BinaryPath("kbzWebSocketClient"),
                                            "-quiet",
                                            "-server",
                                            "-server.ip",
                                            "127.0.0.1",
                                            "-server.port",
                                            port,
                                            "-server.www"};
        command.insert(command.end(), relayCases[i].origins.begin(), relayCases[i].origins.end());
        relays.push_back(std::make_unique<TestProcess>());
        ASSERT_TRUE(relays.back()->Start(command));
        ASSERT_TRUE(
            relays.back()->WaitForLineContaining("Server Listening on 127.0.0.1:" + port, 10s));
        const std::string page = dir + "/page" + std::to_string(i + 1) + ".html";
        std::ofstream(page) << "<!DOCTYPE html><html><body><script src=\"http://127.0.0.1:" << port
                            << "/kbzWebSockets.js\"></script></body></html>\n";
        cases.push_back(
            {relayCases[i].name, "file://" + page,
             "window.kbzRelayHost = '127.0.0.1:" + port + "';\nkbzExchange(['sse'], 45)",
             relayCases[i].result});
    }
    ExpectBrowserResults(cases);
    EXPECT_TRUE(relays[1]->WaitForLineContaining("Origin null not allowed", 10s));
    for (auto& relay : relays)
    {
        relay->WriteLine("EXIT");
        EXPECT_EQ(relay->WaitForExit(10s), 0);
    }
}

TEST(Chromium, CoreScriptStreamsBinaryAndLogsInThroughTheURL)
{
    if (!HaveProgram(kChromium) || !HaveProgram("/usr/bin/python3"))
    {
        GTEST_SKIP() << "chromium (or python3 for its driver) not installed";
    }
    // A server that takes URL logins only: it answers a text with the user's name, "stream"
    // with a binary stream of its own (a 10-digit header length, the header, the data), and
    // echoes binary messages.
    TkbzWebSocketHTTPServer server;
    server.SetPort(0);
    server.Bindings().push_back({"127.0.0.1", 0, TwsIPVersion::ipV4});
    server.Authentication().Enabled = true;
    server.Authentication().Basic.Enabled = false;
    server.Authentication().AuthUsers.SetText("bob=p/a ss");
    server.OnMessage = [](const TkbzWSConnectionPtr& c, const std::string& text) {
        if (text == "stream")
        {
            c->WriteData(
                std::span<const std::uint8_t>(kbzAsBytes(std::string("0000000004kbz!\0\xff", 16))));
            return;
        }
        const auto user =
            std::static_pointer_cast<TkbzWSConnectionServer>(c)->Authentication().User;
        c->WriteData(user + ": " + text);
    };
    server.OnBinary = [](const TkbzWSConnectionPtr& c, TkbzMemoryStream& data) {
        c->WriteData(std::span<const std::uint8_t>(data.Bytes()));
    };
    server.SetActive(true);
    const std::string page = "http://127.0.0.1:" + std::to_string(server.GetBoundPort()) + "/";
    // Logs in, asks for the server's stream, sends one with sendbin and reads its echo.
    const std::string session = R"(
function kbzSession(user, password) {
  return new Promise((resolve) => {
    const ws = new kbzWebSocket({host: location.host, user: user, password: password,
                                 transport: ['websocket']});
    const got = [];
    const end = (text) => { clearTimeout(timer); resolve(text); };
    const timer = setTimeout(() => end('timeout ' + got.join(' | ')), 15000);
    ws.on('open', () => ws.send('who'));
    ws.on('message', (line) => { got.push(line); ws.send('stream'); });
    ws.on('stream', (data) => {
      const s = kbzWebSocket.readStream(data);
      got.push('stream ' + s.header + ' ' + Array.from(s.data).join(','));
      if (got.length === 2) {
        const bytes = [...'0000000005hello'].map((c) => c.charCodeAt(0)).concat([1, 2, 3]);
        ws.sendbin(new Uint8Array(bytes).buffer);
      } else {
        end(got.join(' | '));
        ws.close(1000);
      }
    });
    ws.on('error', (e) => end('error ' + e));
    ws.open();
  });
}
)";
    const std::vector<BrowserCase> cases = {
        {"URL login, streams both ways", page,
         session + "kbzLoadScript('/kbzWebSockets.js').then(() => kbzSession('bob', 'p/a ss'))",
         "bob: who | stream kbz! 0,255 | stream hello 1,2,3"},
        {"wrong password", page,
         session + "kbzLoadScript('/kbzWebSockets.js').then(() => kbzSession('bob', 'pass'))",
         "error websocket refused"},
        {"no login", page,
         session + "kbzLoadScript('/kbzWebSockets.js').then(() => kbzSession('', ''))",
         "error websocket refused"},
    };
    ExpectBrowserResults(cases);
    server.SetActive(false);
}
