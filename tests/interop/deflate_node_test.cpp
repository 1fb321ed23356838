// permessage-deflate against node ws' own implementation of the extension, in both roles,
// through tests/interop/deflate_peer.js.
#include "tests/interop/deflate_exchange.h"

using namespace kbz;
using namespace kbz::test;
using namespace kbz::test::deflate;

namespace
{

const TestProcess::Options NodeOptions{{{"NODE_PATH", "/usr/share/nodejs"}}, "", false};

bool NodeWsPresent()
{
    if (!HaveProgram("node"))
    {
        return false;
    }
    TestProcess probe;
    return probe.Start({"node", "-e", "require('ws')"}, NodeOptions) && probe.WaitForExit(20s) == 0;
}

class DeflateNode : public testing::TestWithParam<Case>
{};

TEST_P(DeflateNode, ExchangesMessagesBothWays)
{
    if (!NodeWsPresent())
    {
        GTEST_SKIP() << "node ws is not installed";
    }
    Exchange(GetParam(), {"node", SourcePath("tests/interop/deflate_peer.js")}, NodeOptions);
}

INSTANTIATE_TEST_SUITE_P(
    Interop, DeflateNode,
    testing::Values(
        Case{"node_server_defaults", false, NoChange, "{}", "permessage-deflate"},
        Case{"node_server_limits_windows", false, NoChange,
             R"({"serverMaxWindowBits": 11, "clientMaxWindowBits": 9})",
             "permessage-deflate; client_max_window_bits=9; server_max_window_bits=11"},
        Case{"node_server_no_context", false, NoChange,
             R"({"serverNoContextTakeover": true, "clientNoContextTakeover": true})",
             "permessage-deflate; server_no_context_takeover; client_no_context_takeover"},
        Case{"node_client_defaults", true, NoChange, "{}",
             "permessage-deflate;client_max_window_bits=15"},
        Case{
            "node_client_asks_small_windows", true, NoChange,
            R"({"serverMaxWindowBits": 10, "clientMaxWindowBits": 12, "clientNoContextTakeover": true})",
            "permessage-deflate;client_no_context_takeover;server_max_window_bits=10;"
            "client_max_window_bits=12"}),
    [](const testing::TestParamInfo<Case>& p) { return p.param.name; });

} // namespace
