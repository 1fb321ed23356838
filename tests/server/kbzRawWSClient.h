// A minimal WebSocket client on a plain blocking socket, for tests that need
// many clients cheaply (one thread can poll hundreds of them) or need to stop
// reading on purpose. Sends the upgrade request as written, masks its frames,
// and collects the server's unfragmented text and binary messages.
#pragma once

#include "base/kbzBase_Helpers.h"
#include "transport/kbzSocket_Classes.h"
#include "websocket/kbzWebSocket_Codec.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace kbz::test
{

class RawWSClient
{
public:
    // Connects to 127.0.0.1:port; with upgrade, sends the request and waits
    // for the 101 answer. False on any failure within timeoutMs.
    bool Connect(int port, bool upgrade = true, const std::string& path = "/",
                 const std::string& extraHeaders = "", int timeoutMs = 5000)
    {
        try
        {
            FSocket = kbzConnectTCP("127.0.0.1", static_cast<std::uint16_t>(port),
                                    TwsIPVersion::ipV4, timeoutMs);
        }
        catch (...)
        {
            return false;
        }
        if (!upgrade)
        {
            return true;
        }
        SendRaw("GET " + path +
                " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n" +
                extraHeaders + "\r\n");
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (FBuffer.find("\r\n\r\n") == std::string::npos)
        {
            const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  deadline - std::chrono::steady_clock::now())
                                                  .count());
            if (left <= 0 || !ReadSome(left))
            {
                return false;
            }
        }
        const std::size_t end = FBuffer.find("\r\n\r\n") + 4;
        FHead = FBuffer.substr(0, end);
        FBuffer.erase(0, end);
        return FHead.rfind("HTTP/1.1 101", 0) == 0;
    }

    int Fd() const { return FSocket.Handle(); }
    const std::string& Head() const { return FHead; }
    bool Closed() const { return FClosed; }

    void SendRaw(std::string_view bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size())
        {
            const ssize_t n = ::send(Fd(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
            {
                return;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    void SendText(std::string_view text)
    {
        const auto frame = kbzBuildFrame(TOpcode::opText, kbzAsBytes(text), true, true, false);
        SendRaw(std::string_view(reinterpret_cast<const char*>(frame.data()), frame.size()));
    }
    void SendClose()
    {
        const auto frame =
            kbzBuildFrame(TOpcode::opClose, kbzBuildClosePayload(1000), true, true, false);
        SendRaw(std::string_view(reinterpret_cast<const char*>(frame.data()), frame.size()));
    }
    void Close() { FSocket = TkbzSocket(); }

    // Reads what is there (waiting up to ms for something); false at the end of the stream.
    bool ReadSome(int ms)
    {
        pollfd pfd{Fd(), POLLIN, 0};
        if (::poll(&pfd, 1, ms) <= 0)
        {
            return !FClosed;
        }
        char buf[65536];
        const ssize_t n = ::recv(Fd(), buf, sizeof(buf), 0);
        if (n <= 0)
        {
            FClosed = true;
            return false;
        }
        FBuffer.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    // Whole server frames buffered so far: text and binary payloads in order.
    // Raw bytes of a non-WebSocket session stay in Buffer().
    std::vector<std::string> TakeMessages()
    {
        std::vector<std::string> out;
        for (;;)
        {
            if (FBuffer.size() < 2)
            {
                return out;
            }
            const auto* b = reinterpret_cast<const std::uint8_t*>(FBuffer.data());
            std::uint64_t length = b[1] & 0x7F;
            std::size_t header = 2;
            if (length == 126)
            {
                if (FBuffer.size() < 4)
                {
                    return out;
                }
                length = (std::uint64_t(b[2]) << 8) | b[3];
                header = 4;
            }
            else if (length == 127)
            {
                if (FBuffer.size() < 10)
                {
                    return out;
                }
                length = 0;
                for (int i = 0; i < 8; ++i)
                {
                    length = (length << 8) | b[2 + i];
                }
                header = 10;
            }
            if (FBuffer.size() < header + length)
            {
                return out;
            }
            const int opcode = b[0] & 0x0F;
            if (opcode == 1 || opcode == 2)
            {
                out.push_back(FBuffer.substr(header, static_cast<std::size_t>(length)));
            }
            else if (opcode == 8)
            {
                FCloseSeen = true;
            }
            FBuffer.erase(0, header + static_cast<std::size_t>(length));
        }
    }
    std::string& Buffer() { return FBuffer; }
    bool CloseSeen() const { return FCloseSeen; }

private:
    TkbzSocket FSocket;
    std::string FBuffer;
    std::string FHead;
    bool FClosed = false;
    bool FCloseSeen = false;
};

} // namespace kbz::test
