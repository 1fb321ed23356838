// The server's plain HTTP requests as the application sees them: the request and response
// records of the command events, cookie sessions, the forwarding record, the API component,
// the file-extension table and the safe resolution of a document below a folder.
#pragma once

#include "server/kbzWebSocket_Server_Base.h"
#include "transport/kbzHTTP_Message.h"
#include "transport/kbzSocket_Options.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kbz
{

// ---- Sessions ----

// One cookie session: its identifier, the address that started it and what the application
// keeps in it (Content may be used from several connection threads: take Lock).
class TkbzHTTPSession
{
public:
    TkbzHTTPSession(std::string id, std::string remoteIP)
        : SessionID(std::move(id)), RemoteIP(std::move(remoteIP))
    {}
    const std::string SessionID;
    const std::string RemoteIP;
    std::mutex Lock;
    std::map<std::string, std::string> Content;
};
using TkbzHTTPSessionPtr = std::shared_ptr<TkbzHTTPSession>;

// The live sessions. Each expires SessionTimeOut ms after its last request (0: never); at most
// MaxSessions are kept (a new one pushes the least recently used out), so that clients that
// drop their cookies cannot grow it without bound. Expired and pushed-out sessions are handed
// back by the calls below, so that the caller can raise their end outside the list's lock.
class TkbzHTTPSessionList
{
public:
    // The server sets it from its own SessionTimeOut at every request (any connection thread).
    std::atomic<int> SessionTimeOut{0};
    std::atomic<std::size_t> MaxSessions{10000};

    // Adds the session; returns those it pushed out or found expired.
    std::vector<TkbzHTTPSessionPtr> Add(const TkbzHTTPSessionPtr& session, std::uint64_t now);
    // The live session of that identifier started from that address (none when unknown,
    // expired or from elsewhere); its time starts again.
    TkbzHTTPSessionPtr Find(const std::string& id, const std::string& remoteIP, std::uint64_t now);
    // Removes and returns the session (none when unknown).
    TkbzHTTPSessionPtr Remove(const std::string& id);
    // Removes and returns the expired sessions.
    std::vector<TkbzHTTPSessionPtr> TakeExpired(std::uint64_t now);
    // Removes and returns them all.
    std::vector<TkbzHTTPSessionPtr> Clear();
    std::size_t Count() const;

private:
    struct Entry
    {
        TkbzHTTPSessionPtr Session;
        std::uint64_t LastUse = 0;
    };
    bool Expired(const Entry& e, std::uint64_t now) const noexcept;

    mutable std::mutex FLock;
    std::map<std::string, Entry> FEntries;
};

// The name of the session cookie.
inline constexpr std::string_view kbzSessionCookieName = "KBZSESSIONID";

// ---- Request and response records ----

// One plain HTTP request.
class TkbzWSHTTPRequestInfo
{
public:
    TkbzHTTPHead Head;       // request line and fields, also as raw lines
    std::string Command;     // the method, as sent
    std::string Document;    // the path, %XX-decoded (as sent when it cannot be decoded)
    std::string QueryParams; // what follows "?", undecoded
    // With ParseParams: the query's name=value pairs, then those of a form body
    // (application/x-www-form-urlencoded), decoded, in order.
    std::vector<std::pair<std::string, std::string>> Params;
    // The body, when it was held in memory; an upload to disk leaves it empty.
    std::string PostBody;
    // A body written to disk and not decoded (HTTPUploadFiles without RemoveBoundaries): its
    // file, which is the application's to remove.
    std::string PostFile;
    std::string ContentType;
    std::uint64_t ContentLength = 0; // of the body as received
    // Basic credentials of the Authorization field.
    bool AuthExists = false;
    std::string AuthUsername;
    std::string AuthPassword;
    std::string RemoteIP;
    std::uint16_t RemotePort = 0;
    // The Cookie fields' name=value pairs.
    std::vector<std::pair<std::string, std::string>> Cookies;
    // The request's cookie session (SessionState), none without one.
    TkbzHTTPSessionPtr Session;

    // The first parameter of that name (names compare exactly); empty when absent.
    std::string Param(std::string_view name) const;
    bool HasParam(std::string_view name) const;
    // The first cookie of that name; empty when absent.
    std::string Cookie(std::string_view name) const;
};

// A file a response sends: open from the moment it was chosen (so that what was checked is
// what is sent), read in blocks while it is written.
class TkbzHTTPFileContent
{
public:
    // Opens a regular file for reading; none when it cannot be opened or is no regular file.
    static std::shared_ptr<TkbzHTTPFileContent> Open(const std::string& path);
    ~TkbzHTTPFileContent();
    TkbzHTTPFileContent(const TkbzHTTPFileContent&) = delete;
    TkbzHTTPFileContent& operator=(const TkbzHTTPFileContent&) = delete;

    std::uint64_t Size() const noexcept { return FSize; }
    // Reads up to n bytes at offset into dst; returns the count (0 at the end).
    std::size_t ReadAt(std::uint64_t offset, char* dst, std::size_t n) const;

private:
    TkbzHTTPFileContent(int fd, std::uint64_t size) : FFd(fd), FSize(size) {}
    int FFd = -1;
    std::uint64_t FSize = 0;
};

// The answer to one plain HTTP request, filled by the chain and the command events.
class TkbzWSHTTPResponseInfo
{
public:
    int ResponseNo = 200;
    std::string ResponseText; // empty: the standard text of ResponseNo
    std::string ContentType;  // empty with content: "text/html"
    std::string CharSet;      // added to a textual ContentType as "; charset=..."
    std::string ContentText;
    // Sent instead of ContentText when set.
    std::shared_ptr<TkbzHTTPFileContent> ContentFile;
    // Further fields (Location, Cache-Control...); fields the server writes itself are
    // not taken from here.
    TkbzHTTPHeaders CustomHeaders;
    // Set-Cookie values.
    std::vector<std::string> Cookies;
    // Not empty: a Basic challenge for this realm goes with the answer.
    std::string AuthRealm;
    // The connection ends after this answer.
    bool CloseConnection = false;
    // An answer to HEAD: the length of the body that GET would get (-1: that of the content
    // here), for a HEAD that is answered without its body at hand (a forwarded one).
    std::int64_t ContentLength = -1;

    // Whether anything was put into the response (otherwise the default page is answered).
    bool Filled() const;
    // Opens the file as content; false (and nothing changed) when it cannot be opened.
    bool SetContentFile(const std::string& path);
};

// ---- Forwarding ----

// Where a request is sent on to (set by OnBeforeForwardHTTP): URL is the target server's base
// address ("http://127.0.0.1:8081"), Document the path asked for there (the request's own
// target to begin with).
class TkbzWSServerForwardHTTP
{
public:
    bool Enabled = false;
    std::string URL;
    std::string Document;
    TkbzSocketTLS_Options TLSOptions;
    // Time limits of the forwarded exchange (ms).
    int ConnectTimeout = 10000;
    int ReadTimeout = 30000;
    std::string GetForwardURL() const { return URL + Document; }
};

// ---- API ----

// A request as an API component sees it.
struct TkbzWSAPIRequest
{
    std::string Method;
    std::string Document;
    std::vector<std::pair<std::string, std::string>> QueryParams;
    std::string Content; // the request body
    const TkbzWSHTTPRequestInfo* Request = nullptr;
};

struct TkbzWSAPIResponse
{
    int Code = 200;
    std::string Content;
    std::string ContentType = "application/json";
};

// An API registered on a server: its plain requests (after the server's authorisation, so that
// a Bearer token guards it when the server asks for one), and the WebSocket events and pings of
// connections without a subprotocol (see TkbzWSAPI_Base).
class TkbzWSAPI : public TkbzWSAPI_Base
{
public:
    std::string ClassName() const override { return "TkbzWSAPI"; }
    // True when it answered the request (the chain ends); false lets it go on.
    virtual bool DoHTTPRequest(const TkbzWSConnectionServerPtr& /*connection*/,
                               const TkbzWSAPIRequest& /*request*/, TkbzWSAPIResponse& /*response*/)
    {
        return false;
    }
};
using TkbzWSAPIPtr = std::shared_ptr<TkbzWSAPI>;

// ---- Answers ----

// The page that names a status: "<HTML><BODY><B>200 OK</B></BODY></HTML>".
std::string kbzHTTPStatusPage(int status, std::string_view text = {});

// ---- Files ----

// The content type of a file name by its extension (ignoring case); "application/octet-stream"
// for an unknown one.
std::string kbzHTTPMimeType(std::string_view fileName);
// Whether a content type is text, so that a charset belongs to it.
bool kbzHTTPIsTextType(std::string_view contentType);

// Where a request path leads below a folder.
struct TkbzDocumentPath
{
    enum class TStatus : std::uint8_t
    {
        dpFound,   // Path: the regular file, every symbolic link followed
        dpMissing, // nothing of that name below the folder (or no regular file)
        dpRefused  // the path tries to leave the folder or cannot name a file
    };
    TStatus Status = TStatus::dpMissing;
    std::string Path;
};

// The file a request path (undecoded, without its query) names below root: the path is decoded
// once and refused when the decoding fails or yields a NUL, a backslash, an encoded "/" or "\"
// or a control character, or when a segment is ".." or "."; a file that, with every symbolic
// link followed, is not inside root is refused too. A folder stands for its "index.html". root
// may end in "/" or "\".
TkbzDocumentPath kbzResolveDocumentPath(std::string_view root, std::string_view rawPath);

} // namespace kbz
