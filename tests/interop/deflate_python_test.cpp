// permessage-deflate against python3-websockets' own implementation of the extension: both sides
// negotiate through real offer and answer texts, then each inflates what the other compressed.
// Bytes travel through files; no network is involved.
#include "tests/support/kbzTestProcess.h"
#include "websocket/kbzWebSocket_Extensions.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

using namespace kbz;
using namespace kbz::test;

namespace
{

const std::string Python = "/usr/bin/python3";
const std::string HeaderName = "Sec-WebSocket-Extensions: ";

bool PythonWebSocketsPresent()
{
    if (!HaveProgram(Python))
    {
        return false;
    }
    TestProcess probe;
    if (!probe.Start({Python, "-c", "import websockets.extensions.permessage_deflate"}))
    {
        return false;
    }
    return probe.WaitForExit(20s) == 0;
}

TBytes Json(std::size_t size, std::uint32_t seed)
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

TBytes Noise(std::size_t size, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    TBytes bytes(size);
    for (auto& b : bytes)
    {
        b = static_cast<std::uint8_t>(rng());
    }
    return bytes;
}

void WriteFile(const std::filesystem::path& path, const TBytes& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TBytes ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return TBytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string AfterPrefix(const std::string& line, const std::string& prefix)
{
    return line.substr(std::min(line.size(), prefix.size()));
}

struct Case
{
    const char* name;
    bool pythonIsClient;
    std::function<void(TkbzWSExtensions&)> ours; // on top of permessage-deflate enabled
    std::string pythonArgs;                      // keyword arguments of the python factory
    std::string expectedAnswer;                  // the answer value either side gives
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

class DeflatePython : public testing::TestWithParam<Case>
{
};

TEST_P(DeflatePython, ExchangesMessagesBothWays)
{
    if (!PythonWebSocketsPresent())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    const Case& c = GetParam();
    const std::filesystem::path dir = MakeTempDir("kbz-deflate");
    ASSERT_FALSE(dir.empty());

    TkbzWSExtensions ours;
    ours.SetMode(c.pythonIsClient ? TwsApplicationMode::appServer
                                  : TwsApplicationMode::appClient);
    ours.PerMessage_Deflate().SetEnabled(true);
    c.ours(ours);

    TestProcess peer;
    ASSERT_TRUE(peer.Start({Python, SourcePath("tests/interop/deflate_peer.py"),
                            c.pythonIsClient ? "client" : "server", dir.string(), c.pythonArgs}));

    // Negotiation through the texts each side really writes.
    std::string answer;
    if (c.pythonIsClient)
    {
        const auto at = peer.WaitForLineContaining("OFFER ", 20s);
        ASSERT_TRUE(at.has_value()) << "no offer from python";
        ours.DecodeExtensions(AfterPrefix(peer.Lines()[*at], "OFFER "));
        std::vector<std::string> lines;
        ours.WriteHeader(lines);
        ASSERT_EQ(lines.size(), 1u);
        answer = AfterPrefix(lines[0], HeaderName);
        peer.WriteLine("ANSWER " + answer);
    }
    else
    {
        std::vector<std::string> lines;
        ours.WriteHeader(lines);
        ASSERT_EQ(lines.size(), 1u);
        peer.WriteLine("OFFER " + AfterPrefix(lines[0], HeaderName));
        const auto at = peer.WaitForLineContaining("ANSWER ", 20s);
        ASSERT_TRUE(at.has_value()) << "no answer from python";
        answer = AfterPrefix(peer.Lines()[*at], "ANSWER ");
        ours.DecodeExtensions(answer);
    }
    EXPECT_EQ(answer, c.expectedAnswer);
    ASSERT_TRUE(ours.Compression());
    ASSERT_TRUE(peer.WaitForLineContaining("READY", 20s).has_value());

    const std::vector<TBytes> plain = {
        {},          Json(1, 1),         Json(1024, 2),       Json(1024, 2),
        Noise(4096, 3), Json(100 * 1024, 4), Json(300, 5),   Json(1 << 20, 6),
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
    const auto done = peer.WaitForLineContaining("DONE", 60s);
    ASSERT_TRUE(done.has_value()) << "python did not finish";
    ASSERT_EQ(peer.WaitForExit(20s), 0);

    // Python inflated everything we compressed...
    const auto lines = peer.Lines();
    for (std::size_t i = 0; i < plain.size(); ++i)
    {
        const std::string expected = "RESULT " + std::to_string(i) + " ok";
        EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end())
            << expected << "\n" << testing::PrintToString(lines);
    }
    // ...and we inflate everything python compressed, in order, context carried across.
    for (std::size_t i = 0; i < plain.size(); ++i)
    {
        SCOPED_TRACE("python message " + std::to_string(i));
        TBytes data = ReadFile(dir / ("theirs_" + std::to_string(i) + ".bin"));
        ours.DecodeHeader(0xC2);
        ours.ReadStream(data);
        EXPECT_EQ(data, plain[i]);
    }
    std::filesystem::remove_all(dir);
}

const auto NoChange = [](TkbzWSExtensions&) {};

INSTANTIATE_TEST_SUITE_P(
    Interop, DeflatePython,
    testing::Values(
        Case{"python_server_defaults", false, NoChange, "", "permessage-deflate"},
        Case{"python_server_limits_windows", false, NoChange,
             "server_max_window_bits=11, client_max_window_bits=12",
             "permessage-deflate; server_max_window_bits=11; client_max_window_bits=12"},
        Case{"python_server_no_context", false, NoChange,
             "server_no_context_takeover=True, client_no_context_takeover=True",
             "permessage-deflate; server_no_context_takeover; client_no_context_takeover"},
        Case{"we_ask_small_windows_no_context", false,
             [](TkbzWSExtensions& e) {
                 auto& p = e.PerMessage_Deflate();
                 p.SetClientMaxWindowBits(9);
                 p.SetServerMaxWindowBits(10);
                 p.SetClientNoContextTakeOver(true);
                 p.SetServerNoContextTakeOver(true);
             },
             "",
             "permessage-deflate; server_no_context_takeover; client_no_context_takeover; "
             "server_max_window_bits=10; client_max_window_bits=9"},
        Case{"python_client_defaults", true, NoChange, "",
             "permessage-deflate;client_max_window_bits=15"},
        Case{"python_client_asks_small_windows", true, NoChange,
             "server_max_window_bits=10, client_max_window_bits=9, "
             "client_no_context_takeover=True",
             "permessage-deflate;client_no_context_takeover;server_max_window_bits=10;"
             "client_max_window_bits=9"},
        Case{"our_server_limits_python_client", true,
             [](TkbzWSExtensions& e) {
                 e.PerMessage_Deflate().SetClientMaxWindowBits(10);
                 e.PerMessage_Deflate().SetServerNoContextTakeOver(true);
             },
             "", "permessage-deflate;client_max_window_bits=10;server_no_context_takeover"}),
    [](const testing::TestParamInfo<Case>& p) { return p.param.name; });

} // namespace
