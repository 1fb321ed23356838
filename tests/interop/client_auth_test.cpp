// Our client's authentication lines as python websockets reads them: its own HTTP Basic check
// accepts our Basic header (and refuses wrong credentials with 401), and a token header and the
// request path arrive as the client was configured.
#include "client/kbzWebSocket_Client.h"
#include "tests/client/kbzClientRecorder.h"
#include "tests/interop/client_peers.h"

#include <gtest/gtest.h>

using namespace kbz;
using namespace kbz::test;
using namespace kbz::test::client;

namespace
{

TEST(ClientAuthentication, BasicAgainstPythonsOwnCheck)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    Peer server;
    // Python compares passwords as ASCII only; the user name shows that UTF-8 is sent.
    ASSERT_TRUE(server.Start(Peer::PythonWS,
                             {"--mode", "request", "--basic-auth", "j\xC3\xBCrgen al:p:a/ss w"}));
    struct Case
    {
        const char* name;
        std::string user, password;
        bool accepted;
    };
    const Case cases[] = {
        {"right", "j\xC3\xBCrgen al", "p:a/ss w", true},
        {"wrong_password", "j\xC3\xBCrgen al", "p:a/ss", false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EventRecorder events;
        TkbzWSClient client;
        events.Attach(client);
        client.SetURL(server.Url("ws", 0, "/room?x=1"));
        client.Authentication.Enabled = true;
        client.Authentication.URL.Enabled = false;
        client.Authentication.Basic.Enabled = true;
        client.Authentication.User = c.user;
        client.Authentication.Password = c.password;
        EXPECT_EQ(client.Connect(10000), c.accepted) << events.Dump();
        if (c.accepted)
        {
            EXPECT_TRUE(events.Wait("message /room?x=1|Basic ")) << events.Dump();
        }
        else
        {
            EXPECT_TRUE(events.Wait("exception Error Decoding Header: Switching Protocols "
                                    "[HTTP/1.1 401 Unauthorized]"))
                << events.Dump();
        }
    }
}

TEST(ClientAuthentication, TokenAndURLModesAsPythonSeesThem)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    Peer server;
    ASSERT_TRUE(server.Start(Peer::PythonWS, {"--mode", "request"}));
    {
        EventRecorder events;
        TkbzWSClient client;
        events.Attach(client);
        client.SetURL(server.Url("ws", 0, "/app"));
        client.Authentication.Enabled = true;
        client.Authentication.Token.Enabled = true;
        client.Authentication.Token.AuthToken = "eyJhbGciOiJIUzI1NiJ9.e30.sig";
        ASSERT_TRUE(client.Connect(10000)) << events.Dump();
        EXPECT_TRUE(events.Wait("message /app|Bearer eyJhbGciOiJIUzI1NiJ9.e30.sig"))
            << events.Dump();
    }
    {
        EventRecorder events;
        TkbzWSClient client;
        events.Attach(client);
        client.SetURL(server.Url("ws", 0, "/app"));
        client.Authentication.Enabled = true;
        client.Authentication.User = "j\xC3\xBCrgen";
        client.Authentication.Password = "a/b c";
        ASSERT_TRUE(client.Connect(10000)) << events.Dump();
        EXPECT_TRUE(events.Wait("message /kbz/auth/url/j%C3%BCrgen/a%2Fb%20c", 10s))
            << events.Dump();
    }
}

} // namespace
