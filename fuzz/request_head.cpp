// Drives the request-head helpers with arbitrary header lists. The first byte chooses how the
// rest is cut into lines: at CRLF, at LF, or into pieces of a fixed length.
#include "base/kbzBase_Classes.h"
#include "base/kbzBase_Helpers.h"
#include "base/kbzWebSocket_Helpers.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace
{
std::vector<std::string> CutLines(std::uint8_t how, std::string_view rest)
{
    std::vector<std::string> lines;
    switch (how % 3)
    {
    case 0:
    case 1: {
        const std::string_view sep = how % 3 == 0 ? "\r\n" : "\n";
        std::size_t start = 0;
        for (std::size_t hit = rest.find(sep); hit != std::string_view::npos;
             hit = rest.find(sep, start))
        {
            lines.emplace_back(rest.substr(start, hit - start));
            start = hit + sep.size();
        }
        lines.emplace_back(rest.substr(start));
        break;
    }
    default: {
        const std::size_t piece = static_cast<std::size_t>(how / 3 % 16) + 1;
        for (std::size_t i = 0; i < rest.size(); i += piece)
        {
            lines.emplace_back(rest.substr(i, piece));
        }
        break;
    }
    }
    return lines;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
    {
        return 0;
    }
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::vector<std::string> head = CutLines(data[0], rest);

    const std::string get = kbz::kbzGetGETPath(head);
    const std::string post = kbz::kbzGetPOSTPath(head);
    const std::string path = kbz::kbzGetRequestPath(head);
    // A path is a piece of line 0, never more.
    const std::size_t first = head.empty() ? 0 : head[0].size();
    if (get.size() > first || post.size() > first || path.size() > first)
    {
        std::abort();
    }
    (void)kbz::kbzGetGETQuery(head);
    (void)kbz::kbzIsHTTPRequest(head);
    (void)kbz::kbzIsWebSocketUpgrade(head);
    (void)kbz::kbzIsPolicyFileRequest(head);
    (void)kbz::kbzIsEventStreamRequest(head);
    (void)kbz::kbzIsXHRRequest(head);
    (void)kbz::kbzIsProtocolPOSTRequest(head);
    (void)kbz::kbzIsResourceRequest(head, "kbzWebSockets.js");
    (void)kbz::kbzIsAuthSessionRequest(head);
    (void)kbz::kbzIsAuthURLRequest(head);
    (void)kbz::kbzIsAuthSessionURLRequest(head);
    const bool basic = kbz::kbzHasBasicAuthorization(head);
    if (basic && !kbz::kbzHasAuthorization(head))
    {
        std::abort();
    }
    (void)kbz::kbzGetBasicCredentials(head);
    (void)kbz::kbzGetBearerToken(head);
    for (const std::string& line : head)
    {
        (void)kbz::kbzGetResourceName(line);
    }
    try
    {
        if (kbz::kbzGetContentLength(head) < -1)
        {
            std::abort();
        }
    }
    catch (const kbz::EConvertError&)
    {}
    return 0;
}
