// The command log and the client command processor, driven directly: command
// parsing and argument conversion up to the client hooks, options lines, event
// lines, error reporting and the serialisation of commands.
#include "app/kbzCommand.h"
#include "app/kbzWSClient.h"
#include "base/kbzBase_Classes.h"

#include <chrono>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kbz
{
namespace
{

using namespace std::chrono_literals;

// Records every output line, relayed line and client hook call.
class TRecordingProcessor : public TkbzCommandLog_WSClient
{
public:
    std::vector<std::string> Lines() const
    {
        const std::lock_guard lock(FMutex);
        return FLines;
    }
    std::vector<std::string> Relayed() const
    {
        const std::lock_guard lock(FMutex);
        return FRelayed;
    }
    std::vector<std::string> Calls() const
    {
        const std::lock_guard lock(FMutex);
        return FCalls;
    }
    void Reset()
    {
        const std::lock_guard lock(FMutex);
        FLines.clear();
        FRelayed.clear();
        FCalls.clear();
    }

    std::function<void(const std::string&)> OnOpen;  // may raise
    std::function<void(const std::string&)> OnWrite; // runs under the command lock

protected:
    void DoWriteLine(std::string_view line) noexcept override
    {
        const std::lock_guard lock(FMutex);
        FLines.emplace_back(line);
    }
    void DoRelayBroadcast(const std::string& text) override
    {
        const std::lock_guard lock(FMutex);
        FRelayed.push_back(text);
    }
    void DoOpen(const std::string& url,
                const std::optional<TkbzConsoleOpenOptions>& /*options*/) override
    {
        Record("open(" + url + ")");
        if (OnOpen)
        {
            OnOpen(url);
        }
    }
    void DoClose(int code, bool hasCode) override
    {
        Record("close(" + std::to_string(code) + (hasCode ? ",given)" : ",absent)"));
    }
    void DoWrite(const std::string& text) override
    {
        Record("write(" + text + ")");
        if (OnWrite)
        {
            OnWrite(text);
        }
    }
    void DoBroadcast(const std::string& text) override { Record("broadcast(" + text + ")"); }

private:
    void Record(std::string call)
    {
        const std::lock_guard lock(FMutex);
        FCalls.push_back(std::move(call));
    }

    mutable std::mutex FMutex;
    std::vector<std::string> FLines;
    std::vector<std::string> FRelayed;
    std::vector<std::string> FCalls;
};

using Strings = std::vector<std::string>;

TEST(kbzCommandLog_WSClient, CommandsReachTheClientHooksWithConvertedArguments)
{
    struct Case
    {
        const char* command;
        Strings calls;
    };
    const Case cases[] = {
        {R"({"message":"open", "params":{"url": "ws://127.0.0.1:8080/chat"}})",
         {"open(ws://127.0.0.1:8080/chat)"}},
        {R"({"message":"open"})", {"open()"}},
        {R"({"message":"open", "url":"ws:\/\/127.0.0.1\/top"})", {"open(ws://127.0.0.1/top)"}},
        {R"({"message":"close"})", {"close(0,absent)"}},
        {R"({"message":"close", "params":{"code": 1000}})", {"close(1000,given)"}},
        {R"({"message":"close", "params":{"code": "1001 and more"}})", {"close(1001,given)"}},
        {R"({"message":"close", "params":{"code": "abc"}})", {"close(0,given)"}},
        {R"({"message":"close", "params":{"code": " $10"}})", {"close(16,given)"}},
        {R"({"message":"write", "params":{"text": "My \"First\"\n\u00e9\uD83D\uDE00"}})",
         {"write(My \"First\"\n\xC3\xA9\xF0\x9F\x98\x80)"}},
        {R"({"message":"write", "text":"at the top"})", {"write(at the top)"}},
        {R"({"message":"write", "params":{"text": {"a": [1, 2]}}})", {R"(write({"a":[1,2]}))"}},
        {R"({"message":"write", "params":{"text": 12.50}})", {"write(12.50)"}},
        {R"({"message":"write"})", {"write()"}},
        {R"({"message":"broadcast", "params":{"text": "to all"}})", {"broadcast(to all)"}},
        {R"({"message":"wr\u0069te", "params":{"text": "decoded name"}})", {"write(decoded name)"}},
        // Broken off after some members: executed with what was read.
        {R"({"message":"write", "params":{"text": "cut short")", {"write(cut short)"}},
        {R"({"message":"write" "params":{"text":"a"} "message":"close"})", {"write(a)"}},
        // Nothing recognised: nothing happens.
        {R"({"message":"Close"})", {}},
        {R"({"message":"unknown"})", {}},
        {R"({"message":["close"]})", {}},
        {R"({"params":{"text":"no message"}})", {}},
        {R"([{"message":"close"}])", {}},
        {"not json", {}},
        {"", {}},
        {"EXIT ", {}},
    };
    TRecordingProcessor processor;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.command);
        processor.Reset();
        processor.DoJSON(c.command);
        EXPECT_EQ(processor.Calls(), c.calls);
        EXPECT_EQ(processor.Lines(), Strings{});
        EXPECT_EQ(processor.Relayed(), Strings{});
    }
}

