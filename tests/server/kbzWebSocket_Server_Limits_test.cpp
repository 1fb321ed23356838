// What a server holds for peers it does not trust, over its real listener on
// 127.0.0.1: a connection that never speaks, more connections than allowed, a
// process out of descriptors, and the budget for bytes of messages in progress.
#include "tests/server/kbzLoopbackServer.h"
#include "tests/server/kbzRawWSClient.h"
#include "tests/support/kbzTestProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kbz;
using namespace kbz::test;

namespace
{

// Echoes text and keeps the sizes of binary messages.
struct LimitsServer : LoopbackServer
{
    LimitsServer()
    {
        server.OnMessage = [](const TkbzWSConnectionPtr& c, const std::string& text) {
            c->WriteData(text);
        };
        RecordBinaries();
    }
};

// Reads until the server closes (or 10 s pass); true when it closed.
bool ReadToTheEnd(RawWSClient& c)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline)
    {
        if (!c.ReadSome(100))
        {
            return true;
        }
    }
    return false;
}

bool Echoes(RawWSClient& c, const std::string& text)
{
    c.SendText(text);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline)
    {
        const auto got = c.TakeMessages();
        if (!got.empty())
        {
            return got == std::vector<std::string>{text};
        }
        if (!c.ReadSome(100))
        {
            return false;
        }
    }
    return false;
}

} // namespace

TEST(ServerLimits, APeerThatNeverSpeaksIsEndedAtTheRequestTimeLimit)
{
    LimitsServer ls;
    ls.server.RequestHeadTimeOut = 300;
    const int port = ls.Start();
    RawWSClient silent;
    ASSERT_TRUE(silent.Connect(port, false));
    EXPECT_TRUE(ReadToTheEnd(silent));
    EXPECT_EQ(silent.Buffer(), "");
    EXPECT_TRUE(WaitUntil([&] { return ls.server.Count() == 0; }, 5s));
}

TEST(ServerLimits, ConnectionsBeyondMaxConnectionsAreRefusedAtOnce)
{
    LimitsServer ls;
    ls.server.MaxConnections = 2;
    const int port = ls.Start();
    RawWSClient a, b;
    ASSERT_TRUE(a.Connect(port));
    ASSERT_TRUE(b.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return ls.connects.load() == 2; }, 5s));
    RawWSClient over;
    EXPECT_FALSE(over.Connect(port));
    EXPECT_TRUE(over.Closed());
    EXPECT_EQ(over.Buffer(), "");
    EXPECT_EQ(ls.connects.load(), 2);
    EXPECT_TRUE(Echoes(a, "a"));
    // A place that comes free is taken again.
    b.SendClose();
    EXPECT_TRUE(ReadToTheEnd(b));
    ASSERT_TRUE(WaitUntil([&] { return ls.server.Count() == 1; }, 5s));
    RawWSClient again;
    ASSERT_TRUE(again.Connect(port));
    EXPECT_TRUE(Echoes(again, "again"));
}

TEST(ServerLimits, RunningOutOfDescriptorsIsAnErrorThatDropsNoConnection)
{
#if defined(__SANITIZE_ADDRESS__)
    // The undefined-behaviour checker opens a pipe to see whether it may read
    // an object's type; with every descriptor taken that fails, and it reports
    // the first shared pointer copied meanwhile, on any thread, as "not an
    // object of type '_Sp_counted_base'" (and cannot print a stack either).
    GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
#endif
    LimitsServer ls;
    const int port = ls.Start();
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    // Activation raised the soft limit to the hard one.
    EXPECT_EQ(limit.rlim_cur, limit.rlim_max);

    RawWSClient open;
    ASSERT_TRUE(open.Connect(port));
    // The refused clients' sockets are made first: once the limit is lowered
    // nothing in this process can open a descriptor.
    std::vector<int> refused;
    for (int i = 0; i < 3; ++i)
    {
        refused.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_GE(refused.back(), 0);
    }
    const int lowestFree = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit low = limit;
    low.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (const int fd : refused)
    {
        EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to)), 0);
    }
    // Each waiting client is closed (the server keeps a descriptor in reserve for that)...
    for (const int fd : refused)
    {
        pollfd p{fd, POLLIN, 0};
        char byte = 0;
        EXPECT_EQ(::poll(&p, 1, 5000), 1);
        EXPECT_LE(::recv(fd, &byte, 1, 0), 0);
    }
    const bool reported = WaitUntil([&] { return !ls.Errors().empty(); }, 5s);
    // ...and the connection that was open goes on.
    const bool echoed = Echoes(open, "still here");
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    for (const int fd : refused)
    {
        ::close(fd);
    }
    EXPECT_TRUE(reported);
    EXPECT_TRUE(echoed);
    EXPECT_EQ(ls.Errors(), std::vector<std::string>{"Socket Error # 24: Too many open files."});
    EXPECT_EQ(ls.connects.load(), 1);
    // With descriptors again, clients are taken again.
    RawWSClient later;
    ASSERT_TRUE(later.Connect(port));
    EXPECT_TRUE(Echoes(later, "later"));
}

TEST(ServerLimits, AMessageThatWouldExceedTheBufferBudgetClosesWith1009)
{
    constexpr std::size_t limit = std::size_t{64} << 20;
    LimitsServer ls;
    ls.server.MaxBufferedBytes = limit;
    ls.server.Options().MaxMessageSize = 2 * limit; // the budget is what refuses
    const int port = ls.Start();
    std::string payload(limit, 'b');
    {
        SCOPED_TRACE("at the limit");
        RawWSClient c;
        ASSERT_TRUE(c.Connect(port));
        const auto frame = kbzBuildFrame(TOpcode::opBinary, kbzAsBytes(payload), true, true, false);
        c.SendRaw(std::string_view(reinterpret_cast<const char*>(frame.data()), frame.size()));
        EXPECT_TRUE(
            WaitUntil([&] { return ls.Binaries() == std::vector<std::size_t>{limit}; }, 20s));
        EXPECT_TRUE(Echoes(c, "next"));
    }
    {
        SCOPED_TRACE("one byte over");
        payload.push_back('b');
        RawWSClient c;
        ASSERT_TRUE(c.Connect(port));
        const auto frame = kbzBuildFrame(TOpcode::opBinary, kbzAsBytes(payload), true, true, false);
        c.SendRaw(std::string_view(reinterpret_cast<const char*>(frame.data()), frame.size()));
        EXPECT_TRUE(ReadToTheEnd(c));
        EXPECT_EQ(c.Buffer().substr(0, 4), std::string("\x88\x02\x03\xF1", 4));
        EXPECT_EQ(ls.Binaries().size(), 1u);
        EXPECT_TRUE(WaitUntil([&] { return ls.server.BufferedBytes() == 0; }, 5s));
    }
}
