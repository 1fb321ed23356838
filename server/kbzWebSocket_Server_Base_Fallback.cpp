// What a browser gets from the server besides WebSocket upgrades: the built-in
// files, and the posts that carry a server-sent-events client's messages and
// the plain posts to registered protocols.
#include "base/kbzBase_Helpers.h"
#include "base/kbzWebSocket_Version.h"
#include "server/kbzWebSocket_HTTPResponse.h"
#include "server/kbzWebSocket_Server_Base.h"
#include "transport/kbzTCP_Classes.h"

namespace kbz
{

namespace
{

bool EndsText(std::string_view text, std::string_view end)
{
    return text.size() >= end.size() && kbzSameText(text.substr(text.size() - end.size()), end);
}

constexpr std::string_view kXHRPath = "/kbz/xhr/";
constexpr std::string_view kProtocolPath = "/kbz/protocol/";

// Filled in from the Host field the browser used, so that the page's script
// and socket go where the page came from (a name, a forwarded port); the
// connection's own address and port without one.
TkbzWSResponsePlaceholders PlaceholdersFor(const TkbzWSConnectionServer& c,
                                           const TkbzHTTPHead& head)
{
    TkbzWSResponsePlaceholders values;
    values.SSL = c.FServerSSL;
    std::string host;
    std::string port;
    if (const std::string* field = head.Headers.Find("Host");
        field && kbzSplitHostField(kbzTrim(*field), host, port))
    {
        values.Host = host;
        values.Port = port.empty() ? (values.SSL ? "443" : "80") : port;
        return values;
    }
    values.Host =
        c.GetIPVersion() == TwsIPVersion::ipV6 ? "[" + c.GetLocalIP() + "]" : c.GetLocalIP();
    values.Port = std::to_string(c.GetLocalPort());
    return values;
}

void WriteAnswer(TkbzWSConnectionServer& c, TkbzHTTPAnswer& answer)
{
    answer.Headers.Set("Connection", "close");
    if (!answer.Headers.Has("Server"))
    {
        answer.Headers.Add("Server", kbzServerSoftware);
    }
    if (TkbzIdTCPConnection* tcp = c.TCPConnection())
    {
        const std::string bytes = kbzWriteHTTPAnswer(answer);
        tcp->Write(bytes);
        c.AddSendBytes(static_cast<std::int64_t>(bytes.size()));
    }
}

void WriteStatus(TkbzWSConnectionServer& c, int status)
{
    TkbzHTTPAnswer answer;
    answer.Status = status;
    answer.Headers.Add("Content-Type", "text/html; charset=utf-8");
    answer.Body = "<HTML><BODY><B>" + std::to_string(status) + " " + kbzHTTPStatusText(status) +
                  "</B></BODY></HTML>";
    WriteAnswer(c, answer);
}

// A page of another origin that may post reads the answer only when told so.
void AllowOrigin(TkbzHTTPAnswer& answer, const TkbzHTTPHead& head)
{
    if (const std::string* origin = head.Headers.Find("Origin"); origin && !origin->empty())
    {
        answer.Headers.Add("Access-Control-Allow-Origin", *origin);
        answer.Headers.Add("Vary", "Origin");
    }
}

} // namespace

bool TkbzWSServer_Indy_Base::GetBuiltInFile(const TkbzWSConnectionServer& c,
                                            const TkbzHTTPHead& head, bool answerNotFound,
                                            TkbzHTTPAnswer& answer) const
{
    if (!kbzSameText(head.Method, "GET") && !kbzSameText(head.Method, "HEAD"))
    {
        return false;
    }
    const std::string path = head.Path();
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string names = name;
    std::string type;
    bool html = false;
    auto notFound = [&] {
        answer = {};
        answer.Status = 404;
        answer.Headers.Add("Content-Type", "text/html; charset=utf-8");
        answer.Body = "<HTML><BODY><B>404 Not Found</B></BODY></HTML>";
        answer.HeadOnly = kbzSameText(head.Method, "HEAD");
        return true;
    };
    if (EndsText(name, ".js"))
    {
        if (!FOptions.JavascriptFiles)
        {
            return false;
        }
        // The core script brings the fallbacks that are switched on with it.
        if (name == "kbzWebSockets.js")
        {
            if (FFallBack.Flash.Enabled)
            {
                names = "kbzWebSocketsFlash.js," + names;
            }
            if (FFallBack.ServerSentEvents.Enabled)
            {
                names = "kbzWebSocketsEventSource.js," + names;
            }
        }
        type = "text/javascript; charset=utf-8";
    }
    else if (EndsText(name, ".html") || EndsText(name, ".css"))
    {
        if (!FOptions.HTMLFiles)
        {
            return false;
        }
        html = EndsText(name, ".html");
        type = html ? "text/html; charset=utf-8" : "text/css; charset=utf-8";
    }
    else if (EndsText(path, "WebSocketMain.swf"))
    {
        // The Flash bridge movie is not carried: its script reports the
        // bridge missing instead of waiting for it.
        return notFound();
    }
    else if (kbzContainsText(path, "favicon"))
    {
        return answerNotFound && notFound();
    }
    else
    {
        return false;
    }
    const std::string content = TkbzWSHTTPResponse::GetResponseMessage(names);
    if (content.empty())
    {
        return answerNotFound && notFound();
    }
    answer = {};
    answer.Status = 200;
    answer.Headers.Add("Cache-Control", "no-cache");
    answer.Headers.Add("Content-Type", type);
    answer.Body = kbzReplaceResponsePlaceholders(content, PlaceholdersFor(c, head), html);
    answer.HeadOnly = kbzSameText(head.Method, "HEAD");
    return true;
}

bool TkbzWSServer_Indy_Base::DoServeResource(const TkbzWSConnectionServerPtr& c,
                                             const TkbzHTTPHead& head, bool answerNotFound)
{
    TkbzHTTPAnswer answer;
    if (!GetBuiltInFile(*c, head, answerNotFound, answer))
    {
        return false;
    }
    c->SetTransport(TwsTransport::trpHTTP);
    WriteAnswer(*c, answer);
    return true;
}

void TkbzWSServer_Indy_Base::DoXHRPost(const TkbzWSConnectionServerPtr& c, const TkbzHTTPHead& head)
{
    c->SetTransport(TwsTransport::trpHTTP);
    const std::string origin = head.Headers.Get("Origin");
    // With SameOrigin every request was checked already.
    if (!c->FServerSameOrigin && !kbzOriginAllowed(origin, c->FServerOriginsAllowed))
    {
        WriteStatus(*c, 403);
        return;
    }
    const std::string guid = head.Path().substr(kXHRPath.size());
    // Only the stream of that identifier takes posts: a WebSocket or raw TCP
    // client's messages come over its own connection.
    const TkbzWSConnectionServerPtr target = GetConnectionByGuid(guid);
    if (!target || target->GetTransport() != TwsTransport::trpSSE || !target->Enabled() ||
        target->Disconnected())
    {
        WriteStatus(*c, 404);
        return;
    }
    const std::optional<std::string> body = ReadRequestBody(c, head);
    if (!body)
    {
        return; // refused (answered) or the poster went away
    }
    if (!body->empty() && target->OnMessage)
    {
        target->OnMessage(*target, *body);
    }
    TkbzHTTPAnswer answer;
    answer.Headers.Add("Cache-Control", "no-cache");
    answer.Headers.Add("Content-Type", "text/html");
    AllowOrigin(answer, head);
    WriteAnswer(*c, answer);
}

void TkbzWSServer_Indy_Base::DoProtocolPost(const TkbzWSConnectionServerPtr& c,
                                            const TkbzHTTPHead& head)
{
    c->SetTransport(TwsTransport::trpHTTP);
    const std::string rest = head.Path().substr(kProtocolPath.size());
    const std::size_t slash = rest.find('/');
    const std::string name = rest.substr(0, slash);
    const std::string path = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
    const std::vector<std::shared_ptr<TkbzWSProtocol>> protocols = ProtocolsNamed(name);
    if (protocols.empty())
    {
        WriteStatus(*c, 404);
        return;
    }
    const std::optional<std::string> body = ReadRequestBody(c, head);
    if (!body)
    {
        return;
    }
    std::string text;
    for (const auto& protocol : protocols)
    {
        text += protocol->DoHTTPPost(c, path, *body);
    }
    TkbzHTTPAnswer answer;
    answer.Headers.Add("Cache-Control", "no-cache");
    answer.Headers.Add("Content-Type", "text/html");
    answer.Body = std::move(text);
    WriteAnswer(*c, answer);
}

} // namespace kbz
