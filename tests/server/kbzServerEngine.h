// Puts a server on the engine that KBZ_TEST_ENGINE names (see
// tests/transport/kbzTestEngine.h), through its own options.
#pragma once

#include "server/kbzWebSocket_Server_Base.h"
#include "tests/transport/kbzTestEngine.h"

namespace kbz::test
{

inline void UseTestEngine(TkbzWSServer_Indy_Base& server)
{
    const TkbzServerEngineOptions o = TestEngineOptions();
    switch (o.Engine)
    {
    case TkbzServerEngine::sePool:
        server.ThreadPool = true;
        server.ThreadPoolOptions().PoolSize = o.PoolSize;
        break;
    case TkbzServerEngine::seEpoll:
        server.IOHandlerOptions().IOHandlerType = TwsIOHandler::iohEPOLL;
        server.IOHandlerOptions().EPOLL.EPOLLThreads = o.EPOLLThreads;
        break;
    case TkbzServerEngine::seThreads:
        break;
    }
}

} // namespace kbz::test
