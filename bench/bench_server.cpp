// Echo round trips per second through WebSocket servers on 127.0.0.1: our echo
// server example in each of its engines (-io threads, pool, epoll), node ws and
// python3-websockets, each started as a child process, all driven by the same
// light client (one thread polling every connection, sending and reading
// without blocking). Message sizes 16 B, 1 KiB, 64 KiB and 4 MiB; 1 and 50
// connections, each with one message in flight. Also one 4 MiB message sent in
// 64-byte and 1 KiB fragments and echoed whole. bench/bench_server.sh and
// bench/bench_engines.py print the ratios. An engine the server does not offer
// is skipped with an error.
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

// Sends wire on every connection and waits until each has its echo back,
// writing and reading without blocking so that big messages cannot stall both
// ends. False when 10 s pass without progress.
bool RoundTrip(std::vector<std::unique_ptr<RawWSClient>>& clients, std::string_view wire)
{
    const std::size_t n = clients.size();
    std::vector<std::size_t> sent(n, 0);
    std::vector<bool> done(n, false);
    std::vector<pollfd> fds(n);
    std::size_t pending = n;
    while (pending > 0)
    {
        for (std::size_t i = 0; i < n; ++i)
        {
            short events = done[i] ? 0 : POLLIN;
            if (sent[i] < wire.size())
            {
                events = static_cast<short>(events | POLLOUT);
            }
            fds[i] = {clients[i]->Fd(), events, 0};
        }
        if (::poll(fds.data(), fds.size(), 10000) <= 0)
        {
            return false;
        }
        for (std::size_t i = 0; i < n; ++i)
        {
            if ((fds[i].revents & POLLOUT) != 0 && sent[i] < wire.size())
            {
                const ssize_t w = ::send(clients[i]->Fd(), wire.data() + sent[i],
                                         wire.size() - sent[i], MSG_NOSIGNAL | MSG_DONTWAIT);
                if (w > 0)
                {
                    sent[i] += static_cast<std::size_t>(w);
                }
            }
            if (done[i] || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            {
                continue;
            }
            if (!clients[i]->ReadSome(0))
            {
                return false;
            }
            if (!clients[i]->TakeMessages().empty())
            {
                done[i] = true;
                --pending;
            }
        }
    }
    return true;
}

void BM_Echo(benchmark::State& state, const std::string& kind, std::size_t size,
             std::size_t connections)
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
    for (auto _ : state)
    {
        if (!RoundTrip(clients, wire))
        {
            state.SkipWithError("no echo within 10 s");
            return;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * connections));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * connections * size));
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
    for (auto _ : state)
    {
        if (!RoundTrip(clients, wire))
        {
            state.SkipWithError("no echo within 10 s");
            return;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total));
}

const char* const kEngines[] = {"kbz-threads", "kbz-pool", "kbz-epoll"};

const bool kRegistered = [] {
    std::signal(SIGPIPE, SIG_IGN);
    for (const std::size_t connections : {1u, 50u})
    {
        for (const std::size_t size : {16u, 1024u, 65536u, 4194304u})
        {
            std::vector<std::string> kinds(std::begin(kEngines), std::end(kEngines));
            kinds.push_back("node");
            if (size < 4194304u)
            {
                kinds.push_back("python");
            }
            for (const auto& kind : kinds)
            {
                const std::string name = "Server/echo/" + kind + "/" + std::to_string(size) + "B/" +
                                         std::to_string(connections) + "conn";
                benchmark::RegisterBenchmark(name.c_str(), BM_Echo, kind, size, connections)
                    ->UseRealTime()
                    ->MinTime(size >= 4194304u ? 2.0 : 1.0);
            }
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
