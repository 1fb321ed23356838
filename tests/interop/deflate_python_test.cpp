// permessage-deflate against python3-websockets' own implementation of the extension, in both
// roles, through tests/interop/deflate_peer.py.
#include "tests/interop/deflate_exchange.h"

using namespace kbz;
using namespace kbz::test;
using namespace kbz::test::deflate;

namespace
{

const std::string Python = "/usr/bin/python3";

bool PythonWebSocketsPresent()
{
    if (!HaveProgram(Python))
    {
        return false;
    }
    TestProcess probe;
    return probe.Start({Python, "-c", "import websockets.extensions.permessage_deflate"}) &&
           probe.WaitForExit(20s) == 0;
}

class DeflatePython : public testing::TestWithParam<Case>
{};

TEST_P(DeflatePython, ExchangesMessagesBothWays)
{
    if (!PythonWebSocketsPresent())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    Exchange(GetParam(), {Python, SourcePath("tests/interop/deflate_peer.py")});
}

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
