#include "app/kbzCommand.h"

#include "app/kbzRelay.h"
#include "base/kbzBase_Classes.h"
#include "base/kbzBase_Helpers.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kbz
{

namespace
{

// Longest command line a raw TCP relay client may send.
constexpr std::int64_t kRelayMaxLine = 1024 * 1024;
// Lines waiting for one relay client; a client that lets more pile up is dropped.
constexpr std::size_t kRelayClientQueue = 2 * 1024 * 1024;
// Lines waiting for all relay clients together: beyond it the clients furthest
// behind are dropped, however many do not read.
constexpr std::size_t kRelayQueueTotal = 32 * 1024 * 1024;
// A send to a relay client that makes no progress for this long ends it; so
// the thread of a client dropped for its full queue always gets to say why.
constexpr int kRelayWriteTimeOut = 10000;

std::mutex& OutputLock()
{
    // Never destroyed: threads still running at exit may write a last line.
    static auto* lock = new std::mutex;
    return *lock;
}

bool SameAsciiUpper(std::string_view text, std::string_view upper)
{
    if (text.size() != upper.size())
    {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        char c = text[i];
        if (c >= 'a' && c <= 'z')
        {
            c = static_cast<char>(c - 'a' + 'A');
        }
        if (c != upper[i])
        {
            return false;
        }
    }
    return true;
}

} // namespace

void kbzWriteConsoleLine(std::string_view line) noexcept
{
    try
    {
        std::string buffer;
        buffer.reserve(line.size() + 1);
        buffer.append(line);
        buffer += '\n';
        const std::lock_guard lock(OutputLock());
        std::size_t done = 0;
        while (done < buffer.size())
        {
            const ssize_t n = ::write(STDOUT_FILENO, buffer.data() + done, buffer.size() - done);
            if (n < 0 && errno == EINTR)
            {
                continue;
            }
            if (n <= 0)
            {
                return; // standard output is gone: nothing left to tell anyone
            }
            done += static_cast<std::size_t>(n);
        }
    }
    catch (...)
    {
        // Out of memory for one line: drop it rather than end the program.
    }
}

std::string kbzErrorLine(const std::exception& e)
{
    return kbzExceptionClassName(e) + ": " + kbzExceptionMessage(e);
}

IkbzJSON TkbzCommandLog::GetJSON()
{
    const std::lock_guard lock(FCommandLock);
    if (!FJSON)
    {
        FJSON = CreateJSONInstance();
    }
    return FJSON;
}

IkbzObjectJSON TkbzCommandLog::FindMember(std::string_view name, const IkbzObjectJSON& parent)
{
    const IkbzJSON node = parent ? parent->GetJSONObject() : GetJSON();
    return node ? node->GetNode(name) : nullptr;
}

std::optional<std::string> TkbzCommandLog::GetJSONValue(std::string_view name,
                                                        const IkbzObjectJSON& parent) noexcept
{
    try
    {
        const IkbzObjectJSON member = FindMember(name, parent);
        if (!member)
        {
            return std::nullopt;
        }
        return member->GetValue();
    }
    catch (...)
    {
        return std::string();
    }
}

std::optional<std::string> TkbzCommandLog::GetJSONArgument(std::string_view name,
                                                           const IkbzObjectJSON& parent) noexcept
{
    try
    {
        const IkbzObjectJSON member = FindMember(name, parent);
        if (!member)
        {
            return std::nullopt;
        }
        if (member->GetJSONType() == TkbzJSONtype::kbzJSONString)
        {
            return kbzJSONDecodeString(member->GetValue());
        }
        return member->GetValue();
    }
    catch (...)
    {
        return std::string();
    }
}

bool TkbzCommandLog::IsOff(std::string_view text)
{
    return SameAsciiUpper(text, "OFF");
}

bool TkbzCommandLog::IsOn(std::string_view text)
{
    return SameAsciiUpper(text, "ON");
}

void TkbzCommandLog::DoLog(const std::string& text)
{
    DoWriteLine(text);
    DoRelayBroadcast(text);
}

void TkbzCommandLog::DoJSON(const std::string& json)
{
    const std::lock_guard lock(FCommandLock);
    GetJSON()->Read(json);
    DoProcessJSON();
}

void TkbzCommandLog::DoHelp()
{
    WriteLine("***TCP Server***");
    WriteLine("***Start application using the following parameters***");
    WriteLine("[enable server on port 8080] -server");
    WriteLine("[enable server on port 4000] -server -server.port 4000");
    WriteLine("[enable server on ip 192.168.1.1 and port 5000] -server -server.ip 192.168.1.1 "
              "-server.port 5000");
    WriteLine("");
    WriteLine("");
}

TkbzCommandLog::~TkbzCommandLog()
{
    StopRelay();
}

std::vector<std::string> TkbzCommandLog::CommandLine() const
{
    return FCommandLine ? *FCommandLine : kbzProcessArguments();
}

void TkbzCommandLog::Initialize()
{
    const std::vector<std::string> args = CommandLine();
    if (!kbzFindCmdLineSwitch(args, "server"))
    {
        return;
    }
    std::string ip = "*";
    if (auto value = kbzFindCmdLineSwitchValue(args, "server.ip"))
    {
        ip = *value;
    }
    std::string port = "8080";
    if (auto value = kbzFindCmdLineSwitchValue(args, "server.port"))
    {
        port = *value;
    }
    TkbzWebSocketHTTPServer& server = GetRelayServer();
    // A page of another site in the user's browser may not drive the relay:
    // browsers' requests must come from the relay's own pages or the origins given.
    server.SecurityOptions().SameOrigin = true;
    server.SecurityOptions().OriginsAllowed =
        kbzFindCmdLineSwitchValue(args, "server.origins").value_or(std::string());
    // A client that only listens (nc, socat -u) says nothing: after a second
    // it is taken for a raw TCP client.
    server.SilentClientTimeOut = 1000;
    if (ip != "*")
    {
        const TwsIPVersion version =
            ip.find(':') != std::string::npos ? TwsIPVersion::ipV6 : TwsIPVersion::ipV4;
        server.Bindings().push_back(
            {ip, static_cast<std::uint16_t>(kbzRelayPortNumber(port)), version});
    }
    server.SetPort(kbzRelayPortNumber(port));
    // Beyond the design: the relay as a browser console. Its test page and
    // style sheet are served, and a browser without a WebSocket gets the
    // server-sent-events stream with its posts.
    if (kbzFindCmdLineSwitch(args, "server.www"))
    {
        server.Options().HTMLFiles = true;
        server.FallBack().ServerSentEvents.Enabled = true;
    }
    // Beyond the design: TLS (wss:// and https://) and Basic credentials, so that a relay
    // on a network is not open to everyone.
    const std::optional<std::string> cert = kbzFindCmdLineFileValue(args, "server.cert");
    const std::optional<std::string> key = kbzFindCmdLineFileValue(args, "server.key");
    if (cert || key)
    {
        if (!cert || cert->empty() || (key && key->empty()))
        {
            throw EArgumentException("-server.cert needs a certificate file (and -server.key "
                                     "its key file, unless the key is in it)");
        }
        server.SSL = true;
        server.SSLOptions().CertFile = *cert;
        server.SSLOptions().KeyFile = key.value_or(std::string());
    }
    if (auto auth = kbzFindCmdLineSwitchValue(args, "server.auth"))
    {
        const std::size_t colon = auth->find(':');
        if (colon == std::string::npos || colon == 0)
        {
            throw EArgumentException("-server.auth needs USER:PASSWORD");
        }
        TkbzWSAuthenticationServer_Options& a = server.Authentication();
        a.Enabled = true;
        a.Basic.Enabled = true;
        // Credentials only in the Authorization header, never in a URL.
        a.URL.Enabled = false;
        a.Session.Enabled = false;
        a.AuthUsers.Clear();
        a.AuthUsers.Add(auth->substr(0, colon) + "=" + auth->substr(colon + 1));
        FRelayAuthentication.store(true);
    }
    server.SetActive(true);
    DoLog("Server Listening on " + ip + ":" + port);
}

TkbzWebSocketHTTPServer& TkbzCommandLog::GetRelayServer()
{
    std::lock_guard guard(FServerLock);
    if (FServer)
    {
        return *FServer;
    }
    auto server = std::make_unique<TkbzWebSocketHTTPServer>();
    server->SetNotifyEvents(TwsNotifyEvent::neNoSync);
    server->Options().WriteTimeOut = kRelayWriteTimeOut;
    server->OnTCPConnect = [this](const TkbzWSConnectionPtr& c, bool& accept) {
        if (c)
        {
            c->MaxQueuedBytes = kRelayClientQueue;
        }
        OnServerTCPConnectEvent(c, accept);
    };
    server->OnDisconnect = [this](const TkbzWSConnectionPtr& c, int code) {
        if (c)
        {
            std::lock_guard partial(FPartialLock);
            FPartialCommands.erase(c->GetGuid());
        }
        OnServerDisconnectEvent(c, code);
    };
    server->OnError = [this](const TkbzWSConnectionPtr& c, const std::string& error) {
        OnServerErrorEvent(c, error);
    };
    server->OnException = [this](const TkbzWSConnectionPtr& c, const std::exception& e) {
        OnServerExceptionEvent(c, e);
    };
    server->OnUnknownProtocol = [this](const TkbzWSConnectionPtr& c, bool& accept) {
        OnServerUnknownProtocolEvent(c, accept);
    };
    server->OnMessage = [this](const TkbzWSConnectionPtr& c, const std::string& text) {
        OnServerMessageEvent(c, text);
    };
    server->OnBinary = [this](const TkbzWSConnectionPtr& c, TkbzMemoryStream& data) {
        OnServerBinaryEvent(c, data);
    };
    FServer = std::move(server);
    return *FServer;
}

bool TkbzCommandLog::HasRelayServer() const
{
    std::lock_guard guard(FServerLock);
    return FServer != nullptr;
}

void TkbzCommandLog::StopRelay() noexcept
{
    std::unique_ptr<TkbzWebSocketHTTPServer> server;
    {
        std::lock_guard guard(FServerLock);
        server = std::move(FServer);
    }
    // Outside the lock: the relay's threads may still be broadcasting a last line.
    try
    {
        server.reset();
    }
    catch (...)
    {}
}

void TkbzCommandLog::DoRelayBroadcast(const std::string& text)
{
    std::lock_guard guard(FServerLock);
    if (!FServer)
    {
        return;
    }
    // The clients that take lines, and what waits for them already.
    std::vector<std::pair<TkbzWSConnectionServerPtr, std::size_t>> receivers;
    std::size_t queued = 0;
    for (const TkbzWSConnectionServerPtr& c : FServer->Connections())
    {
        if (c->Enabled() && !c->Disconnected() && !c->Closing() && !c->FQueueOverflow.load())
        {
            const std::size_t bytes = c->QueuedBytes();
            receivers.emplace_back(c, bytes);
            queued += bytes;
        }
    }
    // The server-wide bound: the clients furthest behind make room.
    while (!receivers.empty() && queued + (text.size() + 1) * receivers.size() > kRelayQueueTotal)
    {
        const auto furthest =
            std::max_element(receivers.begin(), receivers.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; });
        if (furthest->second == 0)
        {
            break; // nobody is behind: the line alone is that big
        }
        queued -= furthest->second;
        FServer->DropForFullQueue(furthest->first);
        receivers.erase(furthest);
    }
    // Raw TCP clients read lines: theirs end with a line break. Every other
    // client gets the text as one message.
    std::string raw;
    std::vector<TkbzWSConnectionServerPtr> rawClients;
    for (const auto& [c, bytes] : receivers)
    {
        if (c->GetTransport() == TwsTransport::trpTCP)
        {
            if (!raw.empty())
            {
                raw += ',';
            }
            raw += c->GetGuid();
            rawClients.push_back(c);
        }
    }
    FServer->Broadcast(text, {}, {}, raw);
    const std::string line = text + "\n";
    for (const TkbzWSConnectionServerPtr& c : rawClients)
    {
        if (!c->QueueData(line))
        {
            FServer->DropForFullQueue(c);
        }
    }
}

