#include "base/kbzWebSocket_Helpers.h"

#include "base/kbzBase_Classes.h"
#include "base/kbzBase_Helpers.h"

#include <algorithm>

namespace kbz
{

namespace detail
{

// The request target of a request line: what lies between the method and the last " HTTP"
// marker, trimmed. Empty without the marker.
std::string RequestTarget(std::string_view line)
{
    std::size_t marker = std::string_view::npos;
    for (std::size_t i = line.size(); i >= 5; --i)
    {
        if (kbzSameText(line.substr(i - 5, 5), " HTTP"))
        {
            marker = i - 5;
            break;
        }
    }
    if (marker == std::string_view::npos)
    {
        return {};
    }
    const std::size_t blank = line.find(' ');
    if (blank >= marker)
    {
        return {};
    }
    return kbzTrim(line.substr(blank + 1, marker - blank - 1));
}

const std::string& FirstLine(const TkbzHeaderList& headers)
{
    static const std::string empty;
    return headers.empty() ? empty : headers.front();
}

// Scheme and credentials of an "Authorization" header line; false for any other line.
bool SplitAuthorization(std::string_view line, std::string_view& scheme, std::string_view& rest)
{
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !kbzSameText(line.substr(0, colon), "Authorization"))
    {
        return false;
    }
    std::string_view value = line.substr(colon + 1);
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!value.empty() && isBlank(value.front()))
    {
        value.remove_prefix(1);
    }
    while (!value.empty() && (isBlank(value.back()) || value.back() == '\r'))
    {
        value.remove_suffix(1);
    }
    std::size_t end = 0;
    while (end < value.size() && !isBlank(value[end]))
    {
        ++end;
    }
    scheme = value.substr(0, end);
    rest = value.substr(end);
    while (!rest.empty() && isBlank(rest.front()))
    {
        rest.remove_prefix(1);
    }
    return true;
}

// Credentials of the first Authorization header using the scheme; false when there is none.
bool FindAuthorization(const TkbzHeaderList& headers, std::string_view wanted,
                       std::string_view& credentials)
{
    for (const std::string& line : headers)
    {
        std::string_view scheme;
        std::string_view rest;
        if (SplitAuthorization(line, scheme, rest) && kbzSameText(scheme, wanted))
        {
            credentials = rest;
            return true;
        }
    }
    return false;
}

} // namespace detail

// ---- URL and address helpers --------------------------------------------------------------------

void kbzParseURL(std::string_view url, std::string& protocol, std::string& host, std::string& port,
                 std::string& path, std::string& params)
{
    protocol.clear();
    host.clear();
    port.clear();
    path.clear();
    params.clear();

    if (const std::size_t hash = url.find('#'); hash != std::string_view::npos)
    {
        url = url.substr(0, hash);
    }
    std::string_view rest = url;
    const std::size_t sep = rest.find("://");
    const bool hasScheme = sep != std::string_view::npos && rest.find_first_of("/?") >= sep;
    if (hasScheme)
    {
        protocol = rest.substr(0, sep);
        rest = rest.substr(sep + 3);
    }
    // Without a scheme, text that does not start with "/" still begins with host and port.
    if (hasScheme || (!rest.empty() && rest.front() != '/' && rest.front() != '?'))
    {
        const std::size_t end = std::min(rest.find_first_of("/?"), rest.size());
        std::string_view authority = rest.substr(0, end);
        rest = rest.substr(end);
        if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos)
        {
            authority = authority.substr(at + 1);
        }
        if (!authority.empty() && authority.front() == '[')
        {
            const std::size_t close = authority.find(']');
            if (close == std::string_view::npos)
            {
                host = authority.substr(1);
            }
            else
            {
                host = authority.substr(1, close - 1);
                const std::string_view after = authority.substr(close + 1);
                if (!after.empty() && after.front() == ':')
                {
                    port = after.substr(1);
                }
            }
        }
        else
        {
            const std::size_t colon = authority.find(':');
            host = authority.substr(0, colon);
            if (colon != std::string_view::npos)
            {
                port = authority.substr(colon + 1);
            }
        }
    }
    const std::size_t query = rest.find('?');
    path = rest.substr(0, query);
    if (query != std::string_view::npos)
    {
        params = rest.substr(query + 1);
    }
}

bool kbzParseHostPort(std::string_view text, std::string& host, int& port, bool& tls)
{
    TkbzDelimitedStringList parts;
    parts.SetDelimiter(':');
    parts.SetDelimitedText(text);
    if (parts.Count() != 3)
    {
        return false;
    }
    const int number = kbzStrToInt(parts[2]);
    tls = kbzSameText(parts[0], "WSS");
    host = kbzReplaceText(parts[1], "/", "");
    port = number;
    return true;
}

// ---- Request-head helpers
// ------------------------------------------------------------------------

std::string kbzGetHeaderValue(const TkbzHeaderList& headers, std::string_view name)
{
    for (const std::string& line : headers)
    {
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos &&
            kbzSameText(kbzTrim(std::string_view(line).substr(0, colon)), name))
        {
            return kbzTrim(std::string_view(line).substr(colon + 1));
        }
    }
    return {};
}

