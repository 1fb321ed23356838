// Echo round trips per second through WebSocket servers on 127.0.0.1: our echo
// server example in each of its engines (-io threads, pool, epoll), node ws and
// python3-websockets, each started as a child process, all driven by the same
// light client (one thread polling every connection, sending and reading
// without blocking). Message sizes 16 B, 1 KiB and 64 KiB over one connection
// with one message in flight and over 50 connections with 8 in flight each;
// 4 MiB over 1 and 4 connections. Also one 4 MiB message sent in
// 64-byte and 1 KiB fragments and echoed whole. bench/bench_server.sh prints
// the ratios. An engine the server does not offer is skipped with an error.
#include "tests/server/kbzRawWSClient.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

using kbz::test::RawWSClient;

// A server process that prints "listening on 127.0.0.1:PORT" when ready.
struct ServerProcess
{
    pid_t Pid = -1;
    int Port = 0;

    ~ServerProcess()
    {
        if (Pid > 0)
        {
            ::kill(Pid, SIGTERM);
            int status = 0;
            ::waitpid(Pid, &status, 0);
        }
    }

    bool Start(const std::vector<std::string>& argv, const char* nodePath)
    {
        int out[2];
        if (::pipe(out) != 0)
        {
            return false;
        }
        Pid = ::fork();
        if (Pid == 0)
        {
            ::dup2(out[1], STDOUT_FILENO);
            // Peers complain on standard error about clients that leave without a close frame.
            const int devNull = ::open("/dev/null", O_WRONLY);
            if (devNull >= 0)
            {
                ::dup2(devNull, STDERR_FILENO);
            }
            ::close(out[0]);
            ::close(out[1]);
            if (nodePath)
            {
                ::setenv("NODE_PATH", nodePath, 1);
            }
            std::vector<char*> args;
            for (const auto& a : argv)
            {
                args.push_back(const_cast<char*>(a.c_str()));
            }
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::close(out[1]);
        std::string text;
        char buf[256];
        pollfd pfd{out[0], POLLIN, 0};
        while (text.find('\n') == std::string::npos && ::poll(&pfd, 1, 15000) > 0)
        {
            const ssize_t n = ::read(out[0], buf, sizeof(buf));
            if (n <= 0)
            {
                break;
            }
            text.append(buf, static_cast<std::size_t>(n));
        }
        ::close(out[0]);
        const std::size_t colon = text.rfind(':');
        if (Pid < 0 || text.rfind("listening on", 0) != 0 || colon == std::string::npos)
        {
            return false;
        }
        Port = std::atoi(text.c_str() + colon + 1);
        return Port > 0;
    }
};

std::filesystem::path SelfDir()
{
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

std::filesystem::path PeersDir()
{
    return std::filesystem::path(KBZ_SOURCE_DIR) / "bench" / "server_peers";
}

// Each server is started on first use and stopped at exit.
ServerProcess* Server(const std::string& kind)
{
    static std::map<std::string, std::unique_ptr<ServerProcess>> servers;
    auto& slot = servers[kind];
    if (!slot)
    {
        slot = std::make_unique<ServerProcess>();
        bool started = false;
        if (kind.rfind("kbz-", 0) == 0)
        {
            started = slot->Start(
                {(SelfDir() / "kbzEchoServer").string(), "-io", kind.substr(4), "0"}, nullptr);
        }
        else if (kind == "node")
        {
            started = slot->Start({"node", (PeersDir() / "echo_server.js").string()},
                                  "/usr/share/nodejs");
        }
        else
        {
            started = slot->Start({"/usr/bin/python3", (PeersDir() / "echo_server.py").string()},
                                  nullptr);
        }
        if (!started)
        {
            slot->Port = 0;
        }
    }
    return slot->Port > 0 ? slot.get() : nullptr;
}

// What one connection has waiting to be sent and how many of its messages are
// unanswered (queued or on their way).
struct Pipe
{
    std::string Out;
    std::size_t Sent = 0;
    std::size_t Outstanding = 0;
};

// Keeps `window` copies of wire unanswered on every connection, sending a new
// one for each echo that comes back, until each connection has had `count`
// echoes in this call; with a window of 0, until nothing is unanswered. What is
// in flight at the end carries over into the next call. Writes and reads
// without blocking so that big messages cannot stall both ends. The number of
// echoes received, or -1 when 10 s pass without progress.
std::int64_t Echoes(std::vector<std::unique_ptr<RawWSClient>>& clients, std::vector<Pipe>& pipes,
                    std::string_view wire, std::size_t window, std::size_t count)
{
    const std::size_t n = clients.size();
    pipes.resize(n);
    std::vector<std::size_t> received(n, 0);
    std::vector<pollfd> fds(n);
    const auto done = [&](std::size_t i) {
        return window > 0 ? received[i] >= count : pipes[i].Outstanding == 0;
    };
    for (auto& p : pipes)
    {
        for (; p.Outstanding < window; ++p.Outstanding)
        {
            p.Out.append(wire);
        }
    }
    std::int64_t total = 0;
    for (;;)
    {
        bool waiting = false;
        for (std::size_t i = 0; i < n; ++i)
        {
            Pipe& p = pipes[i];
            short events = done(i) ? 0 : POLLIN;
            if (p.Sent < p.Out.size())
            {
                events = static_cast<short>(events | POLLOUT);
            }
            waiting = waiting || !done(i);
            fds[i] = {clients[i]->Fd(), events, 0};
        }
        if (!waiting)
        {
            return total;
        }
        if (::poll(fds.data(), fds.size(), 10000) <= 0)
        {
            return -1;
        }
        for (std::size_t i = 0; i < n; ++i)
        {
            Pipe& p = pipes[i];
            if ((fds[i].revents & POLLOUT) != 0 && p.Sent < p.Out.size())
            {
                const ssize_t w = ::send(clients[i]->Fd(), p.Out.data() + p.Sent,
                                         p.Out.size() - p.Sent, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (w > 0)
                {
                    p.Sent += static_cast<std::size_t>(w);
                }
                if (p.Sent == p.Out.size())
                {
                    p.Out.clear();
                    p.Sent = 0;
                }
            }
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            {
                continue;
            }
            if (!clients[i]->ReadSome(0))
            {
                return -1;
            }
            const std::size_t got = clients[i]->TakeMessages().size();
            received[i] += got;
            total += static_cast<std::int64_t>(got);
            p.Outstanding -= std::min(got, p.Outstanding);
            for (; p.Outstanding < window; ++p.Outstanding)
            {
                p.Out.append(wire);
            }
        }
    }
}

void BM_Echo(benchmark::State& state, const std::string& kind, std::size_t size,
             std::size_t connections, std::size_t inFlight)
{
    ServerProcess* server = Server(kind);
    if (!server)
    {
        state.SkipWithError((kind + " echo server not available").c_str());
        return;
    }
    std::vector<std::unique_ptr<RawWSClient>> clients;
    for (std::size_t i = 0; i < connections; ++i)
    {
        clients.push_back(std::make_unique<RawWSClient>());
        if (!clients.back()->Connect(server->Port))
        {
            state.SkipWithError("connect failed");
            return;
        }
    }
    const std::string message(size, 'm');
    const auto frame =
        kbz::kbzBuildFrame(kbz::TOpcode::opText, kbz::kbzAsBytes(message), true, true, false);
    const std::string_view wire(reinterpret_cast<const char*>(frame.data()), frame.size());
    std::vector<Pipe> pipes;
    std::int64_t echoes = 0;
    for (auto _ : state)
    {
        // One iteration: a window's worth of echoes on every connection.
        const std::int64_t got = Echoes(clients, pipes, wire, inFlight, inFlight);
        if (got < 0)
        {
            state.SkipWithError("no echo within 10 s");
            return;
        }
        echoes += got;
    }
    state.SetItemsProcessed(echoes);
    state.SetBytesProcessed(echoes * static_cast<std::int64_t>(size));
    // The echoes still in flight are read before the connections close.
    Echoes(clients, pipes, wire, 0, 0);
}

// One 4 MiB binary message in frames of `fragment` bytes, echoed whole.
void BM_Fragments(benchmark::State& state, const std::string& kind, std::size_t fragment)
{
    ServerProcess* server = Server(kind);
    if (!server)
    {
        state.SkipWithError((kind + " echo server not available").c_str());
        return;
    }
    std::vector<std::unique_ptr<RawWSClient>> clients;
    clients.push_back(std::make_unique<RawWSClient>());
    if (!clients.back()->Connect(server->Port))
    {
        state.SkipWithError("connect failed");
        return;
    }
    constexpr std::size_t total = std::size_t{4} << 20;
    const std::string payload(total, 'f');
    std::string wire;
    for (std::size_t at = 0; at < total; at += fragment)
    {
        const std::size_t n = std::min(fragment, total - at);
        const auto piece = kbz::kbzAsBytes(std::string_view(payload).substr(at, n));
        const auto f =
            kbz::kbzBuildFrame(at == 0 ? kbz::TOpcode::opBinary : kbz::TOpcode::opContinuation,
                               piece, true, at + n == total, false);
        wire.append(reinterpret_cast<const char*>(f.data()), f.size());
    }
    std::vector<Pipe> pipes;
    for (auto _ : state)
    {
        if (Echoes(clients, pipes, wire, 1, 1) < 0)
        {
            state.SkipWithError("no echo within 10 s");
            return;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(total));
}

const char* const kEngines[] = {"kbz-threads", "kbz-pool", "kbz-epoll"};

const bool kRegistered = [] {
    std::signal(SIGPIPE, SIG_IGN);
    struct Load
    {
        std::size_t Size, Connections, InFlight;
    };
    // Small and medium messages: one connection with one message in flight, and
    // 50 connections with 8 each; 4 MiB messages over 1 and 4 connections.
    std::vector<Load> loads;
    for (const std::size_t size : {16u, 1024u, 65536u})
    {
        loads.push_back({size, 1, 1});
        loads.push_back({size, 50, 8});
    }
    loads.push_back({4194304u, 1, 1});
    loads.push_back({4194304u, 4, 1});
    for (const Load& load : loads)
    {
        std::vector<std::string> kinds(std::begin(kEngines), std::end(kEngines));
        kinds.push_back("node");
        if (load.Size < 4194304u)
        {
            kinds.push_back("python");
        }
        for (const auto& kind : kinds)
        {
            const std::string name = "Server/echo/" + kind + "/" + std::to_string(load.Size) +
                                     "B/" + std::to_string(load.Connections) + "connx" +
                                     std::to_string(load.InFlight);
            benchmark::RegisterBenchmark(name.c_str(), BM_Echo, kind, load.Size, load.Connections,
                                         load.InFlight)
                ->UseRealTime()
                ->MinTime(load.Size >= 4194304u ? 2.0 : 1.0);
        }
    }
    for (const std::size_t fragment : {64u, 1024u})
    {
        std::vector<std::string> kinds(std::begin(kEngines), std::end(kEngines));
        kinds.push_back("node");
        for (const auto& kind : kinds)
        {
            const std::string name =
                "Server/fragments/" + kind + "/" + std::to_string(fragment) + "B/1conn";
            benchmark::RegisterBenchmark(name.c_str(), BM_Fragments, kind, fragment)
                ->UseRealTime()
                ->MinTime(1.0);
        }
    }
    return true;
}();

} // namespace
