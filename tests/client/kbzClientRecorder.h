// Records a client's events as short texts ("connect", "disconnect 1000", "message TEXT",
// "binary N", "error TEXT", "exception TEXT") and lets a test wait for them with deadlines.
#pragma once

#include "client/kbzWebSocket_Client.h"
#include "tests/support/kbzTestProcess.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kbz::test
{

class EventRecorder
{
public:
    using Clock = std::chrono::steady_clock;

    void Attach(TkbzWSClient& client)
    {
        client.OnConnect = [this](const TkbzWSConnectionPtr&) { Add("connect"); };
        client.OnDisconnect = [this](const TkbzWSConnectionPtr&, int code) {
            Add("disconnect " + std::to_string(code));
        };
        client.OnMessage = [this](const TkbzWSConnectionPtr&, const std::string& text) {
            Add("message " + text);
        };
        client.OnBinary = [this](const TkbzWSConnectionPtr&, TkbzMemoryStream& data) {
            Add("binary " + data.DataString());
        };
        client.OnError = [this](const TkbzWSConnectionPtr&, const std::string& text) {
            Add("error " + text);
        };
        client.OnException = [this](const TkbzWSConnectionPtr&, const std::exception& e) {
            Add(std::string("exception ") + e.what());
        };
    }

    void Add(std::string event)
    {
        {
            std::lock_guard guard(FLock);
            FEvents.push_back(std::move(event));
            FTimes.push_back(Clock::now());
        }
        FChanged.notify_all();
    }

    std::vector<std::string> Events() const
    {
        std::lock_guard guard(FLock);
        return FEvents;
    }
    Clock::time_point TimeOf(std::size_t i) const
    {
        std::lock_guard guard(FLock);
        return FTimes.at(i);
    }

    // Index of the first event at or after from that starts with prefix, waiting up to timeout.
    std::optional<std::size_t> Wait(const std::string& prefix,
                                    std::chrono::milliseconds timeout = 10s, std::size_t from = 0)
    {
        std::unique_lock lock(FLock);
        std::optional<std::size_t> found;
        FChanged.wait_for(lock, timeout, [&] {
            for (std::size_t i = from; i < FEvents.size(); ++i)
            {
                if (FEvents[i].rfind(prefix, 0) == 0)
                {
                    found = i;
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    std::size_t Count(const std::string& prefix) const
    {
        std::lock_guard guard(FLock);
        std::size_t n = 0;
        for (const auto& e : FEvents)
        {
            n += e.rfind(prefix, 0) == 0 ? 1 : 0;
        }
        return n;
    }
    std::size_t Size() const
    {
        std::lock_guard guard(FLock);
        return FEvents.size();
    }

    std::string Dump() const
    {
        std::string out;
        for (const auto& e : Events())
        {
            out += "  " + e.substr(0, 200) + "\n";
        }
        return out;
    }

private:
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<std::string> FEvents;
    std::vector<Clock::time_point> FTimes;
};

} // namespace kbz::test
