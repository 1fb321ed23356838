// Echo round trips per second through three WebSocket servers on 127.0.0.1:
// our echo server example, node ws and python3-websockets, each started as a
// child process, all driven by the same light client (one thread polling every
// connection). Message sizes 16 B, 1 KiB and 64 KiB; 1 and 50 connections,
// each with one message in flight. bench/bench_server.sh prints the ratios.
#include "tests/server/kbzRawWSClient.h"

#include <benchmark/benchmark.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
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
    return std::filesystem::path(__FILE__).parent_path() / "server_peers";
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
        if (kind == "kbz")
        {
            started = slot->Start({(SelfDir() / "kbzEchoServer").string(), "0"}, nullptr);
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
    std::vector<pollfd> fds(connections);
    for (auto _ : state)
    {
        for (auto& c : clients)
        {
            c->SendRaw(wire);
        }
        std::size_t pending = connections;
        std::vector<bool> done(connections, false);
        while (pending > 0)
        {
            for (std::size_t i = 0; i < connections; ++i)
            {
                fds[i] = {clients[i]->Fd(), static_cast<short>(done[i] ? 0 : POLLIN), 0};
            }
            if (::poll(fds.data(), fds.size(), 10000) <= 0)
            {
                state.SkipWithError("no echo within 10 s");
                return;
            }
            for (std::size_t i = 0; i < connections; ++i)
            {
                if (done[i] || !(fds[i].revents & POLLIN))
                {
                    continue;
                }
                clients[i]->ReadSome(0);
                const auto messages = clients[i]->TakeMessages();
                if (!messages.empty())
                {
                    done[i] = true;
                    --pending;
                }
            }
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * connections));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * connections * size));
}

const bool kRegistered = [] {
    std::signal(SIGPIPE, SIG_IGN);
    for (const std::size_t connections : {1u, 50u})
    {
        for (const std::size_t size : {16u, 1024u, 65536u})
        {
            for (const char* kind : {"kbz", "node", "python"})
            {
                const std::string name = std::string("Server/echo/") + kind + "/" +
                                         std::to_string(size) + "B/" + std::to_string(connections) +
                                         "conn";
                benchmark::RegisterBenchmark(name.c_str(), BM_Echo, std::string(kind), size,
                                             connections)
                    ->UseRealTime()
                    ->MinTime(1.0);
            }
        }
    }
    return true;
}();

} // namespace