TEST(kbzCommandLog_WSClient, HeartbeatAndWatchdogChangeTheirSettingsAndPrintOptionsLines)
{
    struct Step
    {
        const char* command;
        const char* line; // nullptr: nothing printed
        bool enabled;
        int interval;
    };
    const Step heartbeat[] = {
        // The usage text's own example.
        {R"({"message":"heartbeat", "params":{"heartbeat":{"enabled": true, "interval": 30}}})",
         R"({"event": "options", "params":{"heartbeat": {"enabled": true, "interval": 30}}})", true,
         30},
        // Interval 0 keeps the previous interval.
        {R"({"message":"heartbeat", "params":{"heartbeat":{"enabled": false, "interval": 0}}})",
         R"({"event": "options", "params":{"heartbeat": {"enabled": false, "interval": 30}}})",
         false, 30},
        {R"({"message":"heartbeat", "params":{"heartbeat":{"enabled": "true"}}})",
         R"({"event": "options", "params":{"heartbeat": {"enabled": true, "interval": 30}}})", true,
         30},
        // Neither true nor false: only the interval changes, nothing is printed.
        {R"({"message":"heartbeat", "params":{"heartbeat":{"enabled": "TRUE", "interval": 45}}})",
         nullptr, true, 45},
        {R"({"message":"heartbeat", "params":{"heartbeat":{"enabled": 1}}})", nullptr, true, 45},
        {R"({"message":"heartbeat", "params":{"heartbeat":{"interval": -5}}})", nullptr, true, 45},
        // Without "params" the arguments come from the root.
        {R"({"message":"heartbeat", "enabled": False, "interval": 2.5})",
         R"({"event": "options", "params":{"heartbeat": {"enabled": false, "interval": 3}}})",
         false, 3},
        // Without the inner node too.
        {R"({"message":"heartbeat", "params":{"other":{}}, "enabled": TRUE, "interval": "7"})",
         R"({"event": "options", "params":{"heartbeat": {"enabled": true, "interval": 7}}})", true,
         7},
        // The watchdog's node does not apply to the heartbeat.
        {R"({"message":"heartbeat", "params":{"watchdog":{"enabled": false, "interval": 9}}})",
         nullptr, true, 7},
    };
    TRecordingProcessor processor;
    EXPECT_FALSE(processor.GetHeartBeat().Enabled);
    EXPECT_EQ(processor.GetHeartBeat().Interval, 300);
    for (const auto& step : heartbeat)
    {
        SCOPED_TRACE(step.command);
        processor.Reset();
        processor.DoJSON(step.command);
        const Strings expected = step.line ? Strings{step.line} : Strings{};
        EXPECT_EQ(processor.Lines(), expected);
        EXPECT_EQ(processor.Relayed(), expected); // options lines go through DoLog
        EXPECT_EQ(processor.GetHeartBeat().Enabled, step.enabled);
        EXPECT_EQ(processor.GetHeartBeat().Interval, step.interval);
    }
    EXPECT_FALSE(processor.GetWatchDog().Enabled);
    EXPECT_EQ(processor.GetWatchDog().Interval, 10);

    processor.Reset();
    processor.DoJSON(
        R"({"message":"watchdog", "params":{"watchdog":{"enabled": false, "interval": 0}}})");
    processor.DoJSON(
        R"({"message":"watchdog", "params":{"watchdog":{"enabled": true, "interval": 20}}})");
    EXPECT_EQ(
        processor.Lines(),
        (Strings{
            R"({"event": "options", "params":{"watchdog": {"enabled": false, "interval": 10}}})",
            R"({"event": "options", "params":{"watchdog": {"enabled": true, "interval": 20}}})"}));
    EXPECT_EQ(processor.GetHeartBeat().Interval, 7);
}

