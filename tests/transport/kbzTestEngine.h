// The engine that listener and server tests run their connections on, chosen
// by KBZ_TEST_ENGINE (threads, pool or epoll; threads when unset), so that
// ctest can run the same server suites once per engine.
#pragma once

#include "transport/kbzTCP_Server.h"

#include <cstdlib>
#include <string>

namespace kbz::test
{

inline TkbzServerEngine TestEngine()
{
    const char* name = std::getenv("KBZ_TEST_ENGINE");
    const std::string engine = name ? name : "";
    if (engine == "pool")
    {
        return TkbzServerEngine::sePool;
    }
    if (engine == "epoll")
    {
        return TkbzServerEngine::seEpoll;
    }
    return TkbzServerEngine::seThreads;
}

// Small pools and loops, so that the tests also meet a full pool and a loop
// that several connections share.
inline TkbzServerEngineOptions TestEngineOptions()
{
    TkbzServerEngineOptions o;
    o.Engine = TestEngine();
    o.PoolSize = 2;
    o.EPOLLThreads = 2;
    return o;
}

} // namespace kbz::test
