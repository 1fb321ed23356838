// Test entry point: writes to closed sockets must fail with EPIPE, not kill the run.
#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
