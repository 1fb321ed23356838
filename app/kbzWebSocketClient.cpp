// The console program: banner, start-up, then one command per line of standard
// input until EXIT, the end of input or SIGINT/SIGTERM, and an orderly end: a
// connection still open is closed and its last events are printed.
#include "app/kbzRelay.h"
#include "app/kbzWSClient.h"
#include "base/kbzWebSocket_Types.h"

#include "json/kbzJSON.h"
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using namespace kbz;

// The one command processor of the program.
std::unique_ptr<TkbzCommandLog_WSClient> CommandLogInstance;
// Lets the signal thread reach the instance while it exists.
std::mutex InstanceLock;

// Written once by the signal thread: the main thread's input wait ends.
int WakePipe[2] = {-1, -1};
std::atomic<int> EndSignal{0};

std::string AsciiUpper(std::string text)
{
    for (char& c : text)
    {
        if (c >= 'a' && c <= 'z')
        {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

void WriteBanner()
{
    kbzWriteConsoleLine("kbzWebSocketClient - WebSocket console client");
    kbzWriteConsoleLine(kbzConsoleVersion);
    kbzWriteConsoleLine("   made by the kbzWebSockets developers");
    kbzWriteConsoleLine("   questions and reports: the issue tracker of the kbzWebSockets project");
    kbzWriteConsoleLine("   type HELP for the commands, EXIT to quit");
}

void WriteAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size())
    {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

// Standard input, one line at a time; the wait also ends when a signal asks
// the program to end.
class ConsoleInput
{
public:
    // The next line without its line break; nothing at the end of input or
    // once an end was asked for.
    std::optional<std::string> Next()
    {
        for (;;)
        {
            if (EndSignal.load() != 0)
            {
                return std::nullopt;
            }
            if (const std::size_t eol = FBuffer.find('\n'); eol != std::string::npos)
            {
                std::string line = FBuffer.substr(0, eol);
                FBuffer.erase(0, eol + 1);
                return line;
            }
            if (FEnd)
            {
                if (FBuffer.empty())
                {
                    return std::nullopt;
                }
                // A last line without its line break still counts.
                return std::exchange(FBuffer, std::string());
            }
            pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {WakePipe[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0)
            {
                if (errno == EINTR)
                {
                    continue;
                }
                FEnd = true;
                continue;
            }
            if (fds[1].revents != 0)
            {
                continue; // the end was asked for
            }
            if (fds[0].revents == 0)
            {
                continue;
            }
            char chunk[65536];
            const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
            {
                continue;
            }
            if (n <= 0)
            {
                FEnd = true;
                continue;
            }
            FBuffer.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    std::string FBuffer;
    bool FEnd = false;
};

// SIGINT and SIGTERM are blocked in every thread and taken here: the first one
// asks for the orderly end, a second one ends the program at once.
void StartSignalThread(const sigset_t& signals)
{
    std::thread([signals] {
        for (;;)
        {
            int sig = 0;
            if (::sigwait(&signals, &sig) != 0)
            {
                continue;
            }
            if (EndSignal.exchange(sig) != 0)
            {
                ::_exit(128 + sig);
            }
            {
                std::lock_guard guard(InstanceLock);
                if (CommandLogInstance)
                {
                    CommandLogInstance->RequestEnd();
                }
            }
            const char byte = 1;
            [[maybe_unused]] const ssize_t n = ::write(WakePipe[1], &byte, 1);
        }
    }).detach();
}

bool Start(const std::vector<std::string>& args)
{
    try
    {
        {
            std::lock_guard guard(InstanceLock);
            CommandLogInstance = std::make_unique<TkbzCommandLog_WSClient>();
        }
        CommandLogInstance->SetCommandLine(args);
        CommandLogInstance->Initialize();
        return true;
    }
    catch (const std::exception& e)
    {
        kbzWriteConsoleLine(kbzErrorLine(e));
    }
    catch (...)
    {
        kbzWriteConsoleLine("Exception: unknown error");
    }
    return false;
}

void RunLoop(ConsoleInput& input)
{
    while (const std::optional<std::string> read = input.Next())
    {
        std::string line = *read;
        // Scripts written with CRLF line ends work like typed lines.
        if (!line.empty() && line.back() == '\r')
        {
            line.pop_back();
        }
        // Whole-line comparisons: "exit " with a blank is a (bad) command, not EXIT.
        const std::string upper = AsciiUpper(line);
        if (upper == "EXIT")
        {
            return;
        }
        if (upper == "HELP")
        {
            try
            {
                CommandLogInstance->DoHelp();
            }
            catch (const std::exception& e)
            {
                CommandLogInstance->WriteLine(kbzErrorLine(e));
            }
            continue;
        }
        CommandLogInstance->ExecuteCommand(line);
    }
}

void ReleaseInstance()
{
    std::unique_ptr<TkbzCommandLog_WSClient> instance;
    {
        std::lock_guard guard(InstanceLock);
        instance = std::move(CommandLogInstance);
    }
    instance.reset();
}

// The usage text as HELP prints it, then the switches.
void WriteHelp(int fd)
{
    std::string text;
    class Collect : public TkbzCommandLog_WSClient
    {
    public:
        explicit Collect(std::string& out) : FOut(out) {}

    protected:
        void DoWriteLine(std::string_view line) noexcept override
        {
            FOut.append(line);
            FOut += '\n';
        }

    private:
        std::string& FOut;
    };
    Collect usage(text);
    usage.DoHelp();
    text += '\n';
    for (const std::string& line : kbzConsoleSwitchLines())
    {
        text += line + '\n';
    }
    WriteAll(fd, text);
}

} // namespace

int main(int argc, char** argv)
{
    // A closed standard output (or, later, a peer gone) must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const TkbzConsoleSwitches switches = kbzReadConsoleSwitches(args);
    if (!switches.Error.empty())
    {
        WriteAll(STDERR_FILENO, "kbzWebSocketClient: " + switches.Error + "\n");
        std::string usage;
        for (const std::string& line : kbzConsoleSwitchLines())
        {
            usage += line + '\n';
        }
        WriteAll(STDERR_FILENO, usage);
        return 2;
    }
    if (switches.Help)
    {
        WriteHelp(STDOUT_FILENO);
        return 0;
    }
    if (switches.Version)
    {
        WriteAll(STDOUT_FILENO, std::string("kbzWebSocketClient ") + kbzConsoleVersion +
                                    " (kbzWebSockets " + kbzLibraryVersion + ")\n");
        return 0;
    }

    // Before any other thread exists, so that every thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    if (::pipe(WakePipe) != 0)
    {
        return 1;
    }
    StartSignalThread(signals);

    if (!switches.Quiet)
    {
        WriteBanner();
    }
    if (!Start(args))
    {
        ReleaseInstance();
        return 1;
    }
    if (!switches.URL.empty())
    {
        CommandLogInstance->ExecuteCommand(R"({"message":"open","params":{"url":")" +
                                           kbzJSONEscapeText(switches.URL) + "\"}}");
    }
    ConsoleInput input;
    RunLoop(input);
    CommandLogInstance->EndSession();
    ReleaseInstance();
    const int sig = EndSignal.load();
    return sig != 0 ? 128 + sig : 0;
}
