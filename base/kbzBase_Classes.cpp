#include "base/kbzBase_Classes.h"

#include "base/kbzBase_Helpers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kbz
{

std::string kbzExceptionMessage(const std::exception& e)
{
    return e.what();
}

std::string kbzExceptionClassName(const std::exception& e)
{
    if (const auto* own = dynamic_cast<const Exception*>(&e))
    {
        return own->ClassName();
    }
    return "Exception";
}

// ---- Streams ----------------------------------------------------------------------------------

std::vector<std::uint8_t> TkbzStream::ReadBytes(std::size_t maxCount)
{
    const std::int64_t available = std::max<std::int64_t>(0, Size() - FPosition);
    const std::size_t count = std::min(maxCount, static_cast<std::size_t>(available));
    std::vector<std::uint8_t> bytes(count);
    bytes.resize(Read(bytes.data(), count));
    return bytes;
}

std::int64_t TkbzStream::CopyFrom(TkbzStream& source, std::int64_t count)
{
    if (count <= 0)
    {
        count = std::max<std::int64_t>(0, source.Size() - source.Position());
    }
    constexpr std::size_t kBlock = 1024 * 1024;
    std::vector<std::uint8_t> block(
        static_cast<std::size_t>(std::min<std::int64_t>(count, kBlock)));
    std::int64_t copied = 0;
    while (copied < count)
    {
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(count - copied, kBlock));
        const std::size_t got = source.Read(block.data(), want);
        if (got == 0)
        {
            break;
        }
        Write(block.data(), got);
        copied += static_cast<std::int64_t>(got);
    }
    return copied;
}

void TkbzMemoryStream::SetSize(std::int64_t size)
{
    FBytes.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, size)));
    FPosition = std::min(FPosition, Size());
}

std::size_t TkbzMemoryStream::Read(void* dst, std::size_t count)
{
    if (FPosition >= Size() || count == 0)
    {
        return 0;
    }
    const auto pos = static_cast<std::size_t>(FPosition);
    const std::size_t n = std::min(count, FBytes.size() - pos);
    std::memcpy(dst, FBytes.data() + pos, n);
    FPosition += static_cast<std::int64_t>(n);
    return n;
}

void TkbzMemoryStream::Write(const void* src, std::size_t count)
{
    if (count == 0)
    {
        return;
    }
    const auto pos = static_cast<std::size_t>(FPosition);
    if (pos + count > FBytes.size())
    {
        FBytes.resize(pos + count);
    }
    std::memcpy(FBytes.data() + pos, src, count);
    FPosition += static_cast<std::int64_t>(count);
}

void TkbzMemoryStream::Clear()
{
    FBytes.clear();
    FPosition = 0;
}

std::string TkbzMemoryStream::DataString() const
{
    return std::string(FBytes.begin(), FBytes.end());
}

TkbzStringStream::TkbzStringStream(std::string_view text, TkbzTextEncoding encoding)
    : FEncoding(encoding)
{
    const TBytes bytes =
        encoding == TkbzTextEncoding::teANSI ? kbzGetAnsiBytes(text) : kbzGetUTF8Bytes(text);
    Write(bytes);
    SetPosition(0);
}

std::string TkbzStringStream::DataString() const
{
    if (FEncoding == TkbzTextEncoding::teANSI)
    {
        return kbzGetAnsiString(Bytes());
    }
    return TkbzMemoryStream::DataString();
}

namespace
{
std::string ErrnoText()
{
    return std::strerror(errno);
}
} // namespace

TkbzFileStream::TkbzFileStream(std::string fileName, TkbzFileMode mode)
    : FFileName(std::move(fileName))
{
    int flags = O_CLOEXEC;
    switch (mode)
    {
    case TkbzFileMode::fmCreate:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    case TkbzFileMode::fmOpenRead:
        flags |= O_RDONLY;
        break;
    case TkbzFileMode::fmOpenWrite:
        flags |= O_WRONLY;
        break;
    case TkbzFileMode::fmOpenReadWrite:
        flags |= O_RDWR;
        break;
    }
    FHandle = ::open(FFileName.c_str(), flags, 0644);
    if (FHandle < 0)
    {
        throw EFOpenError("Cannot open file \"" + FFileName + "\". " + ErrnoText());
    }
}

