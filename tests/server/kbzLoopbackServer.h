// A server on 127.0.0.1 with a system-chosen port, on the engine the tests run
// on, recording its errors, exceptions, close codes, connects and startups.
#pragma once

#include "server/kbzWebSocket_Server.h"
#include "tests/server/kbzServerEngine.h"

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace kbz::test
{

struct LoopbackServer
{
    std::mutex lock;
    std::vector<std::string> errors;
    std::vector<std::string> exceptions;
    std::vector<int> closeCodes;
    std::vector<std::size_t> binaries; // sizes, once RecordBinaries was called
    std::atomic<int> connects{0};
    std::atomic<int> startups{0};
    // Last, so that it is destroyed first: its connection threads may still
    // raise events into the members above until its destructor has joined them.
    TkbzWSHTTPServer server;

    LoopbackServer()
    {
        server.OnStartup = [this](TkbzWSServer_Indy_Base&) { ++startups; };
        server.Bindings().push_back({"127.0.0.1", 0, TwsIPVersion::ipV4});
        server.SetPort(0);
        UseTestEngine(server);
        server.OnError = [this](const TkbzWSConnectionPtr&, const std::string& text) {
            std::lock_guard guard(lock);
            errors.push_back(text);
        };
        server.OnException = [this](const TkbzWSConnectionPtr&, const std::exception& e) {
            std::lock_guard guard(lock);
            exceptions.push_back(e.what());
        };
        server.OnConnect = [this](const TkbzWSConnectionPtr&) { ++connects; };
        server.OnDisconnect = [this](const TkbzWSConnectionPtr&, int code) {
            std::lock_guard guard(lock);
            closeCodes.push_back(code);
        };
    }
    int Start()
    {
        server.SetActive(true);
        return server.GetBoundPort();
    }
    std::vector<std::string> Errors()
    {
        std::lock_guard guard(lock);
        return errors;
    }
    std::vector<std::string> Exceptions()
    {
        std::lock_guard guard(lock);
        return exceptions;
    }
    std::vector<int> CloseCodes()
    {
        std::lock_guard guard(lock);
        return closeCodes;
    }
    // Keeps the size of every binary message.
    void RecordBinaries()
    {
        server.OnBinary = [this](const TkbzWSConnectionPtr&, TkbzMemoryStream& data) {
            std::lock_guard guard(lock);
            binaries.push_back(static_cast<std::size_t>(data.Size()));
        };
    }
    std::vector<std::size_t> Binaries()
    {
        std::lock_guard guard(lock);
        return binaries;
    }
};

} // namespace kbz::test
