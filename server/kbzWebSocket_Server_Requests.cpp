// The server's HTTP layer: each execute step goes on with what has arrived (a head, a body),
// answers every request that is whole, in the order they came, and leaves the connection
// waiting for the next one with a deadline; it never waits for the peer itself.
#include "server/kbzWebSocket_Server.h"
#include "transport/kbzHTTP_Client.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kbz
{

namespace detail
{

// What the HTTP layer keeps of one connection between its steps.
struct HTTPExchange
{
    TkbzHTTPHeadParser Parser;
    // A head is parsed and its body is being read.
    bool HaveHead = false;
    TkbzHTTPHead Head;
    TkbzHTTPBodyDecoder Decoder;
    bool ReadingBody = false;
    std::string Body;
    // When the first byte of the head being parsed came (0: none yet).
    std::uint64_t HeadStarted = 0;
    int Served = 0;
    // A body going to disk: its temporary file.
    int UploadFd = -1;
    std::string UploadPath;
    std::uint64_t UploadBytes = 0;
    // A file answer going out as the socket drains; the requests behind it wait.
    std::shared_ptr<TkbzHTTPFileContent> SendFile;
    std::uint64_t SendOffset = 0;
    bool SendKeepAlive = false;

    HTTPExchange() : Parser(TkbzHTTPHeadKind::hkRequest, Limits()) {}
    HTTPExchange(const HTTPExchange&) = delete;
    HTTPExchange& operator=(const HTTPExchange&) = delete;
    ~HTTPExchange() { DropUpload(true); }
    void DropUpload(bool removeFile) noexcept
    {
        if (UploadFd >= 0)
        {
            ::close(UploadFd);
            UploadFd = -1;
        }
        if (removeFile && !UploadPath.empty())
        {
            ::unlink(UploadPath.c_str());
        }
        UploadPath.clear();
        UploadBytes = 0;
    }
    static TkbzHTTPLimits Limits()
    {
        TkbzHTTPLimits limits;
        limits.MaxHeadSize = kbzMaxRequestHead;
        return limits;
    }
    void Next()
    {
        Parser.Reset();
        HaveHead = false;
        Head = TkbzHTTPHead{};
        Decoder = TkbzHTTPBodyDecoder{};
        ReadingBody = false;
        Body.clear();
        HeadStarted = 0;
        DropUpload(true);
    }
};

} // namespace detail

namespace
{

detail::HTTPExchange& ExchangeOf(const TkbzWSConnectionServerPtr& c)
{
    return *static_cast<detail::HTTPExchange*>(c->FHTTPState.get());
}

// Blocks of a file written after its head; a file that fits is written with its head at once.
constexpr std::size_t kFileBlock = 64 * 1024;

std::vector<std::pair<std::string, std::string>> ParseCookies(const TkbzHTTPHeaders& headers)
{
    std::vector<std::pair<std::string, std::string>> cookies;
    for (const TkbzHTTPHeaderField& f : headers)
    {
        if (!kbzSameText(f.Name, "Cookie"))
        {
            continue;
        }
        std::size_t start = 0;
        while (start < f.Value.size())
        {
            std::size_t end = f.Value.find(';', start);
            if (end == std::string::npos)
            {
                end = f.Value.size();
            }
            const std::string item = kbzTrim(std::string_view(f.Value).substr(start, end - start));
            start = end + 1;
            const std::size_t eq = item.find('=');
            if (eq == std::string::npos || eq == 0)
            {
                continue;
            }
            std::string value = kbzTrim(std::string_view(item).substr(eq + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            {
                value = value.substr(1, value.size() - 2);
            }
            cookies.emplace_back(kbzTrim(std::string_view(item).substr(0, eq)), std::move(value));
        }
    }
    return cookies;
}

enum class TFileSend : std::uint8_t
{
    fsDone,
    fsPending,
    fsFailed
};

// Sends the exchange's file on from where it stands while the channel takes
// it without a backlog; a channel that never holds bytes back (a blocking
// socket) takes it whole.
TFileSend ContinueFileSend(TkbzWSConnectionServer& c, detail::HTTPExchange& x,
                           const TkbzComponent_Base& owner)
{
    TkbzIdTCPConnection* tcp = c.TCPConnection();
    if (!tcp || !x.SendFile)
    {
        return TFileSend::fsFailed;
    }
    const std::uint64_t size = x.SendFile->Size();
    std::string block(kFileBlock, '\0');
    while (x.SendOffset < size)
    {
        if (tcp->WriteBacklogged())
        {
            return TFileSend::fsPending;
        }
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(kFileBlock, size - x.SendOffset));
        const std::size_t n = x.SendFile->ReadAt(x.SendOffset, block.data(), want);
        if (n == 0 || owner.IsDestroying() || c.Disconnected())
        {
            return TFileSend::fsFailed;
        }
        tcp->Write(std::string_view(block.data(), n));
        c.AddSendBytes(static_cast<std::int64_t>(n));
        x.SendOffset += n;
    }
    x.SendFile.reset();
    return TFileSend::fsDone;
}

bool IsGetChainMethod(const std::string& method)
{
    return method == "GET" || method == "HEAD" || method == "POST";
}

} // namespace

bool TkbzWSHTTPServer::DoExecuteHTTP(const TkbzWSConnectionServerPtr& c)
{
    TkbzIdTCPConnection* tcp = c->TCPConnection();
    if (!tcp || IsDestroying())
    {
        return false;
    }
    if (!c->FHTTPState)
    {
        // The classification consumed the first head and passed its checks.
        auto x = std::make_shared<detail::HTTPExchange>();
        if (c->RequestHead())
        {
            x->Head = *c->RequestHead();
            x->HaveHead = true;
        }
        c->FHTTPState = x;
        if (x->HaveHead && !StartBody(c))
        {
            return false;
        }
    }
    // Held for the step: a refusal on the way ends the connection's state.
    const std::shared_ptr<void> state = c->FHTTPState;
    detail::HTTPExchange& x = ExchangeOf(c);
    for (;;)
    {
        const std::uint64_t now = kbzGetTicks();
        if (x.SendFile)
        {
            // The requests behind an answer still going out wait for it.
            const std::uint64_t sent = x.SendOffset;
            const TFileSend r = ContinueFileSend(*c, x, *this);
            if (r == TFileSend::fsFailed)
            {
                c->FHTTPSending = false;
                return false;
            }
            if (r == TFileSend::fsPending)
            {
                if (x.SendOffset != sent)
                {
                    // A reader that takes nothing for the request time limit is dropped.
                    c->FHTTPDeadline =
                        now + static_cast<std::uint64_t>(std::max(1, RequestHeadTimeOut));
                }
                return true;
            }
            c->FHTTPSending = false;
            if (!x.SendKeepAlive)
            {
                return false;
            }
            c->FHTTPDeadline = now + static_cast<std::uint64_t>(std::max(1, KeepAliveTimeOut));
            if (tcp->InputBufferIsEmpty())
            {
                return true;
            }
        }
        if (!x.HaveHead)
        {
            TkbzHTTPParseStatus status = TkbzHTTPParseStatus::hpsNeedMore;
            std::size_t length = 0;
            bool classified = false;
            tcp->InputBufferConsume([&](std::span<const std::uint8_t> bytes) -> std::size_t {
                if (bytes.empty())
                {
                    return 0;
                }
                status = x.Parser.Parse(
                    std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
                if (status == TkbzHTTPParseStatus::hpsComplete)
                {
                    // Left where it is for the classification of first requests.
                    classified = IsClassifiedRequest(x.Parser.Head());
                    length = classified ? 0 : x.Parser.Head().Length;
                    return length;
                }
                return 0;
            });
            if (classified)
            {
                // A browser sends its upgrades, event streams and their posts on
                // whichever connection it keeps: they are served as first requests.
                ReturnToClassification(c);
                return true;
            }
            if (status == TkbzHTTPParseStatus::hpsNeedMore)
            {
                if (!tcp->InputBufferIsEmpty() && x.HeadStarted == 0)
                {
                    // A head has started: it has the request time limit to come whole.
                    x.HeadStarted = now;
                    c->FHTTPDeadline =
                        now + static_cast<std::uint64_t>(std::max(1, RequestHeadTimeOut));
                }
                return true;
            }
            if (status != TkbzHTTPParseStatus::hpsComplete)
            {
                // 431 for a head over the limit, 400 for a malformed one (or no HTTP at all).
                const int refusal = status == TkbzHTTPParseStatus::hpsError
                                        ? std::max(400, x.Parser.ErrorStatus())
                                        : 400;
                WriteRefusal(c, refusal);
                DoError(c, refusal == 431 ? std::string("Request head too large.")
                                          : "Bad request: " + x.Parser.ErrorText() + ".");
                return false;
            }
            c->AddRecBytes(static_cast<std::int64_t>(length));
            x.Head = std::move(x.Parser.Head());
            x.HaveHead = true;
            c->HeadersRequest() = x.Head.Lines;
            c->SetRequestHead(x.Head);
            if (!CheckFollowingRequest(c, x.Head) || !StartBody(c))
            {
                return false;
            }
        }
        if (x.ReadingBody)
        {
            std::size_t before = x.Body.size();
            tcp->InputBufferConsume([&](std::span<const std::uint8_t> bytes) -> std::size_t {
                return x.Decoder.Feed(
                    std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                    x.Body);
            });
            c->AddRecBytes(static_cast<std::int64_t>(x.Body.size() - before));
            if (x.UploadFd >= 0 && !x.Body.empty())
            {
                const char* data = x.Body.data();
                std::size_t n = x.Body.size();
                while (n > 0)
                {
                    const ssize_t w = ::write(x.UploadFd, data, n);
                    if (w < 0 && errno == EINTR)
                    {
                        continue;
                    }
                    if (w < 0)
                    {
                        DoError(c,
                                "Cannot write file " + x.UploadPath + ". " + std::strerror(errno));
                        WriteRefusal(c, 500);
                        return false;
                    }
                    data += w;
                    n -= static_cast<std::size_t>(w);
                }
                x.UploadBytes += x.Body.size();
                x.Body.clear();
            }
            if (x.Decoder.Failed())
            {
                WriteRefusal(c, x.Decoder.ErrorStatus());
                return false;
            }
            if (!x.Decoder.Done())
            {
                // The body may take its time, as long as it keeps coming.
                c->FHTTPDeadline =
                    now + static_cast<std::uint64_t>(std::max(1, RequestHeadTimeOut));
                return true;
            }
            x.ReadingBody = false;
        }
        if (!ServeRequest(c))
        {
            return false;
        }
        x.Next();
        ++x.Served;
        c->FHTTPDeadline =
            kbzGetTicks() + static_cast<std::uint64_t>(
                                std::max(1, x.SendFile ? RequestHeadTimeOut : KeepAliveTimeOut));
        if (tcp->InputBufferIsEmpty() || x.SendFile)
        {
            return true;
        }
        // A pipelined request: answered in turn.
    }
}

bool TkbzWSHTTPServer::CheckFollowingRequest(const TkbzWSConnectionServerPtr& c,
                                             const TkbzHTTPHead& head)
{
    if (c->FServerSameOrigin && !DoCheckOrigin(c, head))
    {
        return false;
    }
    TkbzWSAuthenticationServer_Options& auth = Authentication();
    if (!auth.Enabled || c->GetIsInternal())
    {
        return true;
    }
    if (c->FServerSSL && DoOfferHTTP(c, head, [] {}))
    {
        return false;
    }
    // Every request carries its own credentials; the first one's do not cover the rest.
    if (auth.Basic.Enabled)
    {
        c->Authentication().Authenticated = false;
        if (!DoAuthorizeBasic(c, head.Lines))
        {
            return false;
        }
    }
    if (NeedsBearer(*c))
    {
        c->Authentication().Authenticated = false;
        if (!DoAuthorizeBearer(c, head.Lines))
        {
            return false;
        }
    }
    return true;
}

bool TkbzWSHTTPServer::StartBody(const TkbzWSConnectionServerPtr& c)
{
    detail::HTTPExchange& x = ExchangeOf(c);
    const TkbzHTTPBodyFraming framing = kbzHTTPRequestFraming(x.Head);
    if (framing.ErrorStatus != 0)
    {
        WriteRefusal(c, framing.ErrorStatus);
        return false;
    }
    if (framing.Kind == TkbzHTTPBodyKind::hbkNone ||
        (framing.Kind == TkbzHTTPBodyKind::hbkLength && framing.Length == 0))
    {
        x.ReadingBody = false;
        return true;
    }
    const TkbzHTTPUploadFilesServer& upload = FHTTPUploadFiles;
    const std::uint64_t length = framing.Kind == TkbzHTTPBodyKind::hbkLength ? framing.Length : 0;
    const bool toDisk =
        upload.StreamType == TwsPostStreamType::pstFileStream &&
        (upload.MinSize <= 0 || length >= static_cast<std::uint64_t>(upload.MinSize)) &&
        kbzContainsText(x.Head.Headers.Get("Content-Type"), "multipart/form-data");
    const std::uint64_t cap = toDisk ? upload.MaxFileSize : MaxRequestBody;
    if (framing.Kind == TkbzHTTPBodyKind::hbkLength && framing.Length > cap)
    {
        // Refused before a byte of it is read.
        WriteRefusal(c, 413);
        return false;
    }
    if (toDisk)
    {
        std::string name =
            kbzFormatDateTime("yyyymmddhhnnsszzz", std::chrono::system_clock::now()) + ".kbz_ps";
        x.UploadFd = kbzCreateUploadFile(upload.SaveDirectory, name);
        if (x.UploadFd < 0)
        {
            DoError(c, "Cannot create file " + name + ". " + std::strerror(errno));
            WriteRefusal(c, 500);
            return false;
        }
        const std::string& folder = upload.SaveDirectory;
        x.UploadPath = folder.empty()                                  ? name
                       : folder.back() == '/' || folder.back() == '\\' ? folder + name
                                                                       : folder + "/" + name;
    }
    if (x.Head.Headers.HasToken("Expect", "100-continue"))
    {
        if (TkbzIdTCPConnection* tcp = c->TCPConnection())
        {
            try
            {
                tcp->Write("HTTP/1.1 100 Continue\r\n\r\n");
            }
            catch (const std::exception&)
            {
                return false;
            }
        }
    }
    x.Decoder = TkbzHTTPBodyDecoder(framing, cap);
    x.ReadingBody = true;
    c->FHTTPDeadline = kbzGetTicks() + static_cast<std::uint64_t>(std::max(1, RequestHeadTimeOut));
    return true;
}

bool TkbzWSHTTPServer::ServeRequest(const TkbzWSConnectionServerPtr& c)
{
    detail::HTTPExchange& x = ExchangeOf(c);
    TkbzIdTCPConnection* tcp = c->TCPConnection();
    if (!tcp)
    {
        return false;
    }
    TkbzWSHTTPRequestInfo request;
    request.Head = x.Head;
    request.Command = x.Head.Method;
    const std::string path = x.Head.Path();
    if (!kbzHTTPDecodePath(path, request.Document))
    {
        request.Document = path;
    }
    request.QueryParams = x.Head.Query();
    request.ContentType = x.Head.Headers.Get("Content-Type");
    request.ContentLength = x.UploadPath.empty() ? x.Body.size() : x.UploadBytes;
    request.PostBody = std::move(x.Body);
    if (!x.UploadPath.empty() && !FinishUpload(c, request))
    {
        return false;
    }
    if (ParseParams)
    {
        request.Params = kbzHTTPParseQuery(request.QueryParams);
        if (kbzLowerCase(request.ContentType).starts_with("application/x-www-form-urlencoded"))
        {
            auto form = kbzHTTPParseQuery(request.PostBody);
            request.Params.insert(request.Params.end(), form.begin(), form.end());
        }
    }
    if (kbzHasBasicAuthorization(x.Head.Lines))
    {
        const std::string credentials = kbzGetBasicCredentials(x.Head.Lines);
        const std::size_t colon = credentials.find(':');
        request.AuthExists = true;
        request.AuthUsername = credentials.substr(0, colon);
        request.AuthPassword = colon == std::string::npos ? "" : credentials.substr(colon + 1);
    }
    const TkbzSocketBinding binding = tcp->Binding();
    request.RemoteIP = binding.IP;
    request.RemotePort = binding.Port;
    request.Cookies = ParseCookies(x.Head.Headers);

    TkbzWSHTTPResponseInfo response;
    bool keepAlive = KeepAlive && x.Head.KeepAlive();
    try
    {
        DoCommand(c, request, response);
    }
    catch (const std::exception& e)
    {
        response = TkbzWSHTTPResponseInfo{};
        response.ResponseNo = 500;
        // As text: a message that holds markup is not run by a browser.
        response.ContentType = "text/plain; charset=utf-8";
        response.ContentText = e.what();
    }
    catch (...)
    {
        response = TkbzWSHTTPResponseInfo{};
        response.ResponseNo = 500;
        response.ContentType = "text/plain; charset=utf-8";
        response.ContentText = "Unknown error.";
    }
    if (c->Disconnected() || c->GetMustDisconnect())
    {
        return false;
    }
    return WriteResponse(c, request, response, keepAlive);
}

bool TkbzWSHTTPServer::FinishUpload(const TkbzWSConnectionServerPtr& c,
                                    TkbzWSHTTPRequestInfo& request)
{
    detail::HTTPExchange& x = ExchangeOf(c);
    const TkbzHTTPUploadFilesServer upload = FHTTPUploadFiles;
    if (!upload.RemoveBoundaries)
    {
        request.PostFile = x.UploadPath;
        x.DropUpload(false);
        return true;
    }
    if (x.UploadFd >= 0)
    {
        ::close(x.UploadFd);
        x.UploadFd = -1;
    }
    try
    {
        TkbzFileStream stream(x.UploadPath, TkbzFileMode::fmOpenRead);
        TkbzHTTPMultipartFormDataDecoder decoder;
        decoder.MaxFieldSize = static_cast<std::size_t>(MaxRequestBody);
        decoder.OnBeforeSaveFile = [&](TkbzHTTPMultipartFormDataDecoder&, std::string& name,
                                       std::string& path) {
            OnHTTPUploadBeforeSaveFile(c, name, path);
        };
        decoder.OnAfterSaveFile = [&](TkbzHTTPMultipartFormDataDecoder&, const std::string& name,
                                      const std::string& path) {
            OnHTTPUploadAfterSaveFile(c, name, path);
        };
        decoder.OnReadInput = [&](TkbzHTTPMultipartFormDataDecoder&, const std::string& name,
                                  const std::string& value) {
            OnHTTPUploadReadInput(c, name, value);
        };
        decoder.ExtractFiles(stream, x.Head.Headers.Param("Content-Type", "boundary"),
                             upload.SaveDirectory);
    }
    catch (const std::exception& e)
    {
        x.DropUpload(true);
        DoError(c, e.what());
        TkbzWSHTTPResponseInfo failed;
        failed.ResponseNo = 500;
        failed.ContentType = "text/plain; charset=utf-8";
        failed.ContentText = e.what();
        WriteResponse(c, request, failed, false);
        return false;
    }
    x.DropUpload(true);
    return true;
}

void TkbzWSHTTPServer::DoCommand(const TkbzWSConnectionServerPtr& c, TkbzWSHTTPRequestInfo& request,
                                 TkbzWSHTTPResponseInfo& response)
{
    if (SessionState)
    {
        const std::uint64_t now = kbzGetTicks();
        FHTTPSessions.SessionTimeOut = SessionTimeOut;
        RaiseSessionEnd(FHTTPSessions.TakeExpired(now));
        const std::string id = request.Cookie(kbzSessionCookieName);
        if (!id.empty())
        {
            request.Session = FHTTPSessions.Find(id, request.RemoteIP, now);
            if (!request.Session)
            {
                bool continueProcessing = true;
                OnInvalidSession(c, request, response, continueProcessing, id);
                if (!continueProcessing)
                {
                    return;
                }
            }
        }
        if (!request.Session && AutoStartSession)
        {
            CreateSession(c, request, response);
        }
    }
    // Authorisation ran before: on the request's head, before its body was read.
    if (DoForwardHTTP(c, request, response))
    {
        return;
    }
    if (!IsGetChainMethod(request.Command))
    {
        OnCommandOther(c, request, response);
        return;
    }
    if (DoServeBuiltInFile(c, request, response) || DoAPIRequest(c, request, response) ||
        DoDocumentRoot(request, response))
    {
        return;
    }
    OnCommandGet(c, request, response);
}

bool TkbzWSHTTPServer::DoForwardHTTP(const TkbzWSConnectionServerPtr& c,
                                     TkbzWSHTTPRequestInfo& request,
                                     TkbzWSHTTPResponseInfo& response)
{
    if (!OnBeforeForwardHTTP)
    {
        return false;
    }
    TkbzWSServerForwardHTTP forward;
    forward.Document = request.Head.Target;
    OnBeforeForwardHTTP(c, request, forward);
    if (!forward.Enabled)
    {
        return false;
    }
    // Fields that belong to one hop, or that the client writes itself.
    static constexpr std::string_view kHopFields[] = {
        "Connection",          "Keep-Alive", "Proxy-Connection",
        "Proxy-Authorization", "TE",         "Trailer",
        "Transfer-Encoding",   "Upgrade",    "Host",
        "Content-Length",      "Expect"};
    const auto isHop = [](std::string_view name) {
        return std::any_of(std::begin(kHopFields), std::end(kHopFields),
                           [&](std::string_view n) { return kbzSameText(n, name); });
    };
    std::optional<EIdHTTPProtocolException> failure;
    std::string failureText;
    bool failed = false;
    try
    {
        TkbzHTTPClient client;
        client.KeepAlive = false;
        client.TLSOptions.Assign(forward.TLSOptions);
        client.ConnectTimeout = forward.ConnectTimeout;
        client.ReadTimeout = forward.ReadTimeout;
        client.MaxBody = std::max<std::uint64_t>(MaxRequestBody, 64 * 1024 * 1024);
        TkbzHTTPHeaders headers;
        for (const TkbzHTTPHeaderField& f : request.Head.Headers)
        {
            if (!isHop(f.Name) && !kbzSameText(f.Name, "User-Agent"))
            {
                headers.Add(f.Name, f.Value);
            }
        }
        if (const std::string* agent = request.Head.Headers.Find("User-Agent"))
        {
            client.UserAgent = *agent;
        }
        headers.Add("X-Forwarded-For", request.RemoteIP);
        headers.Add("X-Forwarded-Host", request.Head.Headers.Get("Host"));
        const TkbzHTTPResponse answer =
            client.Request(request.Command, forward.GetForwardURL(), headers, request.PostBody);
        response.ResponseNo = answer.Status();
        response.ResponseText = answer.Reason();
        for (const TkbzHTTPHeaderField& f : answer.Head.Headers)
        {
            if (kbzSameText(f.Name, "Content-Type"))
            {
                response.ContentType = f.Value;
            }
            else if (!isHop(f.Name) && !kbzSameText(f.Name, "Server") &&
                     !kbzSameText(f.Name, "Set-Cookie"))
            {
                response.CustomHeaders.Add(f.Name, f.Value);
            }
            else if (kbzSameText(f.Name, "Set-Cookie"))
            {
                response.Cookies.push_back(f.Value);
            }
        }
        response.ContentText = answer.Body;
        if (request.Command == "HEAD")
        {
            // The target's head tells the length its GET would have.
            const std::string length = answer.Head.Headers.Get("Content-Length");
            const bool number = !length.empty() && length.size() < 19 &&
                                std::all_of(length.begin(), length.end(),
                                            [](char ch) { return ch >= '0' && ch <= '9'; });
            response.ContentLength = number ? std::stoll(length) : 0;
        }
    }
    catch (const EIdHTTPProtocolException& e)
    {
        failed = true;
        failure = e;
        response.ResponseNo = e.Status() != 0 ? e.Status() : 500;
        response.ContentType = "text/plain; charset=utf-8";
        response.ContentText = e.what();
    }
    catch (const std::exception& e)
    {
        failed = true;
        failureText = e.what();
        response.ResponseNo = 500;
        response.ContentType = "text/plain; charset=utf-8";
        response.ContentText = e.what();
    }
    if (failed && !failure)
    {
        const Exception e(failureText);
        OnAfterForwardHTTP(c, request, response, &e);
    }
    else
    {
        OnAfterForwardHTTP(c, request, response, failure ? &*failure : nullptr);
    }
    return true;
}

bool TkbzWSHTTPServer::DoServeBuiltInFile(const TkbzWSConnectionServerPtr& c,
                                          TkbzWSHTTPRequestInfo& request,
                                          TkbzWSHTTPResponseInfo& response)
{
    TkbzHTTPAnswer answer;
    if (!GetBuiltInFile(*c, request.Head, false, answer))
    {
        return false;
    }
    response.ResponseNo = answer.Status;
    response.ResponseText = answer.Reason;
    for (const TkbzHTTPHeaderField& f : answer.Headers)
    {
        if (kbzSameText(f.Name, "Content-Type"))
        {
            response.ContentType = f.Value;
        }
        else
        {
            response.CustomHeaders.Add(f.Name, f.Value);
        }
    }
    response.ContentText = std::move(answer.Body);
    return true;
}

void TkbzWSHTTPServer::RegisterAPI(TkbzWSAPIPtr api)
{
    SetAPI(std::move(api));
}

void TkbzWSHTTPServer::UnRegisterAPI()
{
    SetAPI(nullptr);
}

TkbzWSAPIPtr TkbzWSHTTPServer::API() const
{
    // Only RegisterAPI above sets the API of a server.
    return std::static_pointer_cast<TkbzWSAPI>(RegisteredAPI());
}

bool TkbzWSHTTPServer::DoAPIRequest(const TkbzWSConnectionServerPtr& c,
                                    TkbzWSHTTPRequestInfo& request,
                                    TkbzWSHTTPResponseInfo& response)
{
    const TkbzWSAPIPtr api = API();
    if (!api)
    {
        return false;
    }
    TkbzWSAPIRequest r;
    r.Method = request.Command;
    r.Document = request.Document;
    r.QueryParams = kbzHTTPParseQuery(request.QueryParams);
    r.Content = request.PostBody;
    r.Request = &request;
    TkbzWSAPIResponse answer;
    if (!api->DoHTTPRequest(c, r, answer))
    {
        return false;
    }
    response.ResponseNo = answer.Code;
    response.ContentText = std::move(answer.Content);
    response.ContentType = answer.ContentType;
    return true;
}

bool TkbzWSHTTPServer::DoDocumentRoot(TkbzWSHTTPRequestInfo& request,
                                      TkbzWSHTTPResponseInfo& response)
{
    using enum TkbzDocumentPath::TStatus;
    if (DocumentRoot.empty() || (request.Command != "GET" && request.Command != "HEAD"))
    {
        return false;
    }
    const TkbzDocumentPath file = kbzResolveDocumentPath(DocumentRoot, request.Head.Path());
    if (file.Status == dpRefused)
    {
        // A path that tries to leave the folder: nothing is read, and nothing else answers it.
        response.ResponseNo = 404;
        return true;
    }
    if (file.Status != dpFound || !response.SetContentFile(file.Path))
    {
        return false;
    }
    response.ContentType = kbzHTTPMimeType(file.Path);
    response.CharSet = Charset;
    return true;
}

TkbzHTTPSessionPtr TkbzWSHTTPServer::CreateSession(const TkbzWSConnectionServerPtr& c,
                                                   TkbzWSHTTPRequestInfo& request,
                                                   TkbzWSHTTPResponseInfo& response)
{
    TkbzHTTPSessionPtr session;
    OnCreateSession(c, request, session);
    if (!session)
    {
        session = std::make_shared<TkbzHTTPSession>(kbzNewGuid(), request.RemoteIP);
    }
    FHTTPSessions.SessionTimeOut = SessionTimeOut;
    RaiseSessionEnd(FHTTPSessions.Add(session, kbzGetTicks()));
    OnSessionStart(session);
    response.Cookies.push_back(std::string(kbzSessionCookieName) + "=" + session->SessionID +
                               "; Path=/; HttpOnly; SameSite=Lax");
    request.Session = session;
    return session;
}

bool TkbzWSHTTPServer::EndSession(const std::string& sessionID)
{
    TkbzHTTPSessionPtr session = FHTTPSessions.Remove(sessionID);
    if (!session)
    {
        return false;
    }
    RaiseSessionEnd({session});
    return true;
}

void TkbzWSHTTPServer::EndAllSessions() noexcept
{
    RaiseSessionEnd(FHTTPSessions.Clear());
}

void TkbzWSHTTPServer::RaiseSessionEnd(const std::vector<TkbzHTTPSessionPtr>& sessions) noexcept
{
    if (IsDestroying())
    {
        return;
    }
    for (const TkbzHTTPSessionPtr& s : sessions)
    {
        try
        {
            OnSessionEnd(s);
        }
        catch (const std::exception& e)
        {
            DoError(nullptr, e.what());
        }
        catch (...)
        {
            DoError(nullptr, "Unknown error.");
        }
    }
}

bool TkbzWSHTTPServer::WriteResponse(const TkbzWSConnectionServerPtr& c,
                                     const TkbzWSHTTPRequestInfo& request,
                                     TkbzWSHTTPResponseInfo& response, bool keepAlive)
{
    TkbzIdTCPConnection* tcp = c->TCPConnection();
    if (!tcp)
    {
        return false;
    }
    if (response.CloseConnection)
    {
        keepAlive = false;
    }
    const int status = response.ResponseNo;
    const bool bodyless = (status >= 100 && status < 200) || status == 204 || status == 304;
    TkbzHTTPAnswer a;
    a.Status = status;
    a.Reason = response.ResponseText;
    a.HeadOnly = request.Command == "HEAD";
    std::string contentType = response.ContentType;
    const bool givenLength = a.HeadOnly && response.ContentLength >= 0 && !response.ContentFile;
    if (givenLength)
    {
        a.Headers.Add("Content-Length", std::to_string(response.ContentLength));
        a.AddContentLength = false;
        response.ContentText.clear();
    }
    if (!bodyless && !givenLength && !response.ContentFile && response.ContentText.empty())
    {
        // Nothing to send: the page that names the status.
        response.ContentText = kbzHTTPStatusPage(status, response.ResponseText);
        if (contentType.empty())
        {
            contentType = "text/html; charset=utf-8";
        }
    }
    if (contentType.empty() && !bodyless)
    {
        contentType = "text/html";
    }
    if (!response.CharSet.empty() && kbzHTTPIsTextType(contentType) &&
        kbzLowerCase(contentType).find("charset=") == std::string::npos)
    {
        contentType += "; charset=" + response.CharSet;
    }
    if (!contentType.empty())
    {
        a.Headers.Add("Content-Type", contentType);
    }
    static constexpr std::string_view kOwnFields[] = {"Content-Length", "Transfer-Encoding",
                                                      "Connection", "Server", "Content-Type"};
    for (const TkbzHTTPHeaderField& f : response.CustomHeaders)
    {
        if (std::none_of(std::begin(kOwnFields), std::end(kOwnFields),
                         [&](std::string_view n) { return kbzSameText(f.Name, n); }))
        {
            a.Headers.Add(f.Name, f.Value);
        }
    }
    for (const std::string& cookie : response.Cookies)
    {
        a.Headers.Add("Set-Cookie", cookie);
    }
    if (!response.AuthRealm.empty())
    {
        std::string realm;
        for (char ch : response.AuthRealm)
        {
            if (ch == '"' || ch == '\\')
            {
                realm += '\\';
            }
            realm += ch;
        }
        a.Headers.Add("WWW-Authenticate", "Basic realm=\"" + realm + "\"");
    }
    if (keepAlive)
    {
        if (!request.Head.AtLeast11())
        {
            a.Headers.Add("Connection", "keep-alive");
        }
    }
    else
    {
        a.Headers.Add("Connection", "close");
    }
    a.Headers.Add("Server", kbzServerSoftware);
    try
    {
        if (response.ContentFile)
        {
            const TkbzHTTPFileContent& file = *response.ContentFile;
            const std::uint64_t size = file.Size();
            a.Headers.Add("Content-Length", std::to_string(size));
            a.AddContentLength = false;
            std::string bytes = kbzWriteHTTPAnswer(a);
            if (a.HeadOnly)
            {
                tcp->Write(bytes);
                c->AddSendBytes(static_cast<std::int64_t>(bytes.size()));
            }
            else
            {
                std::uint64_t offset = 0;
                std::string block;
                // A small file goes with its head in one write; a larger one in blocks.
                if (size <= kFileBlock)
                {
                    block.resize(static_cast<std::size_t>(size));
                    std::size_t got = 0;
                    while (got < block.size())
                    {
                        const std::size_t n =
                            file.ReadAt(got, block.data() + got, block.size() - got);
                        if (n == 0)
                        {
                            break;
                        }
                        got += n;
                    }
                    if (got < block.size())
                    {
                        // The file shrank meanwhile: the length sent cannot be kept.
                        return false;
                    }
                    bytes += block;
                    tcp->Write(bytes);
                    c->AddSendBytes(static_cast<std::int64_t>(bytes.size()));
                }
                else
                {
                    tcp->Write(bytes);
                    c->AddSendBytes(static_cast<std::int64_t>(bytes.size()));
                    if (c->FHTTPState)
                    {
                        // Goes out as the socket drains, in the connection's later steps.
                        detail::HTTPExchange& x = ExchangeOf(c);
                        x.SendFile = response.ContentFile;
                        x.SendOffset = 0;
                        x.SendKeepAlive = keepAlive;
                        const TFileSend r = ContinueFileSend(*c, x, *this);
                        if (r == TFileSend::fsFailed)
                        {
                            return false;
                        }
                        c->FHTTPSending = r == TFileSend::fsPending;
                        return r == TFileSend::fsPending || keepAlive;
                    }
                    block.resize(kFileBlock);
                    while (offset < size)
                    {
                        const std::size_t want = static_cast<std::size_t>(
                            std::min<std::uint64_t>(kFileBlock, size - offset));
                        const std::size_t n = file.ReadAt(offset, block.data(), want);
                        if (n == 0 || IsDestroying() || c->Disconnected())
                        {
                            return false;
                        }
                        tcp->Write(std::string_view(block.data(), n));
                        c->AddSendBytes(static_cast<std::int64_t>(n));
                        offset += n;
                    }
                }
            }
        }
        else
        {
            a.Body = bodyless ? std::string() : std::move(response.ContentText);
            const std::string bytes = kbzWriteHTTPAnswer(a);
            tcp->Write(bytes);
            c->AddSendBytes(static_cast<std::int64_t>(bytes.size()));
        }
    }
    catch (const EArgumentException& e)
    {
        // A field the application gave that cannot be written: its request fails instead.
        TkbzWSHTTPResponseInfo failed;
        failed.ResponseNo = 500;
        failed.ContentType = "text/plain; charset=utf-8";
        failed.ContentText = e.what();
        return WriteResponse(c, request, failed, false);
    }
    catch (const std::exception&)
    {
        return false; // the peer went away
    }
    return keepAlive;
}

void TkbzWSHTTPServer::WriteRefusal(const TkbzWSConnectionServerPtr& c, int status) noexcept
{
    TkbzIdTCPConnection* tcp = c->TCPConnection();
    if (!tcp)
    {
        return;
    }
    try
    {
        TkbzHTTPAnswer a;
        a.Status = status;
        a.Headers.Add("Content-Type", "text/html; charset=utf-8");
        a.Headers.Add("Connection", "close");
        a.Headers.Add("Server", kbzServerSoftware);
        a.Body = kbzHTTPStatusPage(status);
        const std::string bytes = kbzWriteHTTPAnswer(a);
        tcp->Write(bytes);
        c->AddSendBytes(static_cast<std::int64_t>(bytes.size()));
        // What the peer is still sending (a refused body) is read and dropped for a moment,
        // so that closing over unread bytes does not reset the connection before the
        // answer has been read; the connection's steps keep that linger.
        c->BeginLinger(1000);
    }
    catch (...)
    {
        // The peer went away; the connection ends either way.
    }
}

} // namespace kbz