std::string kbzGetGETLine(const TkbzHeaderList& headers)
{
    const std::string& line = detail::FirstLine(headers);
    return kbzMatchesMask(line, "GET *") ? line : std::string();
}

std::string kbzGetPOSTLine(const TkbzHeaderList& headers)
{
    const std::string& line = detail::FirstLine(headers);
    return kbzMatchesMask(line, "POST *") ? line : std::string();
}

std::string kbzGetGETPath(const TkbzHeaderList& headers)
{
    return detail::RequestTarget(kbzGetGETLine(headers));
}

std::string kbzGetPOSTPath(const TkbzHeaderList& headers)
{
    return detail::RequestTarget(kbzGetPOSTLine(headers));
}

std::string kbzGetRequestPath(const TkbzHeaderList& headers)
{
    return kbzIsHTTPRequest(headers) ? detail::RequestTarget(detail::FirstLine(headers))
                                     : std::string();
}

std::string kbzGetGETQuery(const TkbzHeaderList& headers)
{
    const std::string path = kbzGetGETPath(headers);
    const std::size_t q = path.find('?');
    return q == std::string::npos ? std::string() : kbzTrim(std::string_view(path).substr(q + 1));
}

std::string kbzGetResourceName(std::string_view requestLine)
{
    const std::string target = detail::RequestTarget(requestLine);
    const std::size_t slash = target.rfind('/');
    return slash == std::string::npos ? target : target.substr(slash + 1);
}

bool kbzIsHTTPRequest(const TkbzHeaderList& headers)
{
    return kbzMatchesMask(detail::FirstLine(headers), "*HTTP/1.*");
}

bool kbzIsWebSocketUpgrade(const TkbzHeaderList& headers)
{
    if (!kbzIsHTTPRequest(headers) || kbzGetGETLine(headers).empty())
    {
        return false;
    }
    return std::any_of(headers.begin(), headers.end(), [](const std::string& line) {
        return kbzContainsText(line, "Upgrade: websocket");
    });
}

bool kbzIsPolicyFileRequest(const TkbzHeaderList& headers)
{
    return detail::FirstLine(headers) == "<policy-file-request/>";
}

bool kbzIsEventStreamRequest(const TkbzHeaderList& headers)
{
    return std::any_of(headers.begin(), headers.end(), [](const std::string& line) {
        return kbzSameText(line, "Accept: text/event-stream");
    });
}

bool kbzIsXHRRequest(const TkbzHeaderList& headers)
{
    return kbzMatchesMask(kbzGetPOSTLine(headers), "POST /kbz/xhr/*");
}

bool kbzIsProtocolPOSTRequest(const TkbzHeaderList& headers)
{
    return kbzMatchesMask(kbzGetPOSTLine(headers), "POST /kbz/protocol/*");
}

bool kbzIsResourceRequest(const TkbzHeaderList& headers, std::string_view name)
{
    return kbzMatchesMask(detail::FirstLine(headers), "*/" + std::string(name) + "*");
}

bool kbzIsAuthSessionRequest(const TkbzHeaderList& headers)
{
    return kbzContainsText(kbzGetGETLine(headers), "GET /kbz/req/auth/session/");
}

bool kbzIsAuthURLRequest(const TkbzHeaderList& headers)
{
    return kbzGetGETLine(headers).find("GET /kbz/auth/url/") != std::string::npos;
}

bool kbzIsAuthSessionURLRequest(const TkbzHeaderList& headers)
{
    return kbzGetGETLine(headers).find("GET /kbz/auth/session/") != std::string::npos;
}

bool kbzHasAuthorization(const TkbzHeaderList& headers)
{
    return std::any_of(headers.begin(), headers.end(), [](const std::string& line) {
        std::string_view scheme;
        std::string_view rest;
        return detail::SplitAuthorization(line, scheme, rest) && !scheme.empty();
    });
}

bool kbzHasBasicAuthorization(const TkbzHeaderList& headers)
{
    std::string_view credentials;
    return detail::FindAuthorization(headers, "Basic", credentials);
}

std::string kbzGetBasicCredentials(const TkbzHeaderList& headers)
{
    std::string_view credentials;
    return detail::FindAuthorization(headers, "Basic", credentials) ? kbzDecodeBase64(credentials)
                                                                    : std::string();
}

std::string kbzGetBearerToken(const TkbzHeaderList& headers)
{
    std::string_view token;
    return detail::FindAuthorization(headers, "Bearer", token) ? std::string(token) : std::string();
}

std::int64_t kbzGetContentLength(const TkbzHeaderList& headers)
{
    const std::string value = kbzGetHeaderValue(headers, "Content-Length");
    if (value.empty())
    {
        return -1;
    }
    // Only plain decimal digits: a sign or a hex prefix would let two readers of the same head
    // disagree on where the body ends.
    if (!std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
    {
        throw EConvertError("'" + value + "' is not a valid integer value");
    }
    return kbzStrToInt64(value);
}

} // namespace kbz
