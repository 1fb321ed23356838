// Test entry point: writes to closed sockets must fail with EPIPE, not kill the run; and the
// programs the tests start see no proxy of the machine's (they read the proxy variables), so
// they only ever reach the loopback peers the tests give them.
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"})
    {
        ::unsetenv(name);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