TkbzFileStream::~TkbzFileStream()
{
    if (FHandle >= 0)
    {
        ::close(FHandle);
    }
}

std::int64_t TkbzFileStream::Size() const
{
    struct stat st = {};
    if (::fstat(FHandle, &st) != 0)
    {
        throw EStreamError("Cannot read size of \"" + FFileName + "\". " + ErrnoText());
    }
    return static_cast<std::int64_t>(st.st_size);
}

void TkbzFileStream::SetSize(std::int64_t size)
{
    if (::ftruncate(FHandle, static_cast<off_t>(std::max<std::int64_t>(0, size))) != 0)
    {
        throw EStreamError("Cannot resize \"" + FFileName + "\". " + ErrnoText());
    }
    FPosition = std::min(FPosition, Size());
}

std::size_t TkbzFileStream::Read(void* dst, std::size_t count)
{
    auto* out = static_cast<char*>(dst);
    std::size_t done = 0;
    while (done < count)
    {
        const ssize_t n = ::pread(FHandle, out + done, count - done,
                                  static_cast<off_t>(FPosition + static_cast<std::int64_t>(done)));
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n < 0)
        {
            throw EStreamError("Cannot read \"" + FFileName + "\". " + ErrnoText());
        }
        if (n == 0)
        {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    FPosition += static_cast<std::int64_t>(done);
    return done;
}

void TkbzFileStream::Write(const void* src, std::size_t count)
{
    const auto* in = static_cast<const char*>(src);
    std::size_t done = 0;
    while (done < count)
    {
        const ssize_t n = ::pwrite(FHandle, in + done, count - done,
                                   static_cast<off_t>(FPosition + static_cast<std::int64_t>(done)));
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            throw EStreamError("Cannot write \"" + FFileName + "\". " + ErrnoText());
        }
        done += static_cast<std::size_t>(n);
    }
    FPosition += static_cast<std::int64_t>(done);
}

// ---- String list ------------------------------------------------------------------------------

namespace
{
bool IsBlank(char c)
{
    return c > 0 && c <= ' ';
}
} // namespace

