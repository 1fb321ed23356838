// The link's envelopes and records as wire bytes: exact texts written, texts
// that try to break a header, lengths that do not match what arrived.
#include "loadbalancer/kbzWebSocket_LoadBalancer_Message.h"

#include <gtest/gtest.h>

using namespace kbz;

namespace
{

const std::string kEmptyHeader =
    R"({"guid":"","channel":"","protocol":"","include":"","exclude":""})";

std::vector<std::uint8_t> Bytes(std::string_view s)
{
    return {s.begin(), s.end()};
}

TEST(kbzLoadBalancerMessage, TextEnvelopesOnTheWire)
{
    struct Fields
    {
        std::string guid, channel, protocol, include, exclude, text;
    };
    struct Case
    {
        const char* name;
        Fields fields;
        std::string wire;
    };
    auto make = [](std::string guid, std::string channel, std::string protocol, std::string include,
                   std::string exclude, std::string text) {
        return Fields{std::move(guid),    std::move(channel), std::move(protocol),
                      std::move(include), std::move(exclude), std::move(text)};
    };
    const Case cases[] = {
        {"broadcast_hi", make("", "", "", "", "", "hi"), "064" + kEmptyHeader + "hi"},
        {"write_to_G", make("G", "", "", "", "", "x"),
         R"(065{"guid":"G","channel":"","protocol":"","include":"","exclude":""}x)"},
        // A quote or a brace in a field stays inside its string; UTF-8 is escaped to
        // ASCII so the length counts bytes, characters and UTF-16 units alike.
        {"hostile_channel", make("", R"(a","guid":"X)", "{p}", "", "", ""),
         R"(083{"guid":"","channel":"a\",\"guid\":\"X","protocol":"{p}","include":"","exclude":""})"},
        {"utf8_and_controls",
         make("", "\xC3\xA9\xF0\x9F\x98\x80", "", "a,b", "c\nd", "t\xC3\xA9xt"),
         "089{\"guid\":\"\",\"channel\":\"\\u00E9\\uD83D\\uDE00\",\"protocol\":\"\","
         "\"include\":\"a,b\",\"exclude\":\"c\\nd\"}t\xC3\xA9xt"},
        // The text after the header is carried as it is, digits and braces included.
        {"text_that_looks_like_an_envelope", make("", "", "", "", "", "064{}"),
         "064" + kEmptyHeader + "064{}"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzWSLoadBalancerMessage m;
        m.FGuid = c.fields.guid;
        m.FChannel = c.fields.channel;
        m.FProtocol = c.fields.protocol;
        m.FInclude = c.fields.include;
        m.FExclude = c.fields.exclude;
        m.FText = c.fields.text;
        EXPECT_EQ(m.Write(), c.wire);
        TkbzWSLoadBalancerMessage read;
        read.FText = "stale";
        read.Read(c.wire);
        EXPECT_EQ(read.FGuid, m.FGuid);
        EXPECT_EQ(read.FChannel, m.FChannel);
        EXPECT_EQ(read.FProtocol, m.FProtocol);
        EXPECT_EQ(read.FInclude, m.FInclude);
        EXPECT_EQ(read.FExclude, m.FExclude);
        EXPECT_EQ(read.FText, m.FText);
    }
}

TEST(kbzLoadBalancerMessage, TextEnvelopesFromOtherWritersAreRead)
{
    // A writer that does not escape counts the header's characters in UTF-16 units.
    const std::string header = "{\"guid\":\"\",\"channel\":\"\xC3\xA9\xF0\x9F\x98\x80\"}";
    TkbzWSLoadBalancerMessage m;
    m.Read("027" + header + "rest");
    EXPECT_EQ(m.FChannel, "\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(m.FText, "rest");
    // Missing members are empty; members in another order are found by name.
    m.Read(R"(021{"text":1,"guid":"Z"}body)");
    EXPECT_EQ(m.FGuid, "Z");
    EXPECT_EQ(m.FChannel, "");
    EXPECT_EQ(m.FText, "body");
}

TEST(kbzLoadBalancerMessage, BadTextEnvelopesRaiseInsteadOfReadingOutOfRange)
{
    struct Case
    {
        const char* name;
        std::string wire;
        bool conversion; // EConvertError, else TkbzWSException
    };
    const Case cases[] = {
        {"empty", "", true},
        {"two_digits", "06", true},
        {"letters", "abc{}", true},
        {"sign", "+64" + kEmptyHeader, true},
        {"blank", " 64" + kEmptyHeader, true},
        {"longer_than_what_arrived", "999{\"guid\":\"\"}", false},
        {"one_more_than_arrived", "065" + kEmptyHeader, false},
        {"ends_inside_a_surrogate_pair", "011{\"c\":\"\xF0\x9F\x98\x80\"}", false},
        {"header_is_no_object", "002hi", false},
        {"header_is_a_list", "002[]", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzWSLoadBalancerMessage m;
        if (c.conversion)
        {
            EXPECT_THROW(m.Read(c.wire), EConvertError);
        }
        else
        {
            EXPECT_THROW(m.Read(c.wire), TkbzWSException);
        }
    }
}

TEST(kbzLoadBalancerMessage, AHeaderOver999CharactersIsRefusedBeforeSending)
{
    TkbzWSLoadBalancerMessage m;
    // 64 characters of empty header; the channel brings it to exactly 999, then one more.
    m.FChannel = std::string(999 - 64, 'c');
    EXPECT_EQ(m.Write().substr(0, 3), "999");
    m.FChannel.push_back('c');
    EXPECT_THROW(m.Write(), TkbzWSException);
    // Escaping counts: one control character takes six.
    m.FChannel = std::string(999 - 64 - 6, 'c') + "\x01";
    EXPECT_EQ(m.Write().substr(0, 3), "999");
    m.FChannel += "\x01";
    EXPECT_THROW(m.Write(), TkbzWSException);
}

TEST(kbzLoadBalancerMessage, BinaryEnvelopes)
{
    struct Case
    {
        const char* name;
        std::string guid;
        std::string payload;
        std::string wire;
    };
    const Case cases[] = {
        {"broadcast_three_bytes", "", std::string("\x00\xFF\x10", 3),
         std::string("0000000000\x00\xFF\x10", 13)},
        {"write_to_identifier", "AB12", "xyz", "0000000004AB12xyz"},
        {"empty_payload", "G", "", "0000000001G"},
        {"payload_of_digits", "", "0000000005", "00000000000000000005"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzWSLoadBalancerBinary b;
        b.FGuid = c.guid;
        b.FChannel = "not sent";
        b.FSize = 7;
        const auto wire = b.Write(Bytes(c.payload));
        EXPECT_EQ(std::string(wire.begin(), wire.end()), c.wire);
        TkbzMemoryStream stream(Bytes(c.payload));
        stream.SetPosition(1);
        EXPECT_EQ(b.Write(stream), wire); // the whole stream, whatever its position

        TkbzWSLoadBalancerBinary read;
        read.FChannel = "stale";
        const auto payload = read.Read(wire);
        EXPECT_EQ(read.FGuid, c.guid);
        EXPECT_EQ(read.FChannel, "");
        EXPECT_EQ(read.FSize, 0);
        EXPECT_EQ(std::string(payload.begin(), payload.end()), c.payload);
    }
}

TEST(kbzLoadBalancerMessage, BadBinaryEnvelopesRaise)
{
    struct Case
    {
        const char* name;
        std::string wire;
        bool conversion;
    };
    const Case cases[] = {
        {"nine_bytes", "000000000", true},
        {"not_digits", "00000000x1G", true},
        {"minus", "-000000001G", true},
        {"identifier_longer_than_what_arrived", "0000000005ABCD", false},
        {"huge_length", "9999999999", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzWSLoadBalancerBinary b;
        if (c.conversion)
        {
            EXPECT_THROW(b.Read(Bytes(c.wire)), EConvertError);
        }
        else
        {
            EXPECT_THROW(b.Read(Bytes(c.wire)), TkbzWSException);
        }
    }
}

TEST(kbzLoadBalancerMessage, RegistrationRecords)
{
    TkbzWSLoadBalancerClientConnection connection;
    connection.FActive = true;
    connection.FGuid = "0123ABCD";
    connection.FIP = "127.0.0.1";
    connection.FChannel = "news\nsport\n";
    connection.FProtocol = "chat";
    const std::string connectionText =
        R"({"method":"kbz@lb@client@connection","active":true,"guid":"0123ABCD","ip":"127.0.0.1",)"
        R"("channel":"news\nsport\n","protocol":"chat"})";
    EXPECT_EQ(connection.Write(), connectionText);
    TkbzWSLoadBalancerClientConnection readConnection;
    readConnection.Read(connectionText);
    EXPECT_TRUE(readConnection.FActive);
    EXPECT_EQ(readConnection.FChannel, "news\nsport\n");
    EXPECT_EQ(readConnection.FGuid, "0123ABCD");
    readConnection.Read(R"({"guid":"X"})");
    EXPECT_FALSE(readConnection.FActive);
    EXPECT_EQ(readConnection.FIP, "");

    TkbzWSLoadBalancerServerBinding binding;
    binding.FHost = "127.0.0.1";
    binding.FPort = 8443;
    binding.FSSL = true;
    const std::string bindingText =
        R"({"method":"kbz@lb@server@binding","host":"127.0.0.1","port":8443,"ssl":true})";
    EXPECT_EQ(binding.Write(), bindingText);
    struct BindingCase
    {
        std::string text;
        std::string host;
        int port;
        bool ssl;
    };
    const BindingCase bindings[] = {
        {bindingText, "127.0.0.1", 8443, true},
        {R"({"host":"h","port":"81","ssl":"TRUE"})", "h", 81, true},
        {R"({"ssl":false})", "", 0, false},
        {"not json", "", 0, false},
    };
    for (const auto& b : bindings)
    {
        SCOPED_TRACE(b.text);
        TkbzWSLoadBalancerServerBinding read;
        read.Read(b.text);
        EXPECT_EQ(read.FHost, b.host);
        EXPECT_EQ(read.FPort, b.port);
        EXPECT_EQ(read.FSSL, b.ssl);
    }
    TkbzWSLoadBalancerServerBinding bad;
    EXPECT_THROW(bad.Read(R"({"port":"eighty"})"), EConvertError);

    TkbzWSLoadBalancerServerData data;
    data.FGuid = "S\"1";
    EXPECT_EQ(data.Write(), R"({"method":"kbz@lb@server@data","guid":"S\"1"})");
    TkbzWSLoadBalancerServerData readData;
    readData.Read(data.Write());
    EXPECT_EQ(readData.FGuid, "S\"1");

    TkbzWSLoadBalancerServerBinding copy;
    copy.Assign(binding);
    EXPECT_EQ(copy.Write(), bindingText);
    EXPECT_THROW(copy.Assign(data), EConvertAssign);
}

TEST(kbzLoadBalancerMessage, KindsOfLinkTexts)
{
    using enum TkbzLoadBalancerTextKind;
    TkbzWSLoadBalancerClientConnection connection;
    TkbzWSLoadBalancerServerBinding binding;
    TkbzWSLoadBalancerServerData data;
    const std::pair<std::string, TkbzLoadBalancerTextKind> cases[] = {
        {"064" + kEmptyHeader + "hi", lbkEnvelope},
        {connection.Write(), lbkConnection},
        {binding.Write(), lbkBinding},
        {data.Write(), lbkData},
        {"kbz@lb@server@ready", lbkReady},
        {R"({"method":"other"})", lbkUnknown},
        {"hello", lbkUnknown},
        {"", lbkUnknown},
    };
    for (const auto& [text, kind] : cases)
    {
        SCOPED_TRACE(text);
        EXPECT_EQ(kbzLoadBalancerTextKind(text), kind);
    }
}

} // namespace
