// Proxies for the client's proxy tests, all on 127.0.0.1 and only ever reaching loopback:
// tinyproxy (HTTP CONNECT, optionally with Basic authentication), microsocks (SOCKS 5,
// optionally with user name and password), dante (SOCKS 4 and 5) and a SOCKS 4A responder of
// our own (tests/interop/peers/socks4a_stub.py). Each is started on a free port and waited for
// until it accepts.
#pragma once

#include "tests/support/kbzTestProcess.h"
#include "transport/kbzSocket_Classes.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>

namespace kbz::test::proxy
{

enum class Kind
{
    Tinyproxy,
    Microsocks,
    Dante,
    Socks4AStub
};

inline const char* Name(Kind kind)
{
    switch (kind)
    {
    case Kind::Tinyproxy:
        return "tinyproxy";
    case Kind::Microsocks:
        return "microsocks";
    case Kind::Dante:
        return "danted";
    case Kind::Socks4AStub:
        return "socks4a stub";
    }
    return "";
}

inline std::string ProgramOf(Kind kind)
{
    switch (kind)
    {
    case Kind::Tinyproxy:
        return "tinyproxy";
    case Kind::Microsocks:
        return "microsocks";
    case Kind::Dante:
        return "/usr/sbin/danted";
    case Kind::Socks4AStub:
        return "/usr/bin/python3";
    }
    return "";
}

inline bool HaveProxy(Kind kind)
{
    return HaveProgram(ProgramOf(kind));
}

// CI installs every peer: there a missing one fails instead of skipping.
#define KBZ_REQUIRE_PROXY(kind)                                                                    \
    do                                                                                             \
    {                                                                                              \
        if (!::kbz::test::proxy::HaveProxy(kind))                                                  \
        {                                                                                          \
            if (std::getenv("CI"))                                                                 \
            {                                                                                      \
                FAIL() << ::kbz::test::proxy::Name(kind) << " is not installed";                   \
            }                                                                                      \
            GTEST_SKIP() << ::kbz::test::proxy::Name(kind) << " is not installed";                 \
        }                                                                                          \
    } while (false)

// Whether something accepts TCP connections on 127.0.0.1:port within timeout.
inline bool WaitAccepting(int port, std::chrono::milliseconds timeout)
{
    return WaitUntil(
        [port] {
            try
            {
                kbzConnectTCP("127.0.0.1", static_cast<std::uint16_t>(port), TwsIPVersion::ipV4,
                              500);
                return true;
            }
            catch (...)
            {
                return false;
            }
        },
        timeout);
}

class ProxyPeer
{
public:
    ~ProxyPeer()
    {
        Stop();
        if (!FDir.empty())
        {
            std::error_code ec;
            std::filesystem::remove_all(FDir, ec);
        }
    }

    // Starts the proxy; user and password, when given, are the credentials it demands.
    bool Start(Kind kind, const std::string& user = {}, const std::string& password = {})
    {
        FKind = kind;
        FDir = MakeTempDir("kbz-proxy");
        std::vector<std::string> argv;
        TestProcess::Options options;
        options.mergeStderr = true;
        if (kind == Kind::Socks4AStub)
        {
            argv = {"/usr/bin/python3", SourcePath("tests/interop/peers/socks4a_stub.py")};
            if (!user.empty())
            {
                argv.insert(argv.end(), {"--user", user});
            }
            if (!FProcess.Start(argv, options))
            {
                return false;
            }
            const auto at = FProcess.WaitForLine(
                [](const std::string& l) { return l.rfind("listening ", 0) == 0; }, 30s);
            if (!at)
            {
                return false;
            }
            FPort = std::stoi(FProcess.Lines()[*at].substr(10));
            return true;
        }
        FPort = FreePort();
        const std::string port = std::to_string(FPort);
        if (kind == Kind::Tinyproxy)
        {
            std::ofstream conf(FDir + "/tinyproxy.conf");
            conf << "Port " << port << "\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 30\n"
                 << "LogFile \"" << FDir << "/tinyproxy.log\"\nLogLevel Info\nMaxClients 50\n";
            if (!user.empty())
            {
                conf << "BasicAuth " << user << " " << password << "\n";
            }
            argv = {"tinyproxy", "-d", "-c", FDir + "/tinyproxy.conf"};
        }
        else if (kind == Kind::Microsocks)
        {
            argv = {"microsocks", "-i", "127.0.0.1", "-p", port, "-b", "127.0.0.1"};
            if (!user.empty())
            {
                argv.insert(argv.end(), {"-u", user, "-P", password});
            }
        }
        else
        {
            std::ofstream conf(FDir + "/danted.conf");
            conf << "logoutput: stderr\ninternal: 127.0.0.1 port = " << port
                 << "\nexternal: 127.0.0.1\nclientmethod: none\nsocksmethod: none\n";
            if (::geteuid() == 0)
            {
                conf << "user.privileged: root\nuser.unprivileged: nobody\n";
            }
            // Only loopback targets, so nothing ever leaves this machine.
            conf << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                 << "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 }\n"
                 << "socks block { from: 0.0.0.0/0 to: 0.0.0.0/0 }\n";
            argv = {"/usr/sbin/danted",
                    "-f",
                    FDir + "/danted.conf",
                    "-p",
                    FDir + "/danted.pid",
                    "-N",
                    "1"};
        }
        return FProcess.Start(argv, options) && WaitAccepting(FPort, 30s);
    }

    int Port() const { return FPort; }
    void Stop() { FProcess.Stop(); }
    TestProcess& Process() { return FProcess; }

    // What the proxy logged (tinyproxy's log file, the others' output).
    std::string Log() const
    {
        if (FKind == Kind::Tinyproxy)
        {
            std::ifstream in(FDir + "/tinyproxy.log");
            std::stringstream s;
            s << in.rdbuf();
            return s.str();
        }
        std::string out;
        for (const auto& l : FProcess.Lines())
        {
            out += l + "\n";
        }
        return out;
    }

private:
    Kind FKind = Kind::Tinyproxy;
    TestProcess FProcess;
    std::string FDir;
    int FPort = 0;
};

} // namespace kbz::test::proxy
