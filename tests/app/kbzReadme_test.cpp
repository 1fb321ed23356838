// The README's sessions, run as written, their output compared line by line.
//
// How a README section becomes a session this test runs: an HTML comment (not
// shown on a rendered page) right before a fenced block marks the block.
//
//   <!-- session NAME ROLE [key=value ...] -->
//
// NAME groups the blocks of one session; they run in README order. ROLE is
//   server  the next ```sh block is started in the background; the session
//           goes on once a line of its output contains `ready` (default: any
//           line). It is stopped (SIGTERM to its process group) when the
//           session ends.
//   run     the next ```sh block runs to its end (standard input empty);
//           its exit code must be `exit` (default 0).
//   output  the next ```text block is exactly what the last run block printed
//           on standard output, line by line, after its first `skip` lines
//           (default 0; skip=5 leaves out the console's banner).
// Any marker of a session may say ports=P1,P2: each of these numbers, where it
// stands as a whole number in the session's blocks, is replaced by a free
// loopback port before anything runs, so sessions never depend on a port
// being free. Values with blanks are written in double quotes.
//
// Blocks run with bash in a fresh folder in which build/ is the build folder
// of the tests, so "build/kbzEchoServer 9001" works as it does in a checkout.
// A session with a server or run block but no output block, or an output
// block without a run block, fails: every marked block is checked.
#include "tests/support/kbzTestProcess.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace kbz::test
{
namespace
{

using Strings = std::vector<std::string>;

struct Block
{
    std::string role; // server, run, output
    std::map<std::string, std::string> options;
    std::string text; // the fenced block's lines, each with its "\n"
    int line = 0;     // of the marker in README.md
};

struct Session
{
    std::string name;
    std::vector<Block> blocks;
    Strings ports;
};

void PrintTo(const Session& s, std::ostream* os)
{
    *os << s.name;
}

// Markers that could not be read (collected while the sessions are listed,
// before the tests run).
Strings& MarkerErrors()
{
    static Strings errors;
    return errors;
}

// key=value and key="value with blanks" pairs; anything else is a word.
std::map<std::string, std::string> ReadOptions(const std::string& text, Strings& words)
{
    std::map<std::string, std::string> options;
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    std::size_t i = 0;
    while (i < text.size())
    {
        if (blank(text[i]))
        {
            ++i;
            continue;
        }
        std::size_t key = i;
        while (key < text.size() && std::isalpha(static_cast<unsigned char>(text[key])))
        {
            ++key;
        }
        if (key > i && key < text.size() && text[key] == '=')
        {
            std::size_t start = key + 1;
            std::size_t end = start;
            std::string value;
            if (start < text.size() && text[start] == '"' &&
                text.find('"', start + 1) != std::string::npos)
            {
                end = text.find('"', start + 1);
                value = text.substr(start + 1, end - start - 1);
                ++end;
            }
            else
            {
                while (end < text.size() && !blank(text[end]))
                {
                    ++end;
                }
                value = text.substr(start, end - start);
            }
            options[text.substr(i, key - i)] = value;
            i = end;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && !blank(text[end]))
        {
            ++end;
        }
        words.push_back(text.substr(i, end - i));
        i = end;
    }
    return options;
}

// The text of a "<!-- session ... -->" line, or nothing.
std::optional<std::string> MarkerText(std::string line)
{
    static const std::string open = "<!-- session ";
    static const std::string close = " -->";
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
    {
        line.pop_back();
    }
    if (line.rfind(open, 0) != 0 || line.size() < open.size() + close.size() ||
        line.compare(line.size() - close.size(), close.size(), close) != 0)
    {
        return std::nullopt;
    }
    return line.substr(open.size(), line.size() - open.size() - close.size());
}

std::vector<Session> ReadSessions(const std::string& path)
{
    std::ifstream in(path);
    std::vector<Session> sessions;
    std::string line;
    int number = 0;
    std::optional<std::pair<std::string, Block>> pending; // session name, marked block
    bool inBlock = false;
    while (std::getline(in, line))
    {
        ++number;
        const auto marker = inBlock ? std::nullopt : MarkerText(line);
        if (marker)
        {
            Strings words;
            Block block;
            block.options = ReadOptions(*marker, words);
            block.line = number;
            if (words.size() == 2)
            {
                block.role = words[1];
                pending.emplace(words[0], std::move(block));
            }
            else
            {
                MarkerErrors().push_back("README.md:" + std::to_string(number) +
                                         ": a marker names a session and a role");
            }
            continue;
        }
        if (line.rfind("```", 0) == 0)
        {
            if (inBlock)
            {
                inBlock = false;
                if (pending)
                {
                    auto it = std::find_if(sessions.begin(), sessions.end(), [&](const Session& s) {
                        return s.name == pending->first;
                    });
                    if (it == sessions.end())
                    {
                        sessions.push_back({pending->first, {}, {}});
                        it = sessions.end() - 1;
                    }
                    if (auto p = pending->second.options.find("ports");
                        p != pending->second.options.end())
                    {
                        std::stringstream list(p->second);
                        for (std::string port; std::getline(list, port, ',');)
                        {
                            it->ports.push_back(port);
                        }
                    }
                    it->blocks.push_back(std::move(pending->second));
                    pending.reset();
                }
            }
            else
            {
                inBlock = true;
            }
            continue;
        }
        if (inBlock && pending)
        {
            pending->second.text += line + "\n";
        }
    }
    return sessions;
}

int OptionInt(const Block& b, const std::string& key, int fallback)
{
    const auto it = b.options.find(key);
    return it == b.options.end() ? fallback : std::stoi(it->second);
}

Strings SplitLines(const std::string& text)
{
    Strings lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
    {
        lines.push_back(line);
    }
    return lines;
}

// Replaces each port number that stands as a whole word.
std::string ReplacePorts(std::string text, const std::map<std::string, std::string>& ports)
{
    const auto wordChar = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
    };
    for (const auto& [from, to] : ports)
    {
        std::string out;
        std::size_t pos = 0;
        for (std::size_t hit; !from.empty() && (hit = text.find(from, pos)) != std::string::npos;)
        {
            const bool before = hit > 0 && wordChar(text[hit - 1]);
            const bool after = hit + from.size() < text.size() && wordChar(text[hit + from.size()]);
            out.append(text, pos, hit - pos);
            out += (before || after) ? from : to;
            pos = hit + from.size();
        }
        out.append(text, pos, std::string::npos);
        text = std::move(out);
    }
    return text;
}

class ReadmeSession : public ::testing::TestWithParam<Session>
{};

TEST_P(ReadmeSession, PrintsWhatTheReadmeShows)
{
    const Session& session = GetParam();
    std::map<std::string, std::string> ports;
    for (const std::string& port : session.ports)
    {
        ports[port] = std::to_string(FreePort());
    }
    const std::string dir = MakeTempDir("kbz-readme");
    ASSERT_FALSE(dir.empty());
    std::filesystem::create_directory_symlink(KBZ_BINARY_DIR, dir + "/build");
    TestProcess::Options options;
    options.workingDir = dir;

    std::vector<std::unique_ptr<TestProcess>> servers;
    std::unique_ptr<TestProcess> last; // the last run block
    const Block* lastRun = nullptr;
    bool compared = false;
    for (const Block& block : session.blocks)
    {
        SCOPED_TRACE("README.md:" + std::to_string(block.line) + " (" + block.role + ")");
        const std::string text = ReplacePorts(block.text, ports);
        if (block.role == "server")
        {
            servers.push_back(std::make_unique<TestProcess>());
            ASSERT_TRUE(servers.back()->Start({"/bin/bash", "-c", text}, options));
            const auto it = block.options.find("ready");
            const std::string ready = it == block.options.end() ? "" : it->second;
            ASSERT_TRUE(servers.back()->WaitForLineContaining(ready, 30s))
                << "not ready: " << ready;
        }
        else if (block.role == "run")
        {
            last = std::make_unique<TestProcess>();
            lastRun = &block;
            compared = false;
            ASSERT_TRUE(last->Start({"/bin/bash", "-c", text}, options));
            last->CloseStdin();
            const auto code = last->WaitForExit(60s);
            ASSERT_TRUE(code.has_value()) << "did not end";
            std::string errors;
            for (const auto& l : last->StderrLines())
            {
                errors += l + "\n";
            }
            EXPECT_EQ(*code, OptionInt(block, "exit", 0)) << errors;
        }
        else if (block.role == "output")
        {
            ASSERT_TRUE(last) << "an output block needs a run block before it";
            const Strings got = last->Lines();
            const std::size_t skip = static_cast<std::size_t>(OptionInt(block, "skip", 0));
            const Strings shown(
                got.begin() + static_cast<std::ptrdiff_t>(std::min(skip, got.size())), got.end());
            EXPECT_EQ(shown, SplitLines(text))
                << "the run block of README.md:" << lastRun->line << " printed this";
            compared = true;
        }
        else
        {
            ADD_FAILURE() << "unknown role " << block.role;
        }
    }
    EXPECT_TRUE(compared) << "the session's last run block has no output block";
    for (auto& server : servers)
    {
        server->Stop();
    }
    std::filesystem::remove_all(dir);
}

const std::vector<Session>& Sessions()
{
    static const std::vector<Session> sessions = ReadSessions(SourcePath("README.md"));
    return sessions;
}

TEST(Readme, HasWellFormedSessions)
{
    EXPECT_FALSE(Sessions().empty()) << "no session markers in README.md";
    EXPECT_EQ(MarkerErrors(), Strings{});
}

INSTANTIATE_TEST_SUITE_P(Readme, ReadmeSession, ::testing::ValuesIn(Sessions()),
                         [](const ::testing::TestParamInfo<Session>& p) {
                             std::string name;
                             for (const char c : p.param.name)
                             {
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

} // namespace
} // namespace kbz::test
