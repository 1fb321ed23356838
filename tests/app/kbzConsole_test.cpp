// The console program as an operator or a script sees it: lines in on standard
// input, lines out on standard output.
#include "base/kbzWebSocket_Types.h"
#include "tests/support/kbzTestProcess.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kbz::test
{
namespace
{

using Strings = std::vector<std::string>;

const char* const kHeartbeatExample =
    R"({"message":"heartbeat", "params":{"heartbeat":{"enabled": true, "interval": 30}}})";
const char* const kHeartbeatLine =
    R"({"event": "options", "params":{"heartbeat": {"enabled": true, "interval": 30}}})";
constexpr std::size_t kBannerLines = 5;

const Strings& UsageText()
{
    static const Strings text = {
        "***TCP Server***",
        "***Start application using the following parameters***",
        "[enable server on port 8080] -server",
        "[enable server on port 4000] -server -server.port 4000",
        "[enable server on ip 192.168.1.1 and port 5000] -server -server.ip 192.168.1.1 "
        "-server.port 5000",
        "",
        "",
        "***kbzWebSocketClient usage***",
        "***BASICS***",
        R"([open a new websocket connection] {"message":"open", "params":{"url": "ws://echo.example.com"}})",
        R"([open a new tcp connection] {"message":"open", "params":{"url": "tcp://echo.example.com"}})",
        R"([send a message to server] {"message":"write", "params":{"text": "My First Message"}})",
        R"([broadcast a message to all clients] {"message":"broadcast", "params":{"text": "My First Message"}})",
        R"([close connection] {"message":"close"})",
        R"([close connection with code] {"message":"close", "params":{"code": 1000}})",
        "",
        "***OPTIONS***",
        R"([enable heartbeat every 30 seconds] {"message":"heartbeat", "params":{"heartbeat":{"enabled": true, "interval": 30}}})",
        R"([enable watchdog every 10 seconds} {"message":"watchdog", "params":{"watchdog":{"enabled": true, "interval": 10}}})",
    };
    return text;
}

Strings Slice(const Strings& lines, std::size_t from, std::size_t count)
{
    if (from >= lines.size())
    {
        return {};
    }
    const auto end = std::min(lines.size(), from + count);
    return Strings(lines.begin() + static_cast<std::ptrdiff_t>(from),
                   lines.begin() + static_cast<std::ptrdiff_t>(end));
}

class Console : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FProcess.Start({BinaryPath("kbzWebSocketClient")}));
        ASSERT_TRUE(FProcess.WaitForLineCount(kBannerLines, 10s)) << "no banner";
    }

    // Waits for the program to end by itself and gives its exit code (-1 on time-out).
    int ExitCode()
    {
        const auto code = FProcess.WaitForExit(10s);
        return code.value_or(-1);
    }

    TestProcess FProcess;
};

TEST_F(Console, BannerThenExitInAnyLetterCase)
{
    const Strings banner = Slice(FProcess.Lines(), 0, kBannerLines);
    ASSERT_EQ(banner.size(), kBannerLines);
    EXPECT_FALSE(banner[0].empty());
    EXPECT_EQ(banner[1], kbzConsoleVersion);
    for (std::size_t i = 2; i < kBannerLines; ++i)
    {
        SCOPED_TRACE(banner[i]);
        EXPECT_EQ(banner[i].rfind("   ", 0), 0u);
        EXPECT_GT(banner[i].size(), 3u);
    }
    FProcess.WriteLine("eXiT");
    EXPECT_EQ(ExitCode(), 0);
    EXPECT_EQ(FProcess.Lines().size(), kBannerLines);
}

TEST_F(Console, HelpInAnyLetterCasePrintsTheUsageText)
{
    const Strings& usage = UsageText();
    std::size_t from = kBannerLines;
    for (const char* word : {"HELP", "help", "hElP"})
    {
        SCOPED_TRACE(word);
        FProcess.WriteLine(word);
        ASSERT_TRUE(FProcess.WaitForLineCount(from + usage.size(), 10s));
        EXPECT_EQ(Slice(FProcess.Lines(), from, usage.size()), usage);
        from += usage.size();
    }
    FProcess.WriteLine("EXIT");
    EXPECT_EQ(ExitCode(), 0);
    EXPECT_EQ(FProcess.Lines().size(), from);
}

TEST_F(Console, LinesThatAreNotCommandsPrintNothingAndTheLoopGoesOn)
{
    const char* const quiet[] = {
        "",
        "EXIT ",
        " exit",
        "exit\t",
        "HELP ",
        "not json",
        "{",
        R"({"message":"nope"})",
        R"({"message":"heartbeat"})",
        R"({"message":"heartbeat", "params":{"heartbeat":{"enabled": "yes"}}})",
        R"({"message":"close"})",
        R"({"message":"close", "params":{"code": 1000}})",
    };
    for (const char* line : quiet)
    {
        FProcess.WriteLine(line);
    }
    FProcess.WriteLine(kHeartbeatExample);
    const auto at = FProcess.WaitForLineContaining("\"options\"", 10s);
    ASSERT_TRUE(at.has_value());
    EXPECT_EQ(*at, kBannerLines); // the first line after the banner
    EXPECT_EQ(FProcess.Lines()[*at], kHeartbeatLine);
    EXPECT_TRUE(FProcess.Running());
    // The end of input ends the program like EXIT.
    FProcess.CloseStdin();
    EXPECT_EQ(ExitCode(), 0);
    EXPECT_EQ(FProcess.Lines().size(), kBannerLines + 1);
}