void TkbzDelimitedStringList::SetDelimitedText(std::string_view text)
{
    FItems.clear();
    std::size_t i = 0;
    const std::size_t n = text.size();
    auto skipBlanks = [&] {
        if (!FStrictDelimiter)
        {
            while (i < n && IsBlank(text[i]))
            {
                ++i;
            }
        }
    };
    skipBlanks();
    while (i < n)
    {
        std::string item;
        if (text[i] == FQuoteChar)
        {
            // A quoted piece: a doubled quote stands for one; an unclosed quote runs to the end.
            ++i;
            while (i < n)
            {
                if (text[i] == FQuoteChar)
                {
                    if (i + 1 < n && text[i + 1] == FQuoteChar)
                    {
                        item += FQuoteChar;
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                item += text[i++];
            }
        }
        // Text after a closing quote (or an unquoted item) runs up to the next separator.
        while (i < n && text[i] != FDelimiter && (FStrictDelimiter || !IsBlank(text[i])))
        {
            item += text[i++];
        }
        FItems.push_back(std::move(item));
        skipBlanks();
        if (i < n && text[i] == FDelimiter)
        {
            ++i;
            if (i == n)
            {
                FItems.emplace_back();
            }
            skipBlanks();
        }
    }
}

std::string TkbzDelimitedStringList::GetDelimitedText() const
{
    if (FItems.size() == 1 && FItems[0].empty())
    {
        return std::string(2, FQuoteChar);
    }
    std::string out;
    for (std::size_t k = 0; k < FItems.size(); ++k)
    {
        if (k > 0)
        {
            out += FDelimiter;
        }
        const std::string& item = FItems[k];
        const bool quote = std::any_of(item.begin(), item.end(), [&](char c) {
            return c == FDelimiter || c == FQuoteChar || c == '\0' || IsBlank(c);
        });
        if (!quote)
        {
            out += item;
            continue;
        }
        out += FQuoteChar;
        for (char c : item)
        {
            if (c == FQuoteChar)
            {
                out += FQuoteChar;
            }
            out += c;
        }
        out += FQuoteChar;
    }
    return out;
}

std::string TkbzDelimitedStringList::GetText() const
{
    std::string out;
    for (std::size_t k = 0; k < FItems.size(); ++k)
    {
        if (k > 0)
        {
            out += "\r\n";
        }
        out += FItems[k];
    }
    return out;
}

void TkbzDelimitedStringList::SetText(std::string_view text)
{
    FItems.clear();
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size())
    {
        if (text[i] == '\r' || text[i] == '\n')
        {
            FItems.emplace_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            {
                ++i;
            }
            start = ++i;
            continue;
        }
        ++i;
    }
    if (start < text.size())
    {
        FItems.emplace_back(text.substr(start));
    }
}

void TkbzDelimitedStringList::CheckIndex(std::size_t index, std::size_t limit) const
{
    if (index >= limit)
    {
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    }
}

const std::string& TkbzDelimitedStringList::operator[](std::size_t index) const
{
    CheckIndex(index, FItems.size());
    return FItems[index];
}

std::string& TkbzDelimitedStringList::operator[](std::size_t index)
{
    CheckIndex(index, FItems.size());
    return FItems[index];
}

std::size_t TkbzDelimitedStringList::Add(std::string item)
{
    FItems.push_back(std::move(item));
    return FItems.size() - 1;
}

void TkbzDelimitedStringList::Insert(std::size_t index, std::string item)
{
    CheckIndex(index, FItems.size() + 1);
    FItems.insert(FItems.begin() + static_cast<std::ptrdiff_t>(index), std::move(item));
}

void TkbzDelimitedStringList::Delete(std::size_t index)
{
    CheckIndex(index, FItems.size());
    FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(index));
}

bool TkbzDelimitedStringList::SameItem(std::string_view a, std::string_view b) const
{
    return FCaseSensitive ? a == b : kbzSameText(a, b);
}

int TkbzDelimitedStringList::IndexOf(std::string_view item) const
{
    for (std::size_t k = 0; k < FItems.size(); ++k)
    {
        if (SameItem(FItems[k], item))
        {
            return static_cast<int>(k);
        }
    }
    return -1;
}

std::string TkbzDelimitedStringList::Names(std::size_t index) const
{
    const std::string& item = (*this)[index];
    const std::size_t sep = item.find(FNameValueSeparator);
    return sep == std::string::npos ? std::string() : item.substr(0, sep);
}

std::string TkbzDelimitedStringList::ValueFromIndex(std::size_t index) const
{
    const std::string& item = (*this)[index];
    const std::size_t sep = item.find(FNameValueSeparator);
    return sep == std::string::npos ? std::string() : item.substr(sep + 1);
}

int TkbzDelimitedStringList::IndexOfName(std::string_view name) const
{
    for (std::size_t k = 0; k < FItems.size(); ++k)
    {
        const std::string& item = FItems[k];
        const std::size_t sep = item.find(FNameValueSeparator);
        if (sep != std::string::npos && SameItem(std::string_view(item).substr(0, sep), name))
        {
            return static_cast<int>(k);
        }
    }
    return -1;
}

std::string TkbzDelimitedStringList::Values(std::string_view name) const
{
    const int k = IndexOfName(name);
    return k < 0 ? std::string() : ValueFromIndex(static_cast<std::size_t>(k));
}

void TkbzDelimitedStringList::SetValue(std::string_view name, std::string_view value)
{
    const int k = IndexOfName(name);
    if (value.empty())
    {
        if (k >= 0)
        {
            Delete(static_cast<std::size_t>(k));
        }
        return;
    }
    std::string line = std::string(name) + FNameValueSeparator + std::string(value);
    if (k >= 0)
    {
        FItems[static_cast<std::size_t>(k)] = std::move(line);
    }
    else
    {
        FItems.push_back(std::move(line));
    }
}

} // namespace kbz