TEST(kbzIntervalToInt, ConvertsIntegersAndRoundsFractions)
{
    struct Case
    {
        std::optional<std::string> text;
        int value;
    };
    const Case cases[] = {
        {std::nullopt, 0}, {"30", 30}, {"-4", -4},   {"+5", 5},   {"$10", 16},
        {"2.5", 3},        {"2.4", 2}, {"-2.5", -3}, {"1e1", 10}, {"0.0", 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text.value_or("(absent)"));
        EXPECT_EQ(kbzIntervalToInt(c.text), c.value);
    }
}

TEST(kbzCommandLog_WSClient, BadIntervalRaisesAConversionErrorAndChangesNothing)
{
    struct Case
    {
        const char* interval;
        const char* line;
    };
    const Case cases[] = {
        {"null", "EConvertError: 'null' is not a valid integer value"},
        {"\"abc\"", "EConvertError: 'abc' is not a valid integer value"},
        {"\"\"", "EConvertError: '' is not a valid integer value"},
        {"true", "EConvertError: 'true' is not a valid integer value"},
        {"{\"x\": 1}", "EConvertError: '{\"x\":1}' is not a valid integer value"},
        {"1e99", "EConvertError: '1e99' is not a valid integer value"},
        {"\"inf\"", "EConvertError: 'inf' is not a valid integer value"},
    };
    TRecordingProcessor processor;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.interval);
        const std::string command =
            std::string(
                R"({"message":"heartbeat", "params":{"heartbeat":{"enabled": true, "interval": )") +
            c.interval + "}}}";
        processor.Reset();
        EXPECT_THROW(processor.DoJSON(command), EConvertError);
        processor.ExecuteCommand(command);
        EXPECT_EQ(processor.Lines(), Strings{c.line});
        // Logged like every event line, so relay clients see their commands' errors too.
        EXPECT_EQ(processor.Relayed(), Strings{c.line});
        EXPECT_FALSE(processor.GetHeartBeat().Enabled);
        EXPECT_EQ(processor.GetHeartBeat().Interval, 300);
    }
}

TEST(kbzCommandLog, ExecuteCommandReportsAnyErrorAsOneLine)
{
    struct Case
    {
        std::function<void()> raise;
        const char* line;
    };
    const Case cases[] = {
        {[] { throw EListError("List index out of bounds (3)"); },
         "EListError: List index out of bounds (3)"},
        {[] { throw TkbzWSException("Error writing message boom."); },
         "TkbzWSException: Error writing message boom."},
        {[] { throw std::runtime_error("plain"); }, "Exception: plain"},
        {[] { throw 42; }, "Exception: unknown error"},
    };
    TRecordingProcessor processor;
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.line);
        processor.Reset();
        processor.OnOpen = [&](const std::string&) { c.raise(); };
        processor.ExecuteCommand(R"({"message":"open"})");
        EXPECT_EQ(processor.Lines(), Strings{c.line});
    }
    // The processor goes on working after an error.
    processor.OnOpen = nullptr;
    processor.Reset();
    processor.ExecuteCommand(R"({"message":"open", "params":{"url": "ws://127.0.0.1:1"}})");
    EXPECT_EQ(processor.Calls(), Strings{"open(ws://127.0.0.1:1)"});
    EXPECT_EQ(processor.Lines(), Strings{});
}

TEST(kbzCommandLog_WSClient, EventLinesAreValidJSONWhateverTheText)
{
    TRecordingProcessor processor;
    processor.LogConnected();
    processor.LogDisconnected(1000);
    processor.LogError("Error writing message \"x\".");
    processor.LogMessage("say \"hi\"\r\nC:\\dir \xC3\xA9");
    const Strings expected = {
        R"({"event": "connected"})",
        R"({"event": "disconnected", "code": 1000})",
        R"({"event": "error", "description": "Error writing message \"x\"."})",
        "{\"event\": \"message\", \"text\": \"say \\\"hi\\\"\\r\\nC:\\\\dir \xC3\xA9\"}",
    };
    EXPECT_EQ(processor.Lines(), expected);
    EXPECT_EQ(processor.Relayed(), expected);
    // Each line reads back as a document whose text decodes to what was sent.
    TkbzJSON doc;
    doc.Read(expected[3]);
    EXPECT_EQ(kbzJSONDecodeString(doc.GetNode("text")->GetValue()),
              "say \"hi\"\r\nC:\\dir \xC3\xA9");
}

