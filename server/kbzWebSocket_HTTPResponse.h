// The browser files the server carries (server/www, compiled in): the core
// script, its server-sent-events and Flash companions, the test page and its
// style sheet, looked up by the name a request asks for, with the page's
// placeholders filled for the connection that asks.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kbz
{

// The built-in files: a request's file name (compared ignoring case) and the
// file under server/www that answers it. Four are registered from the start:
// kbzWebSockets.js, kbzWebSocketsFlash.js, kbzWebSocketsEventSource.js and
// kbzWebSockets.html; kbzWebSockets.css goes with the page.
class TkbzWSHTTPResponse
{
public:
    // Adds (or replaces) a file; resource is the embedded file's name.
    static void RegisterFileName(std::string fileName, std::string resource);
    static void UnRegisterFileName(std::string_view fileName);
    // The contents of the comma-separated names in order, each followed by
    // CR LF; a name that is not registered contributes nothing.
    static std::string GetResponseMessage(std::string_view names);
    static bool IsRegistered(std::string_view fileName);
};

// What a file's placeholders are replaced by: {%host%}, {%port%} and {%ssl%}
// ("s" over TLS, nothing otherwise), found ignoring case.
struct TkbzWSResponsePlaceholders
{
    std::string Host; // an IPv6 address in brackets
    std::string Port;
    bool SSL = false;
};

// Replaces the placeholders; html escapes the values for HTML text and attributes.
std::string kbzReplaceResponsePlaceholders(std::string_view text,
                                           const TkbzWSResponsePlaceholders& values, bool html);

// Text safe inside HTML content and attribute values.
std::string kbzHTMLEscape(std::string_view text);

// Host and port of a request's Host field ("name", "name:8080", "[::1]:8080"),
// for the pages the server fills in; false for anything that is not a plain
// host name or address with an optional port.
bool kbzSplitHostField(std::string_view field, std::string& host, std::string& port);

} // namespace kbz
