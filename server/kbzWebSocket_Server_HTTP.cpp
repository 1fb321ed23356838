#include "server/kbzWebSocket_Server_HTTP.h"

#include "base/kbzBase_Helpers.h"
#include "server/kbzWebSocket_HTTPResponse.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kbz
{

// ---- Sessions ----

bool TkbzHTTPSessionList::Expired(const Entry& e, std::uint64_t now) const noexcept
{
    const int timeOut = SessionTimeOut.load();
    return timeOut > 0 && now - e.LastUse >= static_cast<std::uint64_t>(timeOut);
}

std::vector<TkbzHTTPSessionPtr> TkbzHTTPSessionList::Add(const TkbzHTTPSessionPtr& session,
                                                         std::uint64_t now)
{
    std::vector<TkbzHTTPSessionPtr> gone;
    std::lock_guard guard(FLock);
    for (auto it = FEntries.begin(); it != FEntries.end();)
    {
        if (Expired(it->second, now))
        {
            gone.push_back(it->second.Session);
            it = FEntries.erase(it);
        }
        else
        {
            ++it;
        }
    }
    const std::size_t most = MaxSessions.load();
    while (most > 0 && FEntries.size() >= most)
    {
        auto oldest = std::min_element(FEntries.begin(), FEntries.end(), [](auto& a, auto& b) {
            return a.second.LastUse < b.second.LastUse;
        });
        gone.push_back(oldest->second.Session);
        FEntries.erase(oldest);
    }
    FEntries[session->SessionID] = Entry{session, now};
    return gone;
}

TkbzHTTPSessionPtr TkbzHTTPSessionList::Find(const std::string& id, const std::string& remoteIP,
                                             std::uint64_t now)
{
    std::lock_guard guard(FLock);
    auto it = FEntries.find(id);
    if (it == FEntries.end() || Expired(it->second, now) ||
        it->second.Session->RemoteIP != remoteIP)
    {
        return nullptr;
    }
    it->second.LastUse = now;
    return it->second.Session;
}

TkbzHTTPSessionPtr TkbzHTTPSessionList::Remove(const std::string& id)
{
    std::lock_guard guard(FLock);
    auto it = FEntries.find(id);
    if (it == FEntries.end())
    {
        return nullptr;
    }
    TkbzHTTPSessionPtr s = it->second.Session;
    FEntries.erase(it);
    return s;
}

std::vector<TkbzHTTPSessionPtr> TkbzHTTPSessionList::TakeExpired(std::uint64_t now)
{
    std::vector<TkbzHTTPSessionPtr> gone;
    std::lock_guard guard(FLock);
    for (auto it = FEntries.begin(); it != FEntries.end();)
    {
        if (Expired(it->second, now))
        {
            gone.push_back(it->second.Session);
            it = FEntries.erase(it);
        }
        else
        {
            ++it;
        }
    }
    return gone;
}

std::vector<TkbzHTTPSessionPtr> TkbzHTTPSessionList::Clear()
{
    std::vector<TkbzHTTPSessionPtr> gone;
    std::lock_guard guard(FLock);
    for (auto& [id, e] : FEntries)
    {
        gone.push_back(e.Session);
    }
    FEntries.clear();
    return gone;
}

std::size_t TkbzHTTPSessionList::Count() const
{
    std::lock_guard guard(FLock);
    return FEntries.size();
}

// ---- Records ----

std::string TkbzWSHTTPRequestInfo::Param(std::string_view name) const
{
    for (const auto& [n, v] : Params)
    {
        if (n == name)
        {
            return v;
        }
    }
    return {};
}

bool TkbzWSHTTPRequestInfo::HasParam(std::string_view name) const
{
    return std::any_of(Params.begin(), Params.end(), [&](auto& p) { return p.first == name; });
}

std::string TkbzWSHTTPRequestInfo::Cookie(std::string_view name) const
{
    for (const auto& [n, v] : Cookies)
    {
        if (n == name)
        {
            return v;
        }
    }
    return {};
}

std::shared_ptr<TkbzHTTPFileContent> TkbzHTTPFileContent::Open(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
    {
        return nullptr;
    }
    struct stat st
    {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    {
        ::close(fd);
        return nullptr;
    }
    return std::shared_ptr<TkbzHTTPFileContent>(
        new TkbzHTTPFileContent(fd, static_cast<std::uint64_t>(st.st_size)));
}

TkbzHTTPFileContent::~TkbzHTTPFileContent()
{
    if (FFd >= 0)
    {
        ::close(FFd);
    }
}

std::size_t TkbzHTTPFileContent::ReadAt(std::uint64_t offset, char* dst, std::size_t n) const
{
    for (;;)
    {
        const ssize_t r = ::pread(FFd, dst, n, static_cast<off_t>(offset));
        if (r >= 0)
        {
            return static_cast<std::size_t>(r);
        }
        if (errno != EINTR)
        {
            return 0;
        }
    }
}

bool TkbzWSHTTPResponseInfo::Filled() const
{
    return ResponseNo != 200 || !ResponseText.empty() || !ContentType.empty() ||
           !ContentText.empty() || ContentFile || !CustomHeaders.Empty() || !Cookies.empty() ||
           !AuthRealm.empty();
}

bool TkbzWSHTTPResponseInfo::SetContentFile(const std::string& path)
{
    auto file = TkbzHTTPFileContent::Open(path);
    if (!file)
    {
        return false;
    }
    ContentFile = std::move(file);
    return true;
}

// ---- Answers ----

std::string kbzHTTPStatusPage(int status, std::string_view text)
{
    const std::string reason = text.empty() ? kbzHTTPStatusText(status) : std::string(text);
    return "<HTML><BODY><B>" + std::to_string(status) + " " + kbzHTMLEscape(reason) +
           "</B></BODY></HTML>";
}

// ---- Files ----

std::string kbzHTTPMimeType(std::string_view fileName)
{
    struct Type
    {
        std::string_view ext;
        std::string_view type;
    };
    static constexpr Type kTypes[] = {
        {"html", "text/html"},       {"htm", "text/html"},
        {"css", "text/css"},         {"js", "text/javascript"},
        {"mjs", "text/javascript"},  {"json", "application/json"},
        {"map", "application/json"}, {"txt", "text/plain"},
        {"text", "text/plain"},      {"log", "text/plain"},
        {"md", "text/markdown"},     {"csv", "text/csv"},
        {"xml", "text/xml"},         {"svg", "image/svg+xml"},
        {"png", "image/png"},        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},      {"gif", "image/gif"},
        {"ico", "image/x-icon"},     {"webp", "image/webp"},
        {"bmp", "image/bmp"},        {"wasm", "application/wasm"},
        {"pdf", "application/pdf"},  {"zip", "application/zip"},
        {"gz", "application/gzip"},  {"tar", "application/x-tar"},
        {"mp3", "audio/mpeg"},       {"wav", "audio/wav"},
        {"ogg", "audio/ogg"},        {"mp4", "video/mp4"},
        {"webm", "video/webm"},      {"woff", "font/woff"},
        {"woff2", "font/woff2"},     {"ttf", "font/ttf"},
        {"otf", "font/otf"},         {"swf", "application/x-shockwave-flash"},
    };
    const std::size_t slash = fileName.find_last_of("/\\");
    const std::string_view base =
        slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
    const std::size_t dot = base.rfind('.');
    if (dot != std::string_view::npos && dot + 1 < base.size())
    {
        const std::string ext = kbzLowerCase(base.substr(dot + 1));
        for (const Type& t : kTypes)
        {
            if (t.ext == ext)
            {
                return std::string(t.type);
            }
        }
    }
    return "application/octet-stream";
}

bool kbzHTTPIsTextType(std::string_view contentType)
{
    const std::string t = kbzLowerCase(contentType);
    return t.starts_with("text/") || t.starts_with("application/json") ||
           t.starts_with("application/javascript") || t.starts_with("image/svg+xml") ||
           t.starts_with("application/xml");
}

namespace
{

// The path with every symbolic link followed; empty when it does not exist.
std::string RealPath(const std::string& path)
{
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) == nullptr)
    {
        return {};
    }
    return buffer;
}