void TkbzCommandLog::OnServerTCPConnectEvent(const TkbzWSConnectionPtr& connection,
                                             bool& /*accept*/)
{
    if (connection)
    {
        WriteLine("Client " + connection->GetGuid() + " connected from " + connection->GetIP());
    }
    else
    {
        WriteLine("Client connected");
    }
}

void TkbzCommandLog::OnServerDisconnectEvent(const TkbzWSConnectionPtr& connection, int /*code*/)
{
    if (connection)
    {
        WriteLine("Client " + connection->GetGuid() + " disconnected from " + connection->GetIP());
    }
    else
    {
        WriteLine("Client disconnected");
    }
}

void TkbzCommandLog::OnServerErrorEvent(const TkbzWSConnectionPtr& /*connection*/,
                                        const std::string& error)
{
    WriteLine(error);
}

void TkbzCommandLog::OnServerExceptionEvent(const TkbzWSConnectionPtr& /*connection*/,
                                            const std::exception& e)
{
    WriteLine(kbzExceptionMessage(e));
}

void TkbzCommandLog::RunRelayCommand(const TkbzWSConnectionPtr& connection, const std::string& text)
{
    // A client's mistake is an error line for everyone, not the end of its connection.
    ExecuteCommand(text);
    // The sender's own replies leave now: a client that keeps sending keeps
    // its thread reading, and its queue would only grow until it is dropped.
    if (connection && connection->HasQueues() && !connection->Disconnected())
    {
        connection->DrainQueues();
    }
}