TEST_F(Console, ErrorsOfACommandPrintOneLineAndTheLoopGoesOn)
{
    FProcess.WriteLine(R"({"message":"heartbeat", "params":{"heartbeat":{"interval": "abc"}}})");
    FProcess.WriteLine(
        R"({"message":"watchdog", "params":{"watchdog":{"enabled": true, "interval": null}}})");
    FProcess.WriteLine(
        R"({"message":"heartbeat", "params":{"heartbeat":{"enabled": false, "interval": 0}}})");
    ASSERT_TRUE(FProcess.WaitForLineCount(kBannerLines + 3, 10s));
    EXPECT_EQ(
        Slice(FProcess.Lines(), kBannerLines, 3),
        (Strings{
            "EConvertError: 'abc' is not a valid integer value",
            "EConvertError: 'null' is not a valid integer value",
            R"({"event": "options", "params":{"heartbeat": {"enabled": false, "interval": 300}}})"}));
    FProcess.WriteLine("exit");
    EXPECT_EQ(ExitCode(), 0);
}

TEST_F(Console, CrlfScriptRunsLikeTypedLines)
{
    FProcess.Write(std::string("help\r\n") + kHeartbeatExample + "\r\n" + "EXIT\r\n" + "HELP\r\n");
    EXPECT_EQ(ExitCode(), 0);
    Strings expected = UsageText();
    expected.push_back(kHeartbeatLine);
    EXPECT_EQ(Slice(FProcess.Lines(), kBannerLines, 1000), expected);
}

TEST_F(Console, LastLineWithoutLineBreakRunsBeforeTheEnd)
{
    FProcess.Write(kHeartbeatExample);
    FProcess.CloseStdin();
    EXPECT_EQ(ExitCode(), 0);
    EXPECT_EQ(Slice(FProcess.Lines(), kBannerLines, 1000), Strings{kHeartbeatLine});
}

TEST_F(Console, WriteAndBroadcastWithoutAConnectionSayNotConnected)
{
    FProcess.WriteLine(R"({"message":"write", "params":{"text": "nobody listens"}})");
    FProcess.WriteLine(R"({"message":"broadcast", "params":{"text": "nobody"}})");
    FProcess.WriteLine("EXIT");
    EXPECT_EQ(ExitCode(), 0);
    EXPECT_EQ(Slice(FProcess.Lines(), kBannerLines, 1000),
              (Strings{R"({"event": "error", "description": "Not connected"})",
                       R"({"event": "error", "description": "Not connected"})"}));
}

// The program's own switches: what each prints, where, and its exit code.
TEST(ConsoleSwitches, HelpVersionQuietAndErrors)
{
    struct Case
    {
        const char* name;
        Strings args;
        int exitCode;
        std::string stdoutStart; // the first line of standard output ("" for none)
        std::string stderrStart; // the first line of standard error ("" for none)
    };
    const std::string usageStart = "usage: kbzWebSocketClient [switches] [URL]";
    const std::vector<Case> cases = {
        {"help", {"-h"}, 0, "***TCP Server***", ""},
        {"long_help", {"--help"}, 0, "***TCP Server***", ""},
        {"help_with_a_url", {"ws://127.0.0.1:1/", "-H"}, 0, "***TCP Server***", ""},
        {"version",
         {"--version"},
         0,
         std::string("kbzWebSocketClient ") + kbzConsoleVersion + " (" + kbzServerSoftware + ")",
         ""},
        {"unknown", {"-bogus"}, 2, "", "kbzWebSocketClient: unknown switch -bogus"},
        {"unknown_long", {"--server"}, 2, "", "kbzWebSocketClient: unknown switch --server"},
        {"two_urls",
         {"ws://a/", "ws://b/"},
         2,
         "",
         "kbzWebSocketClient: more than one URL: ws://b/"},
        {"ca_without_file", {"-tls.ca"}, 2, "", "kbzWebSocketClient: -tls.ca needs a file"},
        {"quiet", {"-quiet"}, 0, "", ""},
        // The relay's values are no URL.
        {"relay_values",
         {"-quiet", "-server", "-server.port", "0"},
         1,
         "EConvertError: '0' is not a valid port number",
         ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Strings argv = {BinaryPath("kbzWebSocketClient")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        TestProcess p;
        ASSERT_TRUE(p.Start(argv));
        p.CloseStdin();
        ASSERT_EQ(p.WaitForExit(10s), c.exitCode);
        const Strings out = p.Lines();
        const Strings err = p.StderrLines();
        EXPECT_EQ(out.empty() ? "" : out.front(), c.stdoutStart);
        EXPECT_EQ(err.empty() ? "" : err.front(), c.stderrStart);
        if (c.exitCode == 2)
        {
            ASSERT_GE(err.size(), 2u);
            EXPECT_EQ(err[1], usageStart);
            EXPECT_TRUE(out.empty());
        }
        if (c.stdoutStart == "***TCP Server***")
        {
            // The usage text as HELP prints it, then the switches.
            const Strings& usage = UsageText();
            ASSERT_GT(out.size(), usage.size() + 1);
            EXPECT_EQ(Slice(out, 0, usage.size()), usage);
            EXPECT_EQ(out[usage.size()], "");
            EXPECT_EQ(out[usage.size() + 1], usageStart);
        }
    }
}

} // namespace
} // namespace kbz::test
