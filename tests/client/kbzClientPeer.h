// A scripted WebSocket server on 127.0.0.1 for the client's tests: each accepted connection
// runs a session function that reads the request head, writes whatever answer the test wants
// (raw bytes, so broken answers are as easy as good ones) and plays the peer with frames.
// Every read has a deadline; the peer stops its sessions when it is destroyed.
#pragma once

#include "base/kbzBase_Helpers.h"
#include "tests/transport/kbzLoopback.h"
#include "websocket/kbzWebSocket_Codec.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kbz::test
{

// One accepted connection, seen from the server's side.
class PeerConnection
{
public:
    PeerConnection(TkbzSocket socket, const std::atomic<bool>& stop)
        : FChannel(std::move(socket)), FStop(stop)
    {
        FDecoder.Options().MaskRequired = true;
    }

    bool Send(std::string_view bytes)
    {
        try
        {
            FChannel.Send(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            return true;
        }
        catch (...)
        {
            return false;
        }
    }
    bool Send(const std::vector<std::uint8_t>& bytes)
    {
        return Send(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    bool SendFrame(TOpcode opcode, std::string_view payload, bool fin = true)
    {
        return Send(kbzBuildFrame(opcode, kbzAsBytes(payload), false, fin));
    }

    // Reads more bytes into the buffer; false when the client closed, the peer is stopping,
    // or nothing came within ms.
    bool ReadMore(int ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!FStop.load() && std::chrono::steady_clock::now() < deadline)
        {
            try
            {
                if (!FChannel.Readable(20))
                {
                    continue;
                }
                std::uint8_t buf[65536];
                const std::size_t got = FChannel.Recv(buf, sizeof buf);
                if (got == 0)
                {
                    FClosed = true;
                    return false;
                }
                FBuffer.append(reinterpret_cast<const char*>(buf), got);
                return true;
            }
            catch (...)
            {
                FClosed = true;
                return false;
            }
        }
        return false;
    }

    // The request head (up to the empty line), or nothing within ms.
    std::optional<std::string> ReadHead(int ms = 5000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;)
        {
            const std::size_t end = FBuffer.find("\r\n\r\n");
            if (end != std::string::npos)
            {
                std::string head = FBuffer.substr(0, end + 4);
                FBuffer.erase(0, end + 4);
                return head;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadMore(static_cast<int>(left.count())))
            {
                return std::nullopt;
            }
        }
    }

    struct Frame
    {
        TOpcode opcode = TOpcode::opNone;
        std::string payload;
        std::uint16_t closeCode = 0;
    };

    // The next whole message or control frame from the client, or nothing within ms (or when
    // the client closed or sent a frame a server must refuse).
    std::optional<Frame> ReadFrame(int ms = 5000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;)
        {
            std::span<const std::uint8_t> input(
                reinterpret_cast<const std::uint8_t*>(FBuffer.data()), FBuffer.size());
            const std::size_t before = input.size();
            const TkbzWSDecodeResult r = FDecoder.Decode(input);
            FBuffer.erase(0, before - input.size());
            if (r == TkbzWSDecodeResult::drError)
            {
                return std::nullopt;
            }
            if (r == TkbzWSDecodeResult::drMessage || r == TkbzWSDecodeResult::drControl)
            {
                const TkbzWSMsg& m = FDecoder.Msg();
                return Frame{m.FOpCode, std::string(m.FStream.begin(), m.FStream.end()),
                             r == TkbzWSDecodeResult::drControl ? FDecoder.CloseCode()
                                                                : std::uint16_t{0}};
            }
            if (!FBuffer.empty() && r != TkbzWSDecodeResult::drNeedMore)
            {
                continue;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadMore(static_cast<int>(left.count())))
            {
                return std::nullopt;
            }
        }
    }

    // Waits until the client closes the TCP connection (true) or ms pass (false); what
    // arrives meanwhile is kept.
    bool WaitClosed(int ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!FClosed && !FStop.load() && std::chrono::steady_clock::now() < deadline)
        {
            ReadMore(50);
        }
        return FClosed;
    }

    const std::string& Buffer() const { return FBuffer; }
    bool Stopping() const { return FStop.load(); }

private:
    TkbzSocketIOHandler FChannel;
    const std::atomic<bool>& FStop;
    std::string FBuffer;
    bool FClosed = false;
    TkbzWSFrameDecoder FDecoder;
};

// The Sec-WebSocket-Key line's value of a request head.
inline std::string RequestKey(const std::string& head)
{
    const std::string name = "Sec-WebSocket-Key: ";
    const std::size_t at = head.find(name);
    if (at == std::string::npos)
    {
        return {};
    }
    const std::size_t end = head.find("\r\n", at);
    return head.substr(at + name.size(), end - at - name.size());
}

// A correct 101 answer to the request head, with extra header lines (each ending in CR LF).
inline std::string Answer101(const std::string& head, const std::string& extra = {})
{
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Accept: " +
           kbzWebSocketAcceptKey(RequestKey(head)) + "\r\n" + extra + "\r\n";
}

class ScriptedPeer
{
public:
    using Session = std::function<void(PeerConnection&, const std::string& head)>;

    // session runs once per accepted connection, after its request head arrived (an empty
    // head when none came within 5 s), on the peer's thread, one connection at a time.
    explicit ScriptedPeer(Session session) : FSession(std::move(session))
    {
        FThread = std::thread([this] { Run(); });
    }
    ~ScriptedPeer()
    {
        FStop.store(true);
        FThread.join();
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int Port() const { return FListener.Port(); }
    std::string Url(const std::string& path = "/") const
    {
        return "ws://127.0.0.1:" + std::to_string(Port()) + path;
    }
    int Accepted() const { return FAccepted.load(); }
    // Request heads seen so far.
    std::vector<std::string> Heads() const
    {
        std::lock_guard guard(FLock);
        return FHeads;
    }

private:
    void Run()
    {
        while (!FStop.load())
        {
            TkbzSocket s = FListener.Accept(50);
            if (!s.Valid())
            {
                continue;
            }
            ++FAccepted;
            PeerConnection c(std::move(s), FStop);
            const std::string head = c.ReadHead().value_or(std::string());
            {
                std::lock_guard guard(FLock);
                FHeads.push_back(head);
            }
            try
            {
                FSession(c, head);
            }
            catch (...)
            {}
        }
    }

    LoopbackListener FListener;
    Session FSession;
    std::atomic<bool> FStop{false};
    std::atomic<int> FAccepted{0};
    mutable std::mutex FLock;
    std::vector<std::string> FHeads;
    std::thread FThread;
};

} // namespace kbz::test