TEST(kbzCommandLog, GetJSONValueGivesRawTextsAndCompactJSON)
{
    TRecordingProcessor processor;
    processor.DoJSON(R"({"s": "a\"b\u00e9", "n": -1.50, "t": True, "z": null,)"
                     R"( "o": {"x": [1, 2]}, "l": [1, {"y": 2}], "e": ""})");
    struct Case
    {
        const char* name;
        std::optional<std::string> value;
        std::optional<std::string> argument;
    };
    const Case cases[] = {
        {"absent", std::nullopt, std::nullopt},
        {"S", std::nullopt, std::nullopt},
        {"s", R"(a\"b\u00e9)", "a\"b\xC3\xA9"},
        {"n", "-1.50", "-1.50"},
        {"t", "true", "true"},
        {"z", "null", "null"},
        {"o", R"({"x":[1,2]})", R"({"x":[1,2]})"},
        {"l", R"([1,{"y":2}])", R"([1,{"y":2}])"},
        {"e", "", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(processor.GetJSONValue(c.name), c.value);
        EXPECT_EQ(processor.GetJSONArgument(c.name), c.argument);
    }
    const auto root = processor.GetJSON();
    EXPECT_EQ(processor.GetJSONValue("x", root->GetNode("o")), "[1,2]");
    EXPECT_EQ(processor.GetJSONValue("q", root->GetNode("n")), std::nullopt);
}

TEST(kbzCommandLog, IsOnAndIsOff)
{
    struct Case
    {
        const char* text;
        bool on;
        bool off;
    };
    const Case cases[] = {
        {"on", true, false},   {"On", true, false},   {"ON", true, false},
        {" on", false, false}, {"on ", false, false}, {"off", false, true},
        {"oFF", false, true},  {"", false, false},    {"onn", false, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(TkbzCommandLog::IsOn(c.text), c.on);
        EXPECT_EQ(TkbzCommandLog::IsOff(c.text), c.off);
    }
}

TEST(kbzCommandLog, BaseUsageTextEndsWithTwoEmptyLines)
{
    class TBase : public TkbzCommandLog
    {
    public:
        Strings Lines;

    protected:
        void DoProcessJSON() override {}
        void DoWriteLine(std::string_view line) noexcept override { Lines.emplace_back(line); }
    };
    TBase log;
    log.DoHelp();
    EXPECT_EQ(log.Lines,
              (Strings{"***TCP Server***", "***Start application using the following parameters***",
                       "[enable server on port 8080] -server",
                       "[enable server on port 4000] -server -server.port 4000",
                       "[enable server on ip 192.168.1.1 and port 5000] -server -server.ip "
                       "192.168.1.1 -server.port 5000",
                       "", ""}));
    // Without a relay DoLog only writes the line.
    log.Lines.clear();
    log.DoLog("{\"event\": \"connected\"}");
    EXPECT_EQ(log.Lines, Strings{"{\"event\": \"connected\"}"});
}

TEST(kbzCommandLog, CommandsFromSeveralThreadsRunOneAtATime)
{
    TRecordingProcessor processor;
    constexpr int threads = 4;
    constexpr int perThread = 200;
    {
        std::vector<std::jthread> workers;
        for (int t = 0; t < threads; ++t)
        {
            workers.emplace_back([&processor, t] {
                for (int i = 0; i < perThread; ++i)
                {
                    const std::string text = std::to_string(t) + "-" + std::to_string(i);
                    processor.DoJSON(R"({"message":"write", "params":{"text": ")" + text +
                                     R"("}})");
                }
            });
        }
    }
    // Every command saw its own document: each text arrives exactly once.
    const Strings calls = processor.Calls();
    const std::set<std::string> unique(calls.begin(), calls.end());
    EXPECT_EQ(calls.size(), static_cast<std::size_t>(threads * perThread));
    EXPECT_EQ(unique.size(), calls.size());
    EXPECT_TRUE(unique.contains("write(3-199)"));
}

TEST(kbzCommandLog, DoLogNeverWaitsForARunningCommand)
{
    TRecordingProcessor processor;
    std::future<void> logged;
    bool loggedInTime = false;
    processor.OnWrite = [&](const std::string&) {
        // Another thread logs while this command holds the command lock.
        logged = std::async(std::launch::async, [&] { processor.DoLog("from another thread"); });
        loggedInTime = logged.wait_for(10s) == std::future_status::ready;
    };
    processor.DoJSON(R"({"message":"write", "params":{"text": "hold"}})");
    logged.wait();
    EXPECT_TRUE(loggedInTime);
    EXPECT_EQ(processor.Lines(), Strings{"from another thread"});
}

} // namespace
} // namespace kbz
