#include "server/kbzWebSocket_HTTPResponse.h"

#include "base/kbzBase_Classes.h"
#include "base/kbzBase_Helpers.h"

#include <mutex>

namespace kbz
{

namespace
{

struct TFile
{
    std::string FileName;
    std::string Resource;
};

struct TRegistry
{
    std::mutex Lock;
    std::vector<TFile> Files{
        {"kbzWebSockets.js", "kbzWebSockets.js"},
        {"kbzWebSocketsFlash.js", "kbzWebSocketsFlash.js"},
        {"kbzWebSocketsEventSource.js", "kbzWebSocketsEventSource.js"},
        {"kbzWebSockets.html", "kbzWebSockets.html"},
        {"kbzWebSockets.css", "kbzWebSockets.css"},
    };
};

TRegistry& Registry()
{
    static TRegistry registry;
    return registry;
}

std::string ResourceFor(std::string_view fileName)
{
    TRegistry& r = Registry();
    std::lock_guard guard(r.Lock);
    for (const TFile& f : r.Files)
    {
        if (kbzSameText(f.FileName, fileName))
        {
            return f.Resource;
        }
    }
    return {};
}

bool IsHostChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

bool IsDigits(std::string_view text)
{
    if (text.empty() || text.size() > 5)
    {
        return false;
    }
    for (const char c : text)
    {
        if (c < '0' || c > '9')
        {
            return false;
        }
    }
    return true;
}

} // namespace

void TkbzWSHTTPResponse::RegisterFileName(std::string fileName, std::string resource)
{
    TRegistry& r = Registry();
    std::lock_guard guard(r.Lock);
    for (TFile& f : r.Files)
    {
        if (kbzSameText(f.FileName, fileName))
        {
            f.Resource = std::move(resource);
            return;
        }
    }
    r.Files.push_back({std::move(fileName), std::move(resource)});
}

void TkbzWSHTTPResponse::UnRegisterFileName(std::string_view fileName)
{
    TRegistry& r = Registry();
    std::lock_guard guard(r.Lock);
    std::erase_if(r.Files, [&](const TFile& f) { return kbzSameText(f.FileName, fileName); });
}

bool TkbzWSHTTPResponse::IsRegistered(std::string_view fileName)
{
    return !ResourceFor(fileName).empty();
}

std::string TkbzWSHTTPResponse::GetResponseMessage(std::string_view names)
{
    std::string result;
    std::size_t start = 0;
    while (start <= names.size())
    {
        std::size_t end = names.find(',', start);
        if (end == std::string_view::npos)
        {
            end = names.size();
        }
        const std::string resource = ResourceFor(names.substr(start, end - start));
        if (!resource.empty())
        {
            try
            {
                result += kbzGetResourceText(resource);
                result += "\r\n";
            }
            catch (const EResNotFound&)
            {
                // Registered but not compiled in: contributes nothing.
            }
        }
        start = end + 1;
    }
    return result;
}

std::string kbzHTMLEscape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text)
    {
        switch (c)
        {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string kbzReplaceResponsePlaceholders(std::string_view text,
                                           const TkbzWSResponsePlaceholders& values, bool html)
{
    const std::string ssl = values.SSL ? "s" : "";
    const struct
    {
        std::string_view name;
        const std::string& value;
    } fields[] = {{"{%host%}", values.Host}, {"{%port%}", values.Port}, {"{%ssl%}", ssl}};
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size())
    {
        bool replaced = false;
        if (text[i] == '{')
        {
            for (const auto& f : fields)
            {
                if (text.size() - i >= f.name.size() &&
                    kbzSameText(text.substr(i, f.name.size()), f.name))
                {
                    out += html ? kbzHTMLEscape(f.value) : f.value;
                    i += f.name.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced)
        {
            out += text[i++];
        }
    }
    return out;
}

bool kbzSplitHostField(std::string_view field, std::string& host, std::string& port)
{
    std::string_view rest;
    if (!field.empty() && field.front() == '[')
    {
        const std::size_t close = field.find(']');
        if (close == std::string_view::npos || close < 3)
        {
            return false;
        }
        for (const char c : field.substr(1, close - 1))
        {
            const bool hex =
                (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
            if (!hex && c != ':' && c != '.')
            {
                return false;
            }
        }
        host = std::string(field.substr(0, close + 1));
        rest = field.substr(close + 1);
    }
    else
    {
        const std::size_t colon = field.find(':');
        const std::string_view name = field.substr(0, colon);
        if (name.empty() || name.size() > 253)
        {
            return false;
        }
        for (const char c : name)
        {
            if (!IsHostChar(c))
            {
                return false;
            }
        }
        host = std::string(name);
        rest = colon == std::string_view::npos ? std::string_view() : field.substr(colon);
    }
    if (rest.empty())
    {
        port.clear();
        return true;
    }
    if (rest.front() != ':' || !IsDigits(rest.substr(1)))
    {
        return false;
    }
    port = std::string(rest.substr(1));
    return true;
}

} // namespace kbz
