#include "tests/transport/kbzLoopback.h"
#include "transport/kbzTCP_Classes.h"

#include <gtest/gtest.h>
#include <set>

namespace kbz
{
namespace
{

using test::Bytes;
using test::Text;
using Messages = std::vector<std::string>;
using enum TtcpEOFScanBuffer;

struct FeedResult
{
    Messages messages;
    std::size_t pending = 0;
    bool tooLarge = false;
};

FeedResult FeedAll(TkbzTCPDelimiterFramer& framer, const std::vector<std::string>& reads)
{
    FeedResult r;
    for (const auto& read : reads)
    {
        std::vector<std::vector<std::uint8_t>> out;
        const auto b = Bytes(read);
        if (framer.Feed(b, out) == TkbzTCPFramerResult::frMessageTooLarge)
        {
            r.tooLarge = true;
        }
        for (const auto& m : out)
        {
            r.messages.push_back(Text(m));
        }
    }
    r.pending = framer.Pending();
    return r;
}

TEST(TCPDelimiterFramer, AllBytesFindsEveryDelimiterHoweverTheStreamIsCut)
{
    struct Case
    {
        std::string delimiter;
        std::string wire;
        Messages messages;
        std::size_t pending;
    };
    const Case cases[] = {
        {"\r\n", "one\r\ntwo\r\n\r\nthr", {"one\r\n", "two\r\n", "\r\n"}, 3},
        {"\n", "a\nbb\n", {"a\n", "bb\n"}, 0},
        // A partial delimiter right before the real one.
        {"END", "xENENDyEN", {"xENEND"}, 3},
        {std::string("\x00\xFF", 2),
         std::string("p\x00\x00\xFFq", 5),
         {std::string("p\x00\x00\xFF", 4)},
         1},
        {"||", "no delimiter at all", {}, 19},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.wire);
        for (const auto& cut : test::AllCuts(c.wire))
        {
            SCOPED_TRACE(test::Describe(cut));
            TkbzTCPDelimiterFramer framer(eofScanAllBytes, Bytes(c.delimiter));
            const FeedResult r = FeedAll(framer, cut);
            EXPECT_EQ(r.messages, c.messages);
            EXPECT_EQ(r.pending, c.pending);
            EXPECT_FALSE(r.tooLarge);
        }
    }
}

TEST(TCPDelimiterFramer, LatestBytesLooksOnlyAtTheEndOfEachRead)
{
    struct Case
    {
        const char* name;
        std::vector<std::string> reads;
        Messages messages;
        std::size_t pending;
    };
    const Case cases[] = {
        {"ends with the delimiter", {"abc\r\n"}, {"abc\r\n"}, 0},
        {"split delimiter is not seen", {"abc\r", "\nxyz"}, {}, 8},
        {"a later read ending with it delivers everything",
         {"abc\r", "\n", "more\r\n"},
         {"abc\r\nmore\r\n"},
         0},
        {"a delimiter inside a read is not seen", {"a\r\nb", "c\r\n"}, {"a\r\nbc\r\n"}, 0},
        {"two messages in turn", {"x\r\n", "y\r\n"}, {"x\r\n", "y\r\n"}, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzTCPDelimiterFramer framer(eofScanLatestBytes, Bytes("\r\n"));
        const FeedResult r = FeedAll(framer, c.reads);
        EXPECT_EQ(r.messages, c.messages);
        EXPECT_EQ(r.pending, c.pending);
    }
}

TEST(TCPDelimiterFramer, WithoutScanningEveryReadIsOneMessage)
{
    // eofScanNone, and an empty delimiter in the scanning modes (which would
    // otherwise accumulate without end or loop on an empty match).
    const std::pair<TtcpEOFScanBuffer, const char*> setups[] = {
        {eofScanNone, "\r\n"}, {eofScanLatestBytes, ""}, {eofScanAllBytes, ""}};
    for (const auto& [mode, delimiter] : setups)
    {
        SCOPED_TRACE(static_cast<int>(mode));
        for (const auto& cut : test::AllCuts("ab\r\ncd"))
        {
            TkbzTCPDelimiterFramer framer(mode, Bytes(delimiter), 2);
            const FeedResult r = FeedAll(framer, cut);
            EXPECT_EQ(r.messages, cut); // the cap applies to accumulated bytes only
            EXPECT_EQ(r.pending, 0u);
            EXPECT_FALSE(r.tooLarge);
        }
    }
}

TEST(TCPDelimiterFramer, CapsUndelimitedData)
{
    struct Case
    {
        TtcpEOFScanBuffer mode;
        std::vector<std::string> reads;
        bool tooLarge;
        Messages messages;
    };
    const Case cases[] = {
        {eofScanAllBytes, {"0123456789"}, false, {}},
        {eofScanAllBytes, {"01234", "56789", "X"}, true, {}},
        {eofScanAllBytes, {"012345678;"}, false, {"012345678;"}},
        {eofScanAllBytes, {"0123456789;"}, true, {}}, // one message over the cap
        {eofScanAllBytes, {"ab;0123456789"}, false, {"ab;"}},
        {eofScanLatestBytes, {"01234", "56789", "X"}, true, {}},
        {eofScanLatestBytes, {"012345678;"}, false, {"012345678;"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.reads.front());
        TkbzTCPDelimiterFramer framer(c.mode, Bytes(";"), 10);
        const FeedResult r = FeedAll(framer, c.reads);
        EXPECT_EQ(r.tooLarge, c.tooLarge);
        EXPECT_EQ(r.messages, c.messages);
        if (c.tooLarge)
        {
            EXPECT_EQ(r.pending, 0u); // dropped, never kept growing
        }
    }
}

TEST(TCPConnectionBase, FramingFollowsTheConnectionSettings)
{
    TkbzTCPConnection conn;
    EXPECT_EQ(conn.GetTCPEndOfFrameScanBuffer(), eofScanNone);
    std::vector<std::vector<std::uint8_t>> out;
    ASSERT_EQ(conn.FrameTCPData(Bytes("raw"), out), TkbzTCPFramerResult::frOK);
    ASSERT_EQ(out.size(), 1u);

    out.clear();
    conn.SetTCPEndOfFrameScanBuffer(eofScanAllBytes);
    conn.AddTCPEndOfFrame('\r');
    conn.AddTCPEndOfFrame('\n');
    EXPECT_EQ(conn.GetTCPEndOfFrame(), Bytes("\r\n"));
    conn.FrameTCPData(Bytes("a\r\nb"), out);
    conn.FrameTCPData(Bytes("\r\n"), out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(Text(out[0]), "a\r\n");
    EXPECT_EQ(Text(out[1]), "b\r\n");

    conn.SetTCPMaxMessageSize(4);
    EXPECT_EQ(conn.FrameTCPData(Bytes("12345"), out), TkbzTCPFramerResult::frMessageTooLarge);
    conn.ClearTCPEndOfFrame();
    EXPECT_TRUE(conn.GetTCPEndOfFrame().empty());
}

TEST(TCPConnectionBase, IdentityAddressesAndTheKeptException)
{
    auto a = std::make_shared<TkbzTCPConnection>();
    auto b = std::make_shared<TkbzTCPConnection>();
    const std::string guid = a->GetGuid();
    ASSERT_EQ(guid.size(), 32u);
    EXPECT_EQ(guid.find_first_not_of("0123456789ABCDEF"), std::string::npos) << guid;
    EXPECT_EQ(a->GetGuid(), guid);
    EXPECT_NE(b->GetGuid(), guid);

    a->AssignBinding({"::1", 8080, "::1", 50000, TwsIPVersion::ipV6});
    EXPECT_EQ(a->GetIP(), "::1");
    EXPECT_EQ(a->GetPort(), 8080);
    EXPECT_EQ(a->GetLocalPort(), 50000);
    EXPECT_EQ(a->GetIPVersion(), TwsIPVersion::ipV6);

    EXPECT_EQ(a->GetRawException(), nullptr);
    a->SetRawException(EIdConnClosedGracefully("Connection Closed Gracefully."));
    auto kept = a->GetRawException();
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->ClassName(), "EIdConnClosedGracefully");
    EXPECT_NE(dynamic_cast<EIdSilentException*>(kept.get()), nullptr);
    a->SetRawException(std::runtime_error("plain"));
    EXPECT_EQ(a->GetRawException()->Message(), "plain");

    a->MsgBinaryReceived().Write(std::string_view("bin"));
    EXPECT_EQ(a->MsgBinaryReceived().Size(), 3);

    EXPECT_TRUE(a->GetActive());
    a->SetDisconnected(true);
    EXPECT_FALSE(a->GetActive());
    a->AddRecBytes(5);
    a->AddSendBytes(7);
    EXPECT_EQ(a->GetRecBytes(), 5);
    EXPECT_EQ(a->GetSendBytes(), 7);
}

} // namespace
} // namespace kbz
