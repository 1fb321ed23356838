// examples/kbzEchoClient against python websockets and node ws servers that drive it: the
// servers send texts, binaries, fragmented messages and a ping, check every echo, then close.
#include "tests/interop/client_peers.h"

#include <gtest/gtest.h>

using namespace kbz::test;
using namespace kbz::test::client;

namespace
{

struct EchoCase
{
    const char* name;
    Peer::Kind kind;
    std::string mode;
    bool deflate;
    int exitCode;         // of kbzEchoClient
    std::string peerLine; // the start of the peer's verdict
};

void PrintTo(const EchoCase& c, std::ostream* os)
{
    *os << c.name;
}

class EchoClient : public testing::TestWithParam<EchoCase>
{};

TEST_P(EchoClient, AgainstADrivingServer)
{
    const EchoCase& c = GetParam();
    if (c.kind == Peer::NodeWS ? !HaveNodeWs() : !HavePythonWebSockets())
    {
        GTEST_SKIP() << "peer not installed";
    }
    Peer peer;
    ASSERT_TRUE(peer.Start(c.kind, {"--mode", c.mode}));
    TestProcess echo;
    std::vector<std::string> argv = {BinaryPath("kbzEchoClient")};
    if (c.deflate)
    {
        argv.push_back("-deflate");
    }
    argv.push_back(peer.Url("ws", 0, "/driver"));
    ASSERT_TRUE(echo.Start(argv));
    EXPECT_EQ(echo.WaitForExit(60s), c.exitCode);
    EXPECT_TRUE(peer.Process().WaitForLine(
        [&](const std::string& l) { return l.rfind(c.peerLine, 0) == 0; }, 20s))
        << "peer said: " << (peer.Process().Lines().empty() ? "" : peer.Process().Lines().back());
}

INSTANTIATE_TEST_SUITE_P(
    Interop, EchoClient,
    testing::Values(
        EchoCase{"python_driver", Peer::PythonWS, "driver", false, 0, "driver ok"},
        EchoCase{"python_driver_deflate", Peer::PythonWS, "driver", true, 0, "driver ok"},
        EchoCase{"node_driver", Peer::NodeWS, "driver", false, 0, "driver ok"},
        EchoCase{"node_driver_deflate", Peer::NodeWS, "driver", true, 0, "driver ok"},
        EchoCase{"python_invalid_utf8", Peer::PythonWS, "badutf8", false, 1, "closed 1007"},
        EchoCase{"node_invalid_utf8_deflate", Peer::NodeWS, "badutf8", true, 1, "closed 1007"},
        EchoCase{"python_closes_abnormally", Peer::PythonWS, "close:4002", false, 1, "listening"},
        // 4 MiB in small frames, gathered in linear time; 64 MiB is the
        // largest message accepted and one byte more closes with 1009.
        EchoCase{"node_4MiB_in_64B_frames", Peer::NodeWS, "pattern:4194304:64", false, 0,
                 "pattern ok"},
        EchoCase{"node_4MiB_in_1KiB_frames", Peer::NodeWS, "pattern:4194304:1024", false, 0,
                 "pattern ok"},
        EchoCase{"python_4MiB_in_64B_frames", Peer::PythonWS, "pattern:4194304:64", false, 0,
                 "pattern ok"},
        EchoCase{"python_4MiB_in_64KiB_frames", Peer::PythonWS, "pattern:4194304:65536", false, 0,
                 "pattern ok"},
        EchoCase{"node_64MiB", Peer::NodeWS, "pattern:67108864:0", false, 0, "pattern ok"},
        EchoCase{"node_64MiB_and_one_byte", Peer::NodeWS, "pattern:67108865:0", false, 1,
                 "closed 1009"},
        EchoCase{"python_64MiB_and_one_byte_in_frames", Peer::PythonWS, "pattern:67108865:1048576",
                 false, 1, "closed 1009"}),
    [](const testing::TestParamInfo<EchoCase>& p) { return p.param.name; });

TEST(EchoClientFailures, NoServerOrABadCommandLine)
{
    struct Case
    {
        std::vector<std::string> arguments;
        int exitCode;
    };
    const Case cases[] = {
        {{"ws://127.0.0.1:" + std::to_string(FreePort()) + "/"}, 1},
        {{}, 2},
        {{"-deflate"}, 2},
        {{"-nonsense", "ws://127.0.0.1:1/"}, 2},
        {{"ws://127.0.0.1:99999/"}, 2},
    };
    for (const auto& c : cases)
    {
        std::vector<std::string> argv = {BinaryPath("kbzEchoClient")};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        SCOPED_TRACE(c.arguments.empty() ? std::string("(none)") : c.arguments.back());
        TestProcess echo;
        ASSERT_TRUE(echo.Start(argv));
        EXPECT_EQ(echo.WaitForExit(30s), c.exitCode);
    }
}

} // namespace
