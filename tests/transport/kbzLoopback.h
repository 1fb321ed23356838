// Small loopback peers for the transport tests: a raw listening socket on
// 127.0.0.1 or ::1 with port 0, accepts bounded by a deadline, and helpers that
// move bytes through TkbzIOHandler ends with deadlines.
#pragma once

#include "transport/kbzSocket_Classes.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace kbz::test
{

inline const char* LoopbackAddress(TwsIPVersion v)
{
    return v == TwsIPVersion::ipV6 ? "::1" : "127.0.0.1";
}

// A listening socket on loopback, port chosen by the system.
class LoopbackListener
{
public:
    explicit LoopbackListener(TwsIPVersion v = TwsIPVersion::ipV4, int backlog = 16)
    {
        const int family = v == TwsIPVersion::ipV6 ? AF_INET6 : AF_INET;
        FSocket = TkbzSocket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!FSocket.Valid())
        {
            throw std::runtime_error("socket() failed");
        }
        sockaddr_storage addr{};
        socklen_t len = 0;
        if (family == AF_INET6)
        {
            auto* a6 = reinterpret_cast<sockaddr_in6*>(&addr);
            a6->sin6_family = AF_INET6;
            a6->sin6_addr = in6addr_loopback;
            len = sizeof(sockaddr_in6);
        }
        else
        {
            auto* a4 = reinterpret_cast<sockaddr_in*>(&addr);
            a4->sin_family = AF_INET;
            a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof(sockaddr_in);
        }
        if (::bind(FSocket.Handle(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::listen(FSocket.Handle(), backlog) != 0 ||
            ::getsockname(FSocket.Handle(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        {
            throw std::runtime_error("bind/listen failed");
        }
        FPort = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                         : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    }

    std::uint16_t Port() const { return FPort; }
    int Handle() const { return FSocket.Handle(); }

    // The next connection, or an invalid socket when none came within ms.
    TkbzSocket Accept(int ms = 5000)
    {
        pollfd pfd{FSocket.Handle(), POLLIN, 0};
        if (::poll(&pfd, 1, ms) <= 0)
        {
            return TkbzSocket();
        }
        return TkbzSocket(::accept4(FSocket.Handle(), nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    TkbzSocket FSocket;
    std::uint16_t FPort = 0;
};

inline std::vector<std::uint8_t> Bytes(std::string_view s)
{
    return std::vector<std::uint8_t>(s.begin(), s.end());
}

inline std::string Text(const std::vector<std::uint8_t>& b)
{
    return std::string(b.begin(), b.end());
}

inline void SendText(TkbzIOHandler& h, std::string_view s)
{
    h.Send(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// Reads from h until n bytes arrived, the stream ended, or ms passed.
inline std::string RecvText(TkbzIOHandler& h, std::size_t n, int ms = 5000)
{
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::uint8_t buf[4096];
    while (out.size() < n && std::chrono::steady_clock::now() < deadline)
    {
        if (!h.Readable(50))
        {
            continue;
        }
        const std::size_t got = h.Recv(buf, std::min(sizeof(buf), n - out.size()));
        if (got == 0)
        {
            break;
        }
        out.append(reinterpret_cast<const char*>(buf), got);
    }
    return out;
}

// The ways a byte string is cut into reads: whole, every two-way split, one byte at a time.
inline std::vector<std::vector<std::string>> AllCuts(std::string_view s)
{
    std::vector<std::vector<std::string>> cuts;
    cuts.push_back({std::string(s)});
    for (std::size_t i = 1; i < s.size(); ++i)
    {
        cuts.push_back({std::string(s.substr(0, i)), std::string(s.substr(i))});
    }
    std::vector<std::string> bytes;
    for (char c : s)
    {
        bytes.emplace_back(1, c);
    }
    cuts.push_back(bytes);
    return cuts;
}

inline std::string Describe(const std::vector<std::string>& cut)
{
    std::string d;
    for (const auto& piece : cut)
    {
        d += "[" + std::to_string(piece.size()) + "]";
    }
    return d;
}

} // namespace kbz::test