void TkbzCommandLog::OnServerMessageEvent(const TkbzWSConnectionPtr& connection,
                                          const std::string& text)
{
    RunRelayCommand(connection, text);
}

void TkbzCommandLog::OnServerBinaryEvent(const TkbzWSConnectionPtr& connection,
                                         TkbzMemoryStream& data)
{
    data.SetPosition(0);
    std::string text = kbzGetUTF8String(std::span<const std::uint8_t>(data.Bytes()));
    const bool lineEnded = !text.empty() && text.back() == '\n';
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    {
        text.pop_back();
    }
    if (connection && connection->GetTransport() == TwsTransport::trpTCP)
    {
        // A raw TCP client that paused inside a command: its text waits for the rest.
        std::lock_guard partial(FPartialLock);
        const std::string guid = connection->GetGuid();
        if (auto it = FPartialCommands.find(guid); it != FPartialCommands.end())
        {
            text = it->second + text;
            FPartialCommands.erase(it);
        }
        if (!lineEnded && !kbzIsWholeCommand(text) &&
            text.size() < static_cast<std::size_t>(kRelayMaxLine))
        {
            FPartialCommands[guid] = std::move(text);
            return;
        }
    }
    // A raw TCP client's empty line is no command.
    if (text.empty())
    {
        return;
    }
    RunRelayCommand(connection, text);
}

void TkbzCommandLog::OnServerUnknownProtocolEvent(const TkbzWSConnectionPtr& connection,
                                                  bool& accept)
{
    if (!connection)
    {
        return;
    }
    // Raw TCP carries no credentials: a relay that asks for them refuses it.
    if (FRelayAuthentication.load())
    {
        accept = false;
        return;
    }
    accept = true;
    connection->SetTransport(TwsTransport::trpTCP);
    // One command per line, however the client's segments fall.
    connection->SetTCPEndOfFrameScanBuffer(TtcpEOFScanBuffer::eofScanAllBytes);
    connection->ClearTCPEndOfFrame();
    connection->AddTCPEndOfFrame('\n');
    connection->MaxMessageSize = kRelayMaxLine;
}

void TkbzCommandLog::ExecuteCommand(const std::string& json) noexcept
{
    try
    {
        DoJSON(json);
    }
    catch (const std::exception& e)
    {
        try
        {
            DoLog(kbzErrorLine(e));
        }
        catch (...)
        {}
    }
    catch (...)
    {
        try
        {
            DoLog("Exception: unknown error");
        }
        catch (...)
        {}
    }
}

} // namespace kbz
