#include "server/kbzWebSocket_Server_Upload.h"

#include "base/kbzBase_Helpers.h"
#include "transport/kbzHTTP_Message.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace kbz
{

std::string kbzUploadFileName(std::string_view name)
{
    const std::size_t slash = name.find_last_of("/\\");
    const std::string_view base = slash == std::string_view::npos ? name : name.substr(slash + 1);
    if (base.empty() || base == "." || base == "..")
    {
        return {};
    }
    for (char ch : base)
    {
        const auto u = static_cast<unsigned char>(ch);
        if (u < 0x20 || u == 0x7F)
        {
            return {};
        }
    }
    return std::string(base);
}

namespace
{

std::string JoinPath(const std::string& folder, const std::string& name)
{
    if (folder.empty())
    {
        return name;
    }
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

void WriteAll(int fd, const char* data, std::size_t n, const std::string& path)
{
    while (n > 0)
    {
        const ssize_t w = ::write(fd, data, n);
        if (w < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            throw EFOpenError("Cannot write file " + path + ". " + std::strerror(errno));
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
}

} // namespace

int kbzCreateUploadFile(const std::string& folder, std::string& name)
{
    const std::size_t dot = name.rfind('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    const std::string ext = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
    for (int n = 0; n < 10000; ++n)
    {
        const std::string candidate = n == 0 ? name : stem + "-" + std::to_string(n) + ext;
        const std::string path = JoinPath(folder, candidate);
        // Exclusive: an existing file (or a link planted there) is never opened.
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0)
        {
            name = candidate;
            return fd;
        }
        if (errno != EEXIST)
        {
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

namespace
{

// The decoder's state between blocks.
class MultipartParser
{
public:
    MultipartParser(TkbzHTTPMultipartFormDataDecoder& owner, const std::string& boundary,
                    const std::string& folder)
        : FOwner(owner), FFolder(folder), FDelimiter("--" + boundary), FPartEnd("\r\n--" + boundary)
    {}
    ~MultipartParser() { DropPart(); }

    void Feed(std::string_view data)
    {
        FBuffer.append(data);
        std::size_t used = 0;
        for (bool progress = true; progress && FState != TState::sDone;)
        {
            progress = Step(used);
        }
        FBuffer.erase(0, used);
    }
    // The body ended: a part it did not end is dropped.
    void Finish() { DropPart(); }

private:
    enum class TState : std::uint8_t
    {
        sPreamble,
        sAfterDelimiter,
        sHeaders,
        sContent,
        sDone
    };
    static constexpr std::size_t kMaxPartHead = 16 * 1024;

    bool Step(std::size_t& used)
    {
        const std::string_view rest = std::string_view(FBuffer).substr(used);
        switch (FState)
        {
        case TState::sPreamble: {
            const std::size_t at = rest.find(FDelimiter);
            if (at == std::string_view::npos)
            {
                // Keep what could be the start of a delimiter cut by the block's end.
                if (rest.size() >= FDelimiter.size())
                {
                    used += rest.size() - (FDelimiter.size() - 1);
                }
                return false;
            }
            used += at + FDelimiter.size();
            FState = TState::sAfterDelimiter;
            return true;
        }
        case TState::sAfterDelimiter:
            if (rest.size() < 2)
            {
                return false;
            }
            if (rest.substr(0, 2) == "--")
            {
                FState = TState::sDone;
                used += rest.size();
                return false;
            }
            FState = TState::sHeaders;
            return true;
        case TState::sHeaders: {
            // The part's head runs from the delimiter line's end to an empty line.
            const std::size_t at = rest.find("\r\n\r\n");
            if (at == std::string_view::npos)
            {
                if (rest.size() > kMaxPartHead)
                {
                    FState = TState::sDone; // not a part head any more: stop
                }
                return false;
            }
            StartPart(rest.substr(0, at));
            used += at + 4;
            FState = TState::sContent;
            return true;
        }
        case TState::sContent: {
            const std::size_t at = rest.find(FPartEnd);
            if (at == std::string_view::npos)
            {
                if (rest.size() >= FPartEnd.size())
                {
                    const std::size_t n = rest.size() - (FPartEnd.size() - 1);
                    Content(rest.substr(0, n));
                    used += n;
                }
                return false;
            }
            Content(rest.substr(0, at));
            EndPart();
            used += at + FPartEnd.size();
            FState = TState::sAfterDelimiter;
            return true;
        }
        case TState::sDone:
            used += rest.size();
            return false;
        }
        return false;
    }

    void StartPart(std::string_view head)
    {
        FFile = -1;
        FField = false;
        FName.clear();
        FValue.clear();
        std::string disposition;
        std::size_t start = 0;
        while (start < head.size())
        {
            std::size_t end = head.find("\r\n", start);
            if (end == std::string_view::npos)
            {
                end = head.size();
            }
            const std::string_view line = head.substr(start, end - start);
            start = end + 2;
            const std::size_t colon = line.find(':');
            if (colon != std::string_view::npos &&
                kbzSameText(kbzTrim(line.substr(0, colon)), "Content-Disposition"))
            {
                disposition = kbzTrim(line.substr(colon + 1));
            }
        }
        const std::string name = kbzHTTPHeaderParam(disposition, "name");
        const bool hasFileName = kbzLowerCase(disposition).find("filename=") != std::string::npos;
        if (!hasFileName)
        {
            FField = true;
            FName = name;
            return;
        }
        std::string fileName = kbzUploadFileName(kbzHTTPHeaderParam(disposition, "filename"));
        if (fileName.empty())
        {
            return; // no file chosen, or a name that cannot be saved: the part is skipped
        }
        std::string folder = FFolder;
        FOwner.OnBeforeSaveFile(FOwner, fileName, folder);
        fileName = kbzUploadFileName(fileName);
        if (fileName.empty())
        {
            return;
        }
        FFile = kbzCreateUploadFile(folder, fileName);
        if (FFile < 0)
        {
            throw EFOpenError("Cannot create file " + JoinPath(folder, fileName) + ". " +
                              std::strerror(errno));
        }
        FName = fileName;
        FFilePath = folder;
    }

    void Content(std::string_view data)
    {
        if (FFile >= 0)
        {
            WriteAll(FFile, data.data(), data.size(), JoinPath(FFilePath, FName));
        }
        else if (FField && FValue.size() < FOwner.MaxFieldSize)
        {
            FValue.append(data.substr(0, FOwner.MaxFieldSize - FValue.size()));
        }
    }

    void EndPart()
    {
        if (FFile >= 0)
        {
            ::close(FFile);
            FFile = -1;
            FOwner.OnAfterSaveFile(FOwner, FName, FFilePath);
        }
        else if (FField)
        {
            FField = false;
            FOwner.OnReadInput(FOwner, FName, FValue);
        }
    }

    void DropPart() noexcept
    {
        if (FFile >= 0)
        {
            ::close(FFile);
            FFile = -1;
            ::unlink(JoinPath(FFilePath, FName).c_str());
        }
        FField = false;
    }

    TkbzHTTPMultipartFormDataDecoder& FOwner;
    std::string FFolder;
    std::string FDelimiter;
    std::string FPartEnd;
    TState FState = TState::sPreamble;
    std::string FBuffer;
    int FFile = -1;
    bool FField = false;
    std::string FName;
    std::string FFilePath;
    std::string FValue;
};

} // namespace

void TkbzHTTPMultipartFormDataDecoder::ExtractFiles(TkbzStream& stream, const std::string& boundary,
                                                    const std::string& folder)
{
    if (boundary.empty())
    {
        return;
    }
    MultipartParser parser(*this, boundary, folder);
    std::vector<char> block(static_cast<std::size_t>(std::max<std::int64_t>(ReadBlockSize, 1)));
    stream.SetPosition(0);
    for (;;)
    {
        const std::size_t n = stream.Read(block.data(), block.size());
        if (n == 0)
        {
            break;
        }
        parser.Feed(std::string_view(block.data(), n));
    }
    parser.Finish();
}

} // namespace kbz
