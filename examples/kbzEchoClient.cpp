// kbzEchoClient [-deflate] [-log FILE] URL
//
// Connects to a WebSocket server (offering permessage-deflate with -deflate), sends back every
// text and binary message it receives as the same type, and exits when the connection ends:
// 0 after a normal close (code 1000), 1 on any failure (connect, handshake, invalid UTF-8 in a
// text, a close with another code or none at all), 2 for a bad command line. user:password@ in
// the URL is sent as Basic authentication; the proxy comes from the environment as for curl.
// -log writes the connection's traffic to FILE (frames decoded).
#include "client/kbzClient_Environment.h"
#include "client/kbzWebSocket_Client.h"
#include "websocket/kbzWebSocket_Extension_PerMessage_Deflate.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

int main(int argc, char** argv)
{
    bool deflate = false;
    std::string logFile;
    std::string url;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "-deflate")
        {
            deflate = true;
        }
        else if (arg == "-log" && i + 1 < argc)
        {
            logFile = argv[++i];
        }
        else if (url.empty() && !arg.empty() && arg[0] != '-')
        {
            url = arg;
        }
        else
        {
            url.clear();
            break;
        }
    }
    if (url.empty())
    {
        std::fprintf(stderr, "usage: kbzEchoClient [-deflate] [-log FILE] URL\n");
        return 2;
    }

    std::mutex lock;
    std::condition_variable ended;
    bool disconnected = false;
    bool failed = false;
    int closeCode = 0;

    kbz::TkbzWebSocketClient client;
    client.Options.ValidateUTF8 = true; // a text that is not UTF-8 ends the connection (1007)
    client.Extensions().PerMessage_Deflate().SetEnabled(deflate);
    client.LogFile().Enabled = !logFile.empty();
    client.LogFile().FileName = logFile;
    try
    {
        client.SetURL(url);
        // As curl: user:password@ is Basic authentication; the proxy comes from https_proxy,
        // http_proxy or all_proxy unless no_proxy names the host.
        kbz::kbzApplyURLCredentials(client, url);
        kbz::kbzApplyProxyEnvironment(client, url);
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "kbzEchoClient: %s\n", e.what());
        return 2;
    }

    // Events run on the client's read thread; the echo is written from there.
    client.OnMessage = [&client](const kbz::TkbzWSConnectionPtr&, const std::string& text) {
        client.WriteData(text);
    };
    client.OnBinary = [&client](const kbz::TkbzWSConnectionPtr&, kbz::TkbzMemoryStream& data) {
        client.WriteData(data);
    };
    auto fail = [&](const std::string& text) {
        std::fprintf(stderr, "kbzEchoClient: %s\n", text.c_str());
        std::lock_guard guard(lock);
        failed = true;
    };
    client.OnError = [&](const kbz::TkbzWSConnectionPtr&, const std::string& text) { fail(text); };
    client.OnException = [&](const kbz::TkbzWSConnectionPtr&, const std::exception& e) {
        fail(e.what());
    };
    client.OnDisconnect = [&](const kbz::TkbzWSConnectionPtr&, int code) {
        std::lock_guard guard(lock);
        disconnected = true;
        closeCode = code;
        ended.notify_all();
    };

    if (!client.Connect(15000))
    {
        fail("could not connect to " + kbz::kbzRedactURL(url));
        return 1;
    }
    std::unique_lock wait(lock);
    ended.wait(wait, [&] { return disconnected; });
    const bool ok = !failed && closeCode == 1000;
    wait.unlock();
    if (!ok)
    {
        std::fprintf(stderr, "kbzEchoClient: connection ended with code %d\n", closeCode);
    }
    return ok ? 0 : 1;
}