bool Inside(const std::string& path, const std::string& root)
{
    if (root == "/")
    {
        return !path.empty() && path[0] == '/';
    }
    return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                            path[root.size()] == '/');
}

} // namespace

TkbzDocumentPath kbzResolveDocumentPath(std::string_view root, std::string_view rawPath)
{
    using enum TkbzDocumentPath::TStatus;
    TkbzDocumentPath result;
    result.Status = dpRefused;
    std::string folder(root);
    if (!folder.empty() && (folder.back() == '/' || folder.back() == '\\'))
    {
        folder.pop_back();
    }
    if (folder.empty() && !root.empty())
    {
        folder.push_back('/');
    }
    if (folder.empty() || rawPath.empty() || rawPath[0] != '/')
    {
        return result;
    }
    // An encoded separator would let one segment hide another.
    const std::string lowered = kbzLowerCase(rawPath);
    if (lowered.find("%2f") != std::string::npos || lowered.find("%5c") != std::string::npos)
    {
        return result;
    }
    std::string decoded;
    if (!kbzHTTPDecodePath(rawPath, decoded))
    {
        return result;
    }
    std::string relative;
    std::size_t start = 0;
    while (start <= decoded.size())
    {
        std::size_t end = decoded.find('/', start);
        if (end == std::string::npos)
        {
            end = decoded.size();
        }
        const std::string_view segment = std::string_view(decoded).substr(start, end - start);
        start = end + 1;
        if (segment.empty())
        {
            continue;
        }
        if (segment == "." || segment == "..")
        {
            return result;
        }
        for (char ch : segment)
        {
            const auto u = static_cast<unsigned char>(ch);
            if (u < 0x20 || u == 0x7F || ch == '\\')
            {
                return result;
            }
        }
        relative += '/';
        relative += segment;
    }
    const std::string realRoot = RealPath(folder);
    if (realRoot.empty())
    {
        result.Status = dpMissing;
        return result;
    }
    std::string candidate = folder + relative;
    struct stat st
    {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    {
        // A folder is served by its index page.
        candidate += "/index.html";
    }
    if (::lstat(candidate.c_str(), &st) != 0)
    {
        result.Status = dpMissing;
        return result;
    }
    const std::string real = RealPath(candidate);
    if (real.empty())
    {
        // A dangling link: nothing to serve, wherever it pointed.
        result.Status = dpMissing;
        return result;
    }
    if (!Inside(real, realRoot))
    {
        return result;
    }
    if (::stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    {
        result.Status = dpMissing;
        return result;
    }
    result.Status = dpFound;
    result.Path = real;
    return result;
}

} // namespace kbz
