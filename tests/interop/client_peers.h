// Peers for the client's interoperability tests: the python websockets and node ws servers of
// tests/interop/peers/, the raw TCP peers, the console program driven line by line, and a
// strict JSON check of its event lines (python's json, not our own lenient reader).
#pragma once

#include "tests/support/kbzTestProcess.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace kbz::test::client
{

inline const std::string Python = "/usr/bin/python3";
inline const std::string Node = "/usr/bin/node";

inline bool ProbeOnce(const std::vector<std::string>& argv, const TestProcess::Options& options)
{
    TestProcess probe;
    return probe.Start(argv, options) && probe.WaitForExit(30s) == 0;
}

inline TestProcess::Options NodeOptions()
{
    TestProcess::Options o;
    o.env["NODE_PATH"] = "/usr/share/nodejs";
    return o;
}

inline bool HavePythonWebSockets()
{
    static const bool present =
        HaveProgram(Python) && ProbeOnce({Python, "-c", "import websockets"}, {});
    return present;
}

inline bool HaveNodeWs()
{
    static const bool present =
        HaveProgram(Node) && ProbeOnce({Node, "-e", "require('ws')"}, NodeOptions());
    return present;
}

// A peer program that prints "listening PORT [PORT...]" when ready.
class Peer
{
public:
    enum Kind
    {
        PythonWS, // tests/interop/peers/ws_server.py
        NodeWS,   // tests/interop/peers/ws_server.js
        Raw       // tests/interop/peers/raw_peer.py
    };

    // Starts the peer with the arguments and waits until it listens; false when it did not.
    bool Start(Kind kind, const std::vector<std::string>& arguments)
    {
        std::vector<std::string> argv;
        TestProcess::Options options;
        switch (kind)
        {
        case PythonWS:
            argv = {Python, SourcePath("tests/interop/peers/ws_server.py")};
            break;
        case NodeWS:
            argv = {Node, SourcePath("tests/interop/peers/ws_server.js")};
            options = NodeOptions();
            break;
        case Raw:
            argv = {Python, SourcePath("tests/interop/peers/raw_peer.py")};
            break;
        }
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        FPorts.clear();
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
        std::istringstream in(FProcess.Lines()[*at].substr(10));
        for (int port = 0; in >> port;)
        {
            FPorts.push_back(port);
        }
        return !FPorts.empty();
    }

    int Port(std::size_t i = 0) const { return FPorts.at(i); }
    const std::vector<int>& Ports() const { return FPorts; }
    std::string Url(const std::string& scheme = "ws", std::size_t i = 0,
                    const std::string& path = "/") const
    {
        return scheme + "://127.0.0.1:" + std::to_string(Port(i)) + path;
    }
    TestProcess& Process() { return FProcess; }
    void Stop() { FProcess.Stop(); }

private:
    TestProcess FProcess;
    std::vector<int> FPorts;
};

// The console program, fed one command per line.
class Console
{
public:
    bool Start(const TestProcess::Options& options) { return Start({}, options); }
    // With -quiet among the arguments there is no banner to wait for.
    bool Start(const std::vector<std::string>& arguments = {},
               const TestProcess::Options& options = {})
    {
        std::vector<std::string> argv = {BinaryPath("kbzWebSocketClient")};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        if (!FProcess.Start(argv, options))
        {
            return false;
        }
        if (std::find(arguments.begin(), arguments.end(), "-quiet") != arguments.end())
        {
            return true;
        }
        // The banner ends with the line about HELP and EXIT.
        return FProcess.WaitForLineContaining("EXIT", 20s).has_value();
    }

    void Send(const std::string& line)
    {
        FMark = FProcess.Lines().size();
        FProcess.WriteLine(line);
    }
    void Open(const std::string& url)
    {
        Send(R"({"message":"open","params":{"url":")" + url + "\"}}");
    }

    // The first line at or after the last command (or from) containing text; its index.
    std::optional<std::size_t> Await(const std::string& text,
                                     std::chrono::milliseconds timeout = 20s)
    {
        return FProcess.WaitForLineContaining(text, timeout, FMark);
    }
    std::optional<std::size_t> AwaitFrom(std::size_t from, const std::string& text,
                                         std::chrono::milliseconds timeout = 20s)
    {
        return FProcess.WaitForLineContaining(text, timeout, from);
    }
    std::string Line(std::size_t i) const { return FProcess.Lines().at(i); }
    std::vector<std::string> Lines() const { return FProcess.Lines(); }
    std::size_t Mark() const { return FMark; }
    void SetMark(std::size_t mark) { FMark = mark; }
    // Every line since the mark, one per line, for failure messages.
    std::string Dump() const
    {
        std::string out;
        const auto lines = FProcess.Lines();
        for (std::size_t i = FMark < lines.size() ? FMark : lines.size(); i < lines.size(); ++i)
        {
            out += lines[i] + "\n";
        }
        return out;
    }
    std::optional<int> Exit()
    {
        FProcess.WriteLine("EXIT");
        return FProcess.WaitForExit(20s);
    }
    TestProcess& Process() { return FProcess; }

private:
    TestProcess FProcess;
    std::size_t FMark = 0;
};

inline const std::string ConnectedLine = R"({"event": "connected"})";

inline std::string DisconnectedLine(int code)
{
    return R"({"event": "disconnected", "code": )" + std::to_string(code) + "}";
}

inline std::string FromHex(const std::string& hex)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// Reads line as strict UTF-8 with python's strict JSON reader (which refuses raw control
// characters in strings) and gives the string member's value as UTF-8; nothing when the line is not
// one valid JSON object with such a string member.
inline std::optional<std::string> StrictJsonString(const std::string& line,
                                                   const std::string& member)
{
    TestProcess py;
    const std::string script =
        "import json,sys\n"
        "v = json.loads(sys.stdin.buffer.read().decode('utf-8'), strict=True)['" +
        member +
        "']\n"
        "assert isinstance(v, str)\n"
        "print(v.encode('utf-8', 'surrogatepass').hex())\n";
    if (!py.Start({Python, "-c", script}))
    {
        return std::nullopt;
    }
    py.Write(line);
    py.CloseStdin();
    if (py.WaitForExit(30s) != 0 || py.Lines().empty())
    {
        return std::nullopt;
    }
    return FromHex(py.Lines().front());
}

} // namespace kbz::test::client
