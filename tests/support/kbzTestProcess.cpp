#include "tests/support/kbzTestProcess.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kbz::test
{

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true)
    {
        if (pred())
        {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
        {
            return pred();
        }
        std::this_thread::sleep_for(2ms);
    }
}

std::string BinaryPath(const std::string& name)
{
    return std::string(KBZ_BINARY_DIR) + "/" + name;
}

std::string SourcePath(const std::string& relative)
{
    return std::string(KBZ_SOURCE_DIR) + "/" + relative;
}

std::string MakeTempDir(const std::string& prefix)
{
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr)
    {
        return {};
    }
    return std::string(buf.data());
}

int FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
    {
        return 0;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
    {
        socklen_t len = sizeof addr;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        {
            port = ntohs(addr.sin_port);
        }
    }
    ::close(fd);
    return port;
}

bool HaveProgram(const std::string& program)
{
    if (program.find('/') != std::string::npos)
    {
        return ::access(program.c_str(), X_OK) == 0;
    }
    const char* path = std::getenv("PATH");
    std::string paths = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= paths.size())
    {
        const std::size_t end = std::min(paths.find(':', start), paths.size());
        const std::string candidate = paths.substr(start, end - start) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0)
        {
            return true;
        }
        start = end + 1;
    }
    return false;
}

TestProcess::~TestProcess()
{
    Stop(500ms);
    if (FStdin >= 0)
    {
        ::close(FStdin);
    }
    if (FOutReader.joinable())
    {
        FOutReader.join();
    }
    if (FErrReader.joinable())
    {
        FErrReader.join();
    }
}

bool TestProcess::Start(const std::vector<std::string>& argv, const Options& options)
{
    if (argv.empty() || FPid > 0)
    {
        return false;
    }
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (!options.workingDir.empty())
    {
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDir.c_str());
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own process group, so that Stop also reaches what the child started.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    sigemptyset(&empty);
    posix_spawnattr_setsigmask(&attr, &empty);

    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e)
    {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        if (options.env.count(name) == 0)
        {
            envStrings.push_back(entry);
        }
    }
    for (const auto& [name, value] : options.env)
    {
        envStrings.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& s : envStrings)
    {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args(argv);
    std::vector<char*> cargs;
    for (auto& a : args)
    {
        cargs.push_back(a.data());
    }
    cargs.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, cargs[0], &actions, &attr, cargs.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0)
    {
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        return false;
    }
    FPid = pid;
    FStdin = in[1];
    FMergeStderr = options.mergeStderr;
    FOutReader = std::thread([this, fd = out[0]] { ReaderLoop(fd, false); });
    FErrReader = std::thread([this, fd = err[0]] { ReaderLoop(fd, true); });
    return true;
}

void TestProcess::ReaderLoop(int fd, bool isStderr)
{
    char buf[4096];
    while (true)
    {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        std::lock_guard guard(FMutex);
        std::string& partial = FPartial[isStderr ? 1 : 0];
        auto& lines = (isStderr && !FMergeStderr) ? FErrLines : FLines;
        if (n <= 0)
        {
            if (!partial.empty())
            {
                lines.push_back(partial);
                partial.clear();
            }
            ++FReadersAtEnd;
            FChanged.notify_all();
            break;
        }
        partial.append(buf, static_cast<std::size_t>(n));
        std::size_t pos;
        while ((pos = partial.find('\n')) != std::string::npos)
        {
            std::string line = partial.substr(0, pos);
            if (!line.empty() && line.back() == '\r')
            {
                line.pop_back();
            }
            lines.push_back(std::move(line));
            partial.erase(0, pos + 1);
        }
        FChanged.notify_all();
    }
    ::close(fd);
}

bool TestProcess::Write(const std::string& text)
{
    if (FStdin < 0)
    {
        return false;
    }
    std::size_t done = 0;
    while (done < text.size())
    {
        const ssize_t n = ::write(FStdin, text.data() + done, text.size() - done);
        if (n < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void TestProcess::CloseStdin()
{
    if (FStdin >= 0)
    {
        ::close(FStdin);
        FStdin = -1;
    }
}

std::vector<std::string> TestProcess::Lines() const
{
    std::lock_guard guard(FMutex);
    return FLines;
}

std::vector<std::string> TestProcess::StderrLines() const
{
    std::lock_guard guard(FMutex);
    return FErrLines;
}

std::optional<std::size_t>
TestProcess::WaitForLine(const std::function<bool(const std::string&)>& pred,
                         std::chrono::milliseconds timeout, std::size_t from)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(FMutex);
    std::size_t checked = from;
    while (true)
    {
        for (; checked < FLines.size(); ++checked)
        {
            if (pred(FLines[checked]))
            {
                return checked;
            }
        }
        if (FChanged.wait_until(lock, deadline) == std::cv_status::timeout)
        {
            for (; checked < FLines.size(); ++checked)
            {
                if (pred(FLines[checked]))
                {
                    return checked;
                }
            }
            return std::nullopt;
        }
    }
}

std::optional<std::size_t> TestProcess::WaitForLineContaining(const std::string& text,
                                                              std::chrono::milliseconds timeout,
                                                              std::size_t from)
{
    return WaitForLine([&](const std::string& l) { return l.find(text) != std::string::npos; },
                       timeout, from);
}

bool TestProcess::WaitForLineCount(std::size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, timeout, [&] { return FLines.size() >= n; });
}

std::optional<int> TestProcess::WaitForExit(std::chrono::milliseconds timeout)
{
    if (FExitCode)
    {
        return FExitCode;
    }
    if (FPid <= 0)
    {
        return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true)
    {
        int status = 0;
        const pid_t r = ::waitpid(FPid, &status, WNOHANG);
        if (r == FPid)
        {
            FExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            // What the child wrote just before it ended may still be on its way through the
            // pipes: its lines count as soon as it has exited.
            std::unique_lock guard(FMutex);
            FChanged.wait_for(guard, 2000ms, [this] { return FReadersAtEnd >= 2; });
            return FExitCode;
        }
        if (r < 0 && errno != EINTR)
        {
            FExitCode = -1;
            return FExitCode;
        }
        if (std::chrono::steady_clock::now() >= deadline)
        {
            return std::nullopt;
        }
        std::this_thread::sleep_for(5ms);
    }
}

bool TestProcess::Running()
{
    return FPid > 0 && !WaitForExit(0ms).has_value();
}

void TestProcess::Stop(std::chrono::milliseconds grace)
{
    if (FPid <= 0 || FExitCode)
    {
        return;
    }
    ::kill(-FPid, SIGTERM);
    ::kill(FPid, SIGTERM);
    if (!WaitForExit(grace))
    {
        ::kill(-FPid, SIGKILL);
        ::kill(FPid, SIGKILL);
        WaitForExit(5000ms);
    }
}

} // namespace kbz::test
