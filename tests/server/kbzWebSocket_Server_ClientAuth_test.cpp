// Our client's authentication modes against our own server on 127.0.0.1: the credentials the
// server sees are the ones the client was given, whatever characters they hold; the session
// mode asks for a session first and upgrades with its identifier.
#include "client/kbzWebSocket_Client.h"
#include "server/kbzWebSocket_Server.h"
#include "tests/server/kbzServerEngine.h"
#include "tests/support/kbzTestProcess.h"

#include <gtest/gtest.h>
#include <mutex>

using namespace kbz;
using namespace kbz::test;

namespace
{

struct AuthServer
{
    std::mutex lock;
    std::vector<std::pair<std::string, std::string>> seen; // user, password
    std::atomic<int> connects{0};
    TkbzWSHTTPServer server; // last: its threads report into the members above

    AuthServer()
    {
        server.Bindings().push_back({"127.0.0.1", 0, TwsIPVersion::ipV4});
        server.SetPort(0);
        server.Authentication().Enabled = true;
        server.Authentication().Basic.Enabled = true;
        server.Authentication().AuthUsers.SetText("a b/\xC3\xBC=p/%?#:x=y\nbob=pw");
        server.OnAuthentication = [this](const TkbzWSConnectionPtr&, const std::string& user,
                                         const std::string& password, bool&) {
            std::lock_guard guard(lock);
            seen.emplace_back(user, password);
        };
        server.OnConnect = [this](const TkbzWSConnectionPtr&) { ++connects; };
        UseTestEngine(server);
        server.SetActive(true);
    }
    std::vector<std::pair<std::string, std::string>> Seen()
    {
        std::lock_guard guard(lock);
        return seen;
    }
};

TEST(ServerClientAuthentication, URLAndBasicModesReachOurServerIntact)
{
    struct Case
    {
        const char* name;
        bool url;
        bool basic;
        std::string user, password;
        bool granted;
    };
    const Case cases[] = {
        {"url", true, false, "a b/\xC3\xBC", "p/%?#:x=y", true},
        {"basic", false, true, "a b/\xC3\xBC", "p/%?#:x=y", true},
        {"url_plain_names", true, false, "bob", "pw", true},
        {"url_wrong_password", true, false, "bob", "pw2", false},
        {"basic_wrong_password", false, true, "bob", "p", false},
    };
    AuthServer as;
    const int port = as.server.GetBoundPort();
    ASSERT_GT(port, 0);
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::size_t before = as.Seen().size();
        const int connectsBefore = as.connects.load();
        TkbzWSClient client;
        client.SetURL("ws://127.0.0.1:" + std::to_string(port) + "/");
        client.Authentication.Enabled = true;
        client.Authentication.URL.Enabled = c.url;
        client.Authentication.Basic.Enabled = c.basic;
        client.Authentication.User = c.user;
        client.Authentication.Password = c.password;
        EXPECT_EQ(client.Connect(5000), c.granted);
        ASSERT_TRUE(WaitUntil([&] { return as.Seen().size() > before; }, 5s));
        EXPECT_EQ(as.Seen().back(), std::make_pair(c.user, c.password));
        if (c.granted)
        {
            EXPECT_TRUE(WaitUntil([&] { return as.connects.load() == connectsBefore + 1; }, 5s));
        }
        else
        {
            EXPECT_EQ(as.connects.load(), connectsBefore);
        }
        client.Disconnect(5000);
    }
}

TEST(ServerClientAuthentication, SessionModeUpgradesWithTheSessionItWasGiven)
{
    AuthServer as;
    const int port = as.server.GetBoundPort();
    ASSERT_GT(port, 0);
    struct Case
    {
        const char* name;
        std::string user, password;
        bool granted;
    };
    const Case cases[] = {
        {"awkward_credentials", "a b/\xC3\xBC", "p/%?#:x=y", true},
        {"plain", "bob", "pw", true},
        {"wrong_password", "bob", "nope", false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const int connectsBefore = as.connects.load();
        TkbzWSClient client;
        std::mutex lock;
        std::vector<std::string> failures;
        client.OnException = [&](const TkbzWSConnectionPtr&, const std::exception& e) {
            std::lock_guard guard(lock);
            failures.push_back(e.what());
        };
        client.SetURL("ws://127.0.0.1:" + std::to_string(port) + "/app");
        client.Authentication.Enabled = true;
        client.Authentication.Session.Enabled = true;
        client.Authentication.User = c.user;
        client.Authentication.Password = c.password;
        EXPECT_EQ(client.Connect(5000), c.granted);
        ASSERT_FALSE(as.Seen().empty());
        EXPECT_EQ(as.Seen().back(), std::make_pair(c.user, c.password));
        if (c.granted)
        {
            const std::string id = client.Authentication.Session.ID;
            EXPECT_EQ(id.size(), 32u);
            auto connection = client.Connection();
            ASSERT_TRUE(connection);
            EXPECT_EQ(connection->HeadersResponse().at(0),
                      "GET /kbz/auth/session/" + id + " HTTP/1.1");
            EXPECT_TRUE(WaitUntil([&] { return as.connects.load() == connectsBefore + 1; }, 5s));
            // The component keeps the URL's path for the next activation.
            EXPECT_EQ(client.Options.GetParameters(), "/app");
        }
        else
        {
            std::lock_guard guard(lock);
            ASSERT_EQ(failures.size(), 1u);
            EXPECT_EQ(failures[0], "HTTP/1.1 404 Not Found");
            EXPECT_EQ(as.connects.load(), connectsBefore);
        }
        client.Disconnect(5000);
    }
}

} // namespace
