// Drives a server component's execute rounds over an in-memory channel pair:
// the test plays the peer with raw bytes and decides how they are cut into reads.
#pragma once

#include "server/kbzWebSocket_Server_Base.h"
#include "tests/transport/kbzLoopback.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kbz::test
{

// A server whose events are recorded.
struct RecordingServer
{
    std::mutex lock;
    std::vector<std::string> errors;
    std::vector<std::string> texts;
    std::vector<std::string> binaries;
    int connects = 0;
    int disconnects = 0;
    // Last, so that it is destroyed first (its threads raise events into the above).
    TkbzWSServer_Indy_Base server;

    RecordingServer()
    {
        server.OnError = [this](const TkbzWSConnectionPtr&, const std::string& text) {
            std::lock_guard guard(lock);
            errors.push_back(text);
        };
        server.OnConnect = [this](const TkbzWSConnectionPtr&) {
            std::lock_guard guard(lock);
            ++connects;
        };
        server.OnDisconnect = [this](const TkbzWSConnectionPtr&, int) {
            std::lock_guard guard(lock);
            ++disconnects;
        };
        server.OnMessage = [this](const TkbzWSConnectionPtr&, const std::string& text) {
            std::lock_guard guard(lock);
            texts.push_back(text);
        };
        server.OnBinary = [this](const TkbzWSConnectionPtr&, TkbzMemoryStream& data) {
            std::lock_guard guard(lock);
            binaries.push_back(data.DataString());
        };
    }

    std::vector<std::string> Errors()
    {
        std::lock_guard guard(lock);
        return errors;
    }
    std::vector<std::string> Binaries()
    {
        std::lock_guard guard(lock);
        return binaries;
    }
    int Connects()
    {
        std::lock_guard guard(lock);
        return connects;
    }
};

// One connection of the server; the test holds the peer's end.
struct MemoryPeer
{
    TkbzWSServer_Indy_Base& server;
    std::unique_ptr<TkbzIOHandler> peer;
    TkbzWSConnectionServerPtr connection;
    bool ended = false;

    explicit MemoryPeer(TkbzWSServer_Indy_Base& s) : server(s)
    {
        auto [a, b] = kbzMemoryIOHandlerPair();
        peer = std::move(a);
        connection = server.OnListenerConnect(std::make_shared<TkbzIdTCPConnection>(std::move(b)));
    }
    ~MemoryPeer() { End(); }

    void Send(std::string_view bytes) { SendText(*peer, bytes); }
    void SendCut(const std::vector<std::string>& cut)
    {
        for (const auto& piece : cut)
        {
            Send(piece);
        }
    }

    // One execute step as the listener runs it; false once the connection is over.
    bool Step()
    {
        if (ended || !connection)
        {
            return false;
        }
        if (!server.OnListenerExecute(connection))
        {
            End();
            return false;
        }
        return true;
    }
    // The engine's wait for bytes, a wake or the step's deadline (at most
    // maxMs here, so that RunUntil keeps to its own deadline).
    void Wait(int maxMs = 100)
    {
        const int limit = server.ExecuteWaitLimit(connection);
        if (TkbzIdTCPConnection* tcp = connection->TCPConnection())
        {
            tcp->CheckForDataOnSource(limit < 0 ? maxMs : std::min(limit, maxMs));
        }
    }
    // A step and the wait after it.
    bool Round()
    {
        if (!Step())
        {
            return false;
        }
        Wait();
        return true;
    }
    // Steps until pred holds or the connection ends, within the deadline.
    bool RunUntil(const std::function<bool()>& pred,
                  std::chrono::milliseconds deadline = std::chrono::milliseconds(5000))
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (!pred())
        {
            if (std::chrono::steady_clock::now() > end || !Step())
            {
                return pred();
            }
            if (pred())
            {
                return true;
            }
            Wait();
        }
        return true;
    }
    // What the server wrote, waiting at most ms for at least n bytes.
    std::string Read(std::size_t n, int ms = 2000) { return RecvText(*peer, n, ms); }
    // Everything the server wrote until it closed (or ms passed).
    std::string ReadAll(int ms = 2000)
    {
        return RecvText(*peer, static_cast<std::size_t>(-1) / 2, ms);
    }
    void End()
    {
        if (!ended && connection)
        {
            ended = true;
            if (auto* tcp = connection->TCPConnection())
            {
                tcp->Disconnect(false);
            }
            server.OnListenerDisconnect(connection);
        }
    }
};

} // namespace kbz::test
