// Drives one permessage-deflate exchange with an independent peer program speaking the line
// protocol of tests/interop/deflate_peer.py (and deflate_peer.js): negotiation through the real
// offer and answer texts, then each side inflates what the other compressed. Bytes travel
// through files in a temporary folder; no network is involved.
#pragma once

#include "tests/support/kbzTestProcess.h"
#include "websocket/kbzWebSocket_Extensions.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace kbz::test::deflate
{

inline TBytes Json(std::size_t size, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string text;
    while (text.size() < size)
    {
        text += R"({"event": "message", "seq": )" + std::to_string(rng() % 100000) +
                R"(, "text": "sample )" + std::to_string(rng() % 1000) + R"("}, )";
    }
    text.resize(size);
    return TBytes(text.begin(), text.end());
}

inline TBytes Noise(std::size_t size, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    TBytes bytes(size);
    for (auto& b : bytes)
    {
        b = static_cast<std::uint8_t>(rng());
    }
    return bytes;
}

inline void WriteFile(const std::filesystem::path& path, const TBytes& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline TBytes ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return TBytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::string AfterPrefix(const std::string& line, const std::string& prefix)
{
    return line.substr(std::min(line.size(), prefix.size()));
}

struct Case
{
    const char* name;
    bool peerIsClient;
    std::function<void(TkbzWSExtensions&)> ours; // on top of permessage-deflate enabled
    std::string peerOptions;                     // the peer factory's options, in its own syntax
    std::string expectedAnswer;                  // the answer value either side gives
};

inline void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

inline const auto NoChange = [](TkbzWSExtensions&) {};

// argv: the peer program and its script; role, folder and options are appended.
inline void Exchange(const Case& c, std::vector<std::string> argv,
                     const TestProcess::Options& options = {})
{
    const std::string header = "Sec-WebSocket-Extensions: ";
    const std::filesystem::path dir = MakeTempDir("kbz-deflate");
    ASSERT_FALSE(dir.empty());

    TkbzWSExtensions ours;
    ours.SetMode(c.peerIsClient ? TwsApplicationMode::appServer : TwsApplicationMode::appClient);
    ours.PerMessage_Deflate().SetEnabled(true);
    c.ours(ours);

    argv.insert(argv.end(), {c.peerIsClient ? "client" : "server", dir.string(), c.peerOptions});
    TestProcess peer;
    ASSERT_TRUE(peer.Start(argv, options));

    std::string answer;
    if (c.peerIsClient)
    {
        const auto at = peer.WaitForLineContaining("OFFER ", 20s);
        ASSERT_TRUE(at.has_value()) << "no offer from the peer";
        ours.DecodeExtensions(AfterPrefix(peer.Lines()[*at], "OFFER "));
        std::vector<std::string> lines;
        ours.WriteHeader(lines);
        ASSERT_EQ(lines.size(), 1u);
        answer = AfterPrefix(lines[0], header);
        peer.WriteLine("ANSWER " + answer);
    }
    else
    {
        std::vector<std::string> lines;
        ours.WriteHeader(lines);
        ASSERT_EQ(lines.size(), 1u);
        peer.WriteLine("OFFER " + AfterPrefix(lines[0], header));
        const auto at = peer.WaitForLineContaining("ANSWER ", 20s);
        ASSERT_TRUE(at.has_value()) << "no answer from the peer";
        answer = AfterPrefix(peer.Lines()[*at], "ANSWER ");
        ours.DecodeExtensions(answer);
    }
    EXPECT_EQ(answer, c.expectedAnswer);
    ASSERT_TRUE(ours.Compression());
    ASSERT_TRUE(peer.WaitForLineContaining("READY", 20s).has_value());

    const std::vector<TBytes> plain = {
        {},
        Json(1, 1),
        Json(1024, 2),
        Json(1024, 2),
        {},
        Noise(4096, 3),
        Json(100 * 1024, 4),
        Json(300, 5),
        Json(1 << 20, 6),
        Json(300, 5),
    };
    for (std::size_t i = 0; i < plain.size(); ++i)
    {
        TBytes wire = plain[i];
        const bool rsv1 = ours.WriteStream(wire);
        WriteFile(dir / ("plain_" + std::to_string(i) + ".bin"), plain[i]);
        WriteFile(dir / ("ours_" + std::to_string(i) + ".bin"), wire);
        if (rsv1)
        {
            WriteFile(dir / ("ours_" + std::to_string(i) + ".rsv1"), {});
        }
    }
    peer.WriteLine("GO " + std::to_string(plain.size()));
    ASSERT_TRUE(peer.WaitForLineContaining("DONE", 60s).has_value())
        << testing::PrintToString(peer.Lines());
    ASSERT_EQ(peer.WaitForExit(20s), 0);

    // The peer inflated everything we compressed...
    const auto lines = peer.Lines();
    for (std::size_t i = 0; i < plain.size(); ++i)
    {
        const std::string expected = "RESULT " + std::to_string(i) + " ok";
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end())
            << expected << "\n"
            << testing::PrintToString(lines);
    }
    // ...and we inflate everything the peer compressed, in order, context carried across.
    for (std::size_t i = 0; i < plain.size(); ++i)
    {
        SCOPED_TRACE("peer message " + std::to_string(i));
        TBytes data = ReadFile(dir / ("theirs_" + std::to_string(i) + ".bin"));
        ours.DecodeHeader(0xC2);
        ours.ReadStream(data);
        EXPECT_EQ(data, plain[i]);
    }
    std::filesystem::remove_all(dir);
}

} // namespace kbz::test::deflate
