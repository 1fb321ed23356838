// Child processes for tests (our own programs and real peers), with standard
// input and output on pipes and every wait bounded by a deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kbz::test
{

using namespace std::chrono_literals;

// Polls pred every few milliseconds until it holds or timeout passes.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

// Path of a program built by this project (build dir of the running tests).
std::string BinaryPath(const std::string& name);
// Path of a file in the source tree.
std::string SourcePath(const std::string& relative);
// A fresh empty folder under the system's temporary folder.
std::string MakeTempDir(const std::string& prefix = "kbz");
// A TCP port on 127.0.0.1 that was free a moment ago (for peers that cannot
// be told to use port 0 and report it).
int FreePort();
// Whether a program can be found on PATH (or at an absolute path).
bool HaveProgram(const std::string& program);

class TestProcess
{
public:
    struct Options
    {
        std::map<std::string, std::string> env; // added to the inherited environment
        std::string workingDir;
        bool mergeStderr = false; // stderr lines go to the stdout line list
    };

    TestProcess() = default;
    TestProcess(const TestProcess&) = delete;
    TestProcess& operator=(const TestProcess&) = delete;
    ~TestProcess(); // kills the child if it still runs

    // Starts argv[0] (searched on PATH) with the arguments. Returns false when it could not start.
    bool Start(const std::vector<std::string>& argv, const Options& options);
    bool Start(const std::vector<std::string>& argv) { return Start(argv, Options{}); }

    // Writes text to the child's standard input.
    bool Write(const std::string& text);
    bool WriteLine(const std::string& line) { return Write(line + "\n"); }
    // Closes the child's standard input (end of input).
    void CloseStdin();

    // Every complete line seen on standard output so far (without line breaks).
    std::vector<std::string> Lines() const;
    std::vector<std::string> StderrLines() const;
    // Waits for the first line at or after index `from` for which pred holds;
    // returns its index, or nothing when timeout passed first.
    std::optional<std::size_t> WaitForLine(const std::function<bool(const std::string&)>& pred,
                                           std::chrono::milliseconds timeout, std::size_t from = 0);
    // Waits for a line that contains text.
    std::optional<std::size_t> WaitForLineContaining(const std::string& text,
                                                     std::chrono::milliseconds timeout,
                                                     std::size_t from = 0);
    // Waits until the output has at least n lines.
    bool WaitForLineCount(std::size_t n, std::chrono::milliseconds timeout);

    // Waits for the child to exit; returns its exit code (128 + signal when
    // killed by one), or nothing on timeout.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout);
    // SIGTERM, then SIGKILL after grace; waits for the exit.
    void Stop(std::chrono::milliseconds grace = 2000ms);
    bool Running();
    int Pid() const { return FPid; }

private:
    void ReaderLoop(int fd, bool isStderr);

    int FPid = -1;
    int FStdin = -1;
    std::optional<int> FExitCode;
    mutable std::mutex FMutex;
    std::condition_variable FChanged;
    std::vector<std::string> FLines;
    std::vector<std::string> FErrLines;
    std::string FPartial[2];
    int FReadersAtEnd = 0; // output pipes that reached their end
    bool FMergeStderr = false;
    std::thread FOutReader;
    std::thread FErrReader;
};

} // namespace kbz::test
