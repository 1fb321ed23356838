// Our client's authentication modes against our own server on 127.0.0.1: the credentials the
// server sees are the ones the client was given, whatever characters they hold.
#include "client/kbzWebSocket_Client.h"
#include "server/kbzWebSocket_Server.h"
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

} // namespace
