// URL and address splitting and the classification of received HTTP request heads.
// All functions are pure: they only read their arguments.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kbz
{

// Lines of a received head as they arrived: line 0 is the request or status line, the others
// "Name: value". Helpers scan from line 0 upward and stop at the first hit.
using TkbzHeaderList = std::vector<std::string>;

// ---- URL and address helpers --------------------------------------------------------------------

// Splits "scheme://[user[:password]@]host[:port][/path][?query][#fragment]". protocol is the
// scheme; host has no brackets for an IPv6 literal; port is the port text (empty without one);
// path is the full path without the query (empty when the URL has none); params is the query
// without "?". User, password and fragment are dropped. Text without "://" has no scheme or host
// and is read as path and query. All outputs are cleared first.
void kbzParseURL(std::string_view url, std::string& protocol, std::string& host, std::string& port,
                 std::string& path, std::string& params);

// Splits "scheme:host:port" at every ":" (so "wss://10.0.0.1:443" works). Exactly three pieces
// are required, else false and the outputs are left alone. tls is set when the scheme is "wss"
// in any case; every "/" is removed from the host; a port that is not a number raises
// EConvertError.
bool kbzParseHostPort(std::string_view text, std::string& host, int& port, bool& tls);

// ---- Request-head helpers
// ------------------------------------------------------------------------

// Value (blanks trimmed) of the first line whose name before ":" equals name ignoring case;
// empty when there is none.
std::string kbzGetHeaderValue(const TkbzHeaderList& headers, std::string_view name);

// Line 0 when it matches "GET *" / "POST *" (ignoring case), else empty.
std::string kbzGetGETLine(const TkbzHeaderList& headers);
std::string kbzGetPOSTLine(const TkbzHeaderList& headers);
// The request target of the GET / POST line ("GET /chat?a=1 HTTP/1.1" gives "/chat?a=1").
std::string kbzGetGETPath(const TkbzHeaderList& headers);
std::string kbzGetPOSTPath(const TkbzHeaderList& headers);
// The request target of line 0 when it is an HTTP request line, else empty.
std::string kbzGetRequestPath(const TkbzHeaderList& headers);
// The text after the first "?" of the GET path; empty without "?".
std::string kbzGetGETQuery(const TkbzHeaderList& headers);
// What follows the last "/" of the request target of one request line
// ("GET /js/app.js HTTP/1.1" gives "app.js"); empty without " HTTP".
std::string kbzGetResourceName(std::string_view requestLine);

// Line 0 matches "*HTTP/1.*".
bool kbzIsHTTPRequest(const TkbzHeaderList& headers);
// An HTTP GET request with some line containing "Upgrade: websocket" (ignoring case).
bool kbzIsWebSocketUpgrade(const TkbzHeaderList& headers);
// Line 0 is exactly "<policy-file-request/>".
bool kbzIsPolicyFileRequest(const TkbzHeaderList& headers);
// Some line equals "Accept: text/event-stream" ignoring case.
bool kbzIsEventStreamRequest(const TkbzHeaderList& headers);
// The POST line matches "POST /kbz/xhr/*" / "POST /kbz/protocol/*".
bool kbzIsXHRRequest(const TkbzHeaderList& headers);
bool kbzIsProtocolPOSTRequest(const TkbzHeaderList& headers);
// Line 0 matches "*/" + name + "*".
bool kbzIsResourceRequest(const TkbzHeaderList& headers, std::string_view name);
// The GET line contains "GET /kbz/req/auth/session/" (ignoring case).
bool kbzIsAuthSessionRequest(const TkbzHeaderList& headers);
// The GET line contains "GET /kbz/auth/url/" / "GET /kbz/auth/session/".
bool kbzIsAuthURLRequest(const TkbzHeaderList& headers);
bool kbzIsAuthSessionURLRequest(const TkbzHeaderList& headers);

// Credentials come only from a header named exactly "Authorization" (any case): its value is a
// scheme, blanks, and the credentials. Proxy-Authorization and similar names do not count.
// Some Authorization header has a non-empty value.
bool kbzHasAuthorization(const TkbzHeaderList& headers);
// Some Authorization header uses the "Basic" scheme (any case).
bool kbzHasBasicAuthorization(const TkbzHeaderList& headers);
// "user:password" decoded from the first Basic Authorization header; empty when there is none.
std::string kbzGetBasicCredentials(const TkbzHeaderList& headers);
// The token of the first Bearer Authorization header, as sent; empty when there is none.
std::string kbzGetBearerToken(const TkbzHeaderList& headers);

// The Content-Length header as a number; -1 when it is missing or empty. A value that is not a
// decimal number, or a negative one, raises EConvertError.
std::int64_t kbzGetContentLength(const TkbzHeaderList& headers);

} // namespace kbz
