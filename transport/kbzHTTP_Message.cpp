#include "transport/kbzHTTP_Message.h"

#include "base/kbzBase_Helpers.h"
#include "transport/kbzSocket_Classes.h"

#include <algorithm>

namespace kbz
{

namespace
{

constexpr std::size_t kMaxMethodLength = 32;
// Empty lines tolerated before a request line (some clients end a body with an extra CR LF).
constexpr std::size_t kMaxLeadingEmptyLines = 4;
// A chunk-size line with its extensions, and the trailer section.
constexpr std::size_t kMaxChunkLine = 4096;
constexpr std::size_t kMaxTrailers = 16 * 1024;

bool IsBlank(char c) noexcept
{
    return c == ' ' || c == '\t';
}

bool IsDigit(char c) noexcept
{
    return c >= '0' && c <= '9';
}

std::string_view TrimBlanks(std::string_view s) noexcept
{
    while (!s.empty() && IsBlank(s.front()))
    {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back()))
    {
        s.remove_suffix(1);
    }
    return s;
}

// A target character: visible ASCII or bytes of a UTF-8 sequence some clients send unescaped.
bool IsTargetChar(char c) noexcept
{
    const auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u != 0x7F;
}

// A field value character: visible, blank, or any byte of 0x80 and above.
bool IsValueChar(char c) noexcept
{
    const auto u = static_cast<unsigned char>(c);
    return c == '\t' || (u >= 0x20 && u != 0x7F);
}

bool IsToken(std::string_view s) noexcept
{
    return !s.empty() && std::all_of(s.begin(), s.end(), kbzIsHTTPTokenChar);
}

// "HTTP/d.d": the version digits, or false.
bool ParseVersion(std::string_view text, int& major, int& minor) noexcept
{
    if (text.size() != 8 || text.substr(0, 5) != "HTTP/" || !IsDigit(text[5]) || text[6] != '.' ||
        !IsDigit(text[7]))
    {
        return false;
    }
    major = text[5] - '0';
    minor = text[7] - '0';
    return true;
}

// Whether an unfinished text can still become "HTTP/d.d...": a prefix of
// "HTTP/" or something that starts with it (checked when the line is whole).
bool CouldBeVersion(std::string_view partial) noexcept
{
    constexpr std::string_view http = "HTTP/";
    if (partial.size() <= http.size())
    {
        return http.substr(0, partial.size()) == partial;
    }
    return partial.substr(0, http.size()) == http;
}

int HexValue(char c) noexcept
{
    if (c >= '0' && c <= '9')
    {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f')
    {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F')
    {
        return c - 'A' + 10;
    }
    return -1;
}

bool IsUnreserved(char c) noexcept
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(c) || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

void CheckFieldText(std::string_view name, std::string_view value)
{
    if (!IsToken(name))
    {
        throw EArgumentException("Invalid header name \"" + std::string(name) + "\"");
    }
    for (char c : value)
    {
        if (!IsValueChar(c))
        {
            throw EArgumentException("Invalid character in header " + std::string(name));
        }
    }
}

void CheckLineText(std::string_view line)
{
    for (char c : line)
    {
        if (c == '\r' || c == '\n' || c == '\0')
        {
            throw EArgumentException("Invalid character in header line");
        }
    }
}

bool NoBodyStatus(int status) noexcept
{
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

} // namespace

bool kbzIsHTTPTokenChar(char c) noexcept
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(c))
    {
        return true;
    }
    switch (c)
    {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
        return true;
    default:
        return false;
    }
}

// ---- Header fields ----

std::vector<std::string> kbzHTTPSplitList(std::string_view value)
{
    std::vector<std::string> items;
    std::size_t start = 0;
    bool quoted = false;
    for (std::size_t i = 0; i <= value.size(); ++i)
    {
        if (i < value.size())
        {
            const char c = value[i];
            if (quoted && c == '\\')
            {
                ++i; // the escaped character
                continue;
            }
            if (c == '"')
            {
                quoted = !quoted;
                continue;
            }
            if (quoted || c != ',')
            {
                continue;
            }
        }
        const std::string_view item = TrimBlanks(value.substr(start, i - start));
        if (!item.empty())
        {
            items.emplace_back(item);
        }
        start = i + 1;
    }
    return items;
}

std::string kbzHTTPHeaderParam(std::string_view value, std::string_view param)
{
    // Parameters follow the first ";" (outside quotes), each "name=value".
    std::size_t i = 0;
    bool quoted = false;
    while (i < value.size() && (quoted || value[i] != ';'))
    {
        if (value[i] == '"')
        {
            quoted = !quoted;
        }
        ++i;
    }
    while (i < value.size())
    {
        ++i; // the ";"
        while (i < value.size() && IsBlank(value[i]))
        {
            ++i;
        }
        const std::size_t nameStart = i;
        while (i < value.size() && value[i] != '=' && value[i] != ';')
        {
            ++i;
        }
        const std::string_view name = TrimBlanks(value.substr(nameStart, i - nameStart));
        std::string result;
        if (i < value.size() && value[i] == '=')
        {
            ++i;
            while (i < value.size() && IsBlank(value[i]))
            {
                ++i;
            }
            if (i < value.size() && value[i] == '"')
            {
                ++i;
                while (i < value.size() && value[i] != '"')
                {
                    if (value[i] == '\\' && i + 1 < value.size())
                    {
                        ++i;
                    }
                    result += value[i++];
                }
                if (i < value.size())
                {
                    ++i; // closing quote
                }
                while (i < value.size() && value[i] != ';')
                {
                    ++i;
                }
            }
            else
            {
                const std::size_t valueStart = i;
                while (i < value.size() && value[i] != ';')
                {
                    ++i;
                }
                result = std::string(TrimBlanks(value.substr(valueStart, i - valueStart)));
            }
        }
        if (kbzSameText(name, param))
        {
            return result;
        }
    }
    return {};
}

void TkbzHTTPHeaders::Add(std::string name, std::string value)
{
    FFields.push_back({std::move(name), std::move(value)});
}

void TkbzHTTPHeaders::Set(std::string_view name, std::string value)
{
    auto it = std::find_if(FFields.begin(), FFields.end(),
                           [&](const TkbzHTTPHeaderField& f) { return kbzSameText(f.Name, name); });
    if (it == FFields.end())
    {
        FFields.push_back({std::string(name), std::move(value)});
        return;
    }
    it->Value = std::move(value);
    const auto next = it + 1;
    FFields.erase(
        std::remove_if(next, FFields.end(),
                       [&](const TkbzHTTPHeaderField& f) { return kbzSameText(f.Name, name); }),
        FFields.end());
}

std::size_t TkbzHTTPHeaders::Remove(std::string_view name)
{
    return std::erase_if(FFields,
                         [&](const TkbzHTTPHeaderField& f) { return kbzSameText(f.Name, name); });
}

bool TkbzHTTPHeaders::Has(std::string_view name) const
{
    return Find(name) != nullptr;
}

std::size_t TkbzHTTPHeaders::CountOf(std::string_view name) const
{
    return static_cast<std::size_t>(
        std::count_if(FFields.begin(), FFields.end(),
                      [&](const TkbzHTTPHeaderField& f) { return kbzSameText(f.Name, name); }));
}

const std::string* TkbzHTTPHeaders::Find(std::string_view name) const
{
    for (const TkbzHTTPHeaderField& f : FFields)
    {
        if (kbzSameText(f.Name, name))
        {
            return &f.Value;
        }
    }
    return nullptr;
}

std::string TkbzHTTPHeaders::Get(std::string_view name) const
{
    const std::string* value = Find(name);
    return value ? *value : std::string();
}

std::string TkbzHTTPHeaders::GetList(std::string_view name) const
{
    std::string list;
    for (const TkbzHTTPHeaderField& f : FFields)
    {
        if (!kbzSameText(f.Name, name) || f.Value.empty())
        {
            continue;
        }
        if (!list.empty())
        {
            list += ", ";
        }
        list += f.Value;
    }
    return list;
}

std::vector<std::string> TkbzHTTPHeaders::Tokens(std::string_view name) const
{
    std::vector<std::string> items;
    for (const TkbzHTTPHeaderField& f : FFields)
    {
        if (kbzSameText(f.Name, name))
        {
            for (std::string& item : kbzHTTPSplitList(f.Value))
            {
                items.push_back(std::move(item));
            }
        }
    }
    return items;
}

bool TkbzHTTPHeaders::HasToken(std::string_view name, std::string_view token) const
{
    for (const std::string& item : Tokens(name))
    {
        if (kbzSameText(item, token))
        {
            return true;
        }
    }
    return false;
}

std::string TkbzHTTPHeaders::Param(std::string_view name, std::string_view param) const
{
    const std::string* value = Find(name);
    return value ? kbzHTTPHeaderParam(*value, param) : std::string();
}

// ---- Heads ----

std::string TkbzHTTPHead::Version() const
{
    return "HTTP/" + std::to_string(VersionMajor) + "." + std::to_string(VersionMinor);
}

std::string TkbzHTTPHead::Path() const
{
    const std::size_t end = Target.find_first_of("?#");
    return Target.substr(0, end);
}

std::string TkbzHTTPHead::Query() const
{
    const std::size_t mark = Target.find_first_of("?#");
    if (mark == std::string::npos || Target[mark] == '#')
    {
        return {};
    }
    const std::size_t hash = Target.find('#', mark);
    return Target.substr(mark + 1, hash == std::string::npos ? std::string::npos : hash - mark - 1);
}

bool TkbzHTTPHead::KeepAlive() const
{
    if (Headers.HasToken("Connection", "close"))
    {
        return false;
    }
    return AtLeast11() || Headers.HasToken("Connection", "keep-alive");
}

TkbzHTTPHeadParser::TkbzHTTPHeadParser(TkbzHTTPHeadKind kind, TkbzHTTPLimits limits)
    : FKind(kind), FLimits(limits)
{
    FHead.Kind = kind;
}

void TkbzHTTPHeadParser::Reset()
{
    FStatus = TkbzHTTPParseStatus::hpsNeedMore;
    FHead = TkbzHTTPHead{};
    FHead.Kind = FKind;
    FLineStart = 0;
    FSkippedLines = 0;
    FHaveStart = false;
    FErrorStatus = 0;
    FErrorText.clear();
}

TkbzHTTPParseStatus TkbzHTTPHeadParser::Fail(int status, std::string text)
{
    FErrorStatus = status;
    FErrorText = std::move(text);
    FStatus = TkbzHTTPParseStatus::hpsError;
    return FStatus;
}

bool TkbzHTTPHeadParser::StartCanContinue(std::string_view partial) const
{
    if (!partial.empty() && partial.back() == '\r')
    {
        partial.remove_suffix(1); // its LF may follow
    }
    if (FKind == TkbzHTTPHeadKind::hkResponse)
    {
        return CouldBeVersion(partial.substr(0, std::min<std::size_t>(partial.size(), 8)));
    }
    std::size_t i = 0;
    while (i < partial.size() && kbzIsHTTPTokenChar(partial[i]))
    {
        ++i;
    }
    if (i > kMaxMethodLength)
    {
        return false;
    }
    if (i == partial.size())
    {
        return true;
    }
    if (partial[i] != ' ' || i == 0)
    {
        return false;
    }
    const std::size_t targetStart = ++i;
    while (i < partial.size() && IsTargetChar(partial[i]))
    {
        ++i;
    }
    if (i == partial.size())
    {
        return true;
    }
    if (partial[i] != ' ' || i == targetStart)
    {
        return false;
    }
    return CouldBeVersion(partial.substr(i + 1));
}

TkbzHTTPParseStatus TkbzHTTPHeadParser::StartLine(std::string_view line)
{
    using enum TkbzHTTPParseStatus;
    if (FKind == TkbzHTTPHeadKind::hkResponse)
    {
        // "HTTP/1.1 200 OK"; the reason may be missing, with or without its blank.
        if (!CouldBeVersion(line.substr(0, std::min<std::size_t>(line.size(), 8))) ||
            line.size() < 5)
        {
            return hpsNotHTTP;
        }
        if (!ParseVersion(line.substr(0, std::min<std::size_t>(line.size(), 8)), FHead.VersionMajor,
                          FHead.VersionMinor) ||
            line.size() < 12 || line[8] != ' ' || !IsDigit(line[9]) || !IsDigit(line[10]) ||
            !IsDigit(line[11]) || (line.size() > 12 && line[12] != ' '))
        {
            return Fail(400, "Invalid status line");
        }
        FHead.Status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
        const std::string_view reason = line.size() > 13 ? line.substr(13) : std::string_view();
        if (!std::all_of(reason.begin(), reason.end(), IsValueChar))
        {
            return Fail(400, "Invalid status line");
        }
        FHead.Reason = std::string(reason);
        return hpsNeedMore;
    }
    const std::size_t sp1 = line.find(' ');
    if (sp1 == std::string_view::npos || sp1 == 0 || sp1 > kMaxMethodLength ||
        !IsToken(line.substr(0, sp1)))
    {
        return hpsNotHTTP;
    }
    const std::size_t sp2 = line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || sp2 == sp1 + 1)
    {
        return hpsNotHTTP; // no version (or a doubled blank): not a request line we speak
    }
    const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    if (!std::all_of(target.begin(), target.end(), IsTargetChar))
    {
        return hpsNotHTTP;
    }
    const std::string_view version = line.substr(sp2 + 1);
    if (!CouldBeVersion(version.substr(0, std::min<std::size_t>(version.size(), 5))) ||
        version.size() < 5)
    {
        return hpsNotHTTP;
    }
    if (!ParseVersion(version, FHead.VersionMajor, FHead.VersionMinor))
    {
        return Fail(400, "Invalid request line");
    }
    if (FHead.VersionMajor != 1)
    {
        return Fail(505, "HTTP version not supported");
    }
    FHead.Method = std::string(line.substr(0, sp1));
    FHead.Target = std::string(target);
    return hpsNeedMore;
}

TkbzHTTPParseStatus TkbzHTTPHeadParser::FieldLine(std::string_view line)
{
    if (IsBlank(line.front()))
    {
        return Fail(400, "Folded header line");
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
    {
        return Fail(400, "Header line without colon");
    }
    std::string_view name = line.substr(0, colon);
    if (FKind == TkbzHTTPHeadKind::hkResponse)
    {
        // Blanks before the colon are a server's mistake a client can live with.
        name = TrimBlanks(name);
    }
    if (!IsToken(name))
    {
        return Fail(400, "Invalid header name");
    }
    const std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (!std::all_of(value.begin(), value.end(), IsValueChar))
    {
        return Fail(400, "Invalid character in header " + std::string(name));
    }
    if (FHead.Headers.Count() >= FLimits.MaxFields)
    {
        return Fail(431, "Too many header fields");
    }
    FHead.Headers.Add(std::string(name), std::string(value));
    return TkbzHTTPParseStatus::hpsNeedMore;
}

TkbzHTTPParseStatus TkbzHTTPHeadParser::Overflow(std::string_view buffered)
{
    // Judged on the bytes within the limit only, so the verdict is the same
    // however much arrived past it.
    const std::string_view within = buffered.substr(
        FLineStart, FLimits.MaxHeadSize > FLineStart ? FLimits.MaxHeadSize - FLineStart : 0);
    const std::size_t cr = within.find('\r');
    const bool bareCR = cr != std::string_view::npos && cr + 1 < within.size();
    if (!FHaveStart && (bareCR || !StartCanContinue(within)))
    {
        FStatus = TkbzHTTPParseStatus::hpsNotHTTP;
        return FStatus;
    }
    if (bareCR)
    {
        return Fail(400, "Bare CR in header");
    }
    return Fail(431, "Request header fields too large");
}

TkbzHTTPParseStatus TkbzHTTPHeadParser::Parse(std::string_view buffered)
{
    using enum TkbzHTTPParseStatus;
    if (FStatus != hpsNeedMore)
    {
        return FStatus;
    }
    for (;;)
    {
        const std::size_t nl = buffered.find('\n', FLineStart);
        if (nl == std::string_view::npos)
        {
            if (buffered.size() > FLimits.MaxHeadSize)
            {
                return Overflow(buffered);
            }
            const std::string_view partial = buffered.substr(FLineStart);
            if (!FHaveStart && !StartCanContinue(partial))
            {
                FStatus = hpsNotHTTP;
                return FStatus;
            }
            const std::size_t cr = partial.find('\r');
            if (cr != std::string_view::npos && cr + 1 < partial.size())
            {
                if (!FHaveStart)
                {
                    FStatus = hpsNotHTTP;
                    return FStatus;
                }
                return Fail(400, "Bare CR in header");
            }
            return hpsNeedMore;
        }
        if (nl + 1 > FLimits.MaxHeadSize)
        {
            return Overflow(buffered);
        }
        std::string_view line = buffered.substr(FLineStart, nl - FLineStart);
        FLineStart = nl + 1;
        if (!line.empty() && line.back() == '\r')
        {
            line.remove_suffix(1);
        }
        if (!FHaveStart)
        {
            if (line.empty() && FKind == TkbzHTTPHeadKind::hkRequest &&
                FSkippedLines < kMaxLeadingEmptyLines)
            {
                ++FSkippedLines;
                continue;
            }
            const TkbzHTTPParseStatus s =
                line.find('\r') != std::string_view::npos ? hpsNotHTTP : StartLine(line);
            if (s != hpsNeedMore)
            {
                FStatus = s;
                return FStatus;
            }
            FHaveStart = true;
            FHead.Lines.emplace_back(line);
            continue;
        }
        if (line.empty())
        {
            FHead.Length = FLineStart;
            FStatus = hpsComplete;
            return FStatus;
        }
        if (line.find('\r') != std::string_view::npos)
        {
            return Fail(400, "Bare CR in header");
        }
        if (FieldLine(line) != hpsNeedMore)
        {
            return FStatus;
        }
        FHead.Lines.emplace_back(line);
    }
}

TkbzHTTPHead kbzParseHTTPHeadLines(const TkbzHeaderList& lines, TkbzHTTPHeadKind kind)
{
    std::string text;
    for (const std::string& line : lines)
    {
        CheckLineText(line);
        text += line;
        text += "\r\n";
    }
    text += "\r\n";
    TkbzHTTPLimits limits;
    limits.MaxHeadSize = text.size() + 1;
    limits.MaxFields = lines.size() + 1;
    TkbzHTTPHeadParser parser(kind, limits);
    switch (parser.Parse(text))
    {
    case TkbzHTTPParseStatus::hpsComplete:
        return std::move(parser.Head());
    case TkbzHTTPParseStatus::hpsError:
        throw EIdHTTPProtocolException(parser.ErrorText(), parser.ErrorStatus());
    default:
        throw EIdHTTPProtocolException("Not an HTTP message", 400);
    }
}

TkbzHTTPHead kbzReadHTTPHead(TkbzIdTCPConnection& connection, TkbzHTTPHeadKind kind, int timeoutMs,
                             TkbzHTTPLimits limits)
{
    const int limit = timeoutMs > 0 ? timeoutMs : connection.ReadTimeout;
    const std::uint64_t deadline =
        limit > 0 ? kbzGetTicks() + static_cast<std::uint64_t>(limit) : ~std::uint64_t{0};
    TkbzHTTPHeadParser parser(kind, limits);
    for (;;)
    {
        TkbzHTTPParseStatus status = TkbzHTTPParseStatus::hpsNeedMore;
        connection.InputBufferConsume([&](std::span<const std::uint8_t> bytes) -> std::size_t {
            status = parser.Parse(
                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
            return status == TkbzHTTPParseStatus::hpsComplete ? parser.Head().Length : 0;
        });
        switch (status)
        {
        case TkbzHTTPParseStatus::hpsComplete:
            return std::move(parser.Head());
        case TkbzHTTPParseStatus::hpsError:
            throw EIdHTTPProtocolException(parser.ErrorText(), parser.ErrorStatus());
        case TkbzHTTPParseStatus::hpsNotHTTP:
            throw EIdHTTPProtocolException(
                kind == TkbzHTTPHeadKind::hkResponse ? "Not an HTTP answer" : "Not an HTTP request",
                400);
        case TkbzHTTPParseStatus::hpsNeedMore:
            break;
        }
        if (connection.Disconnected())
        {
            throw EIdClosedSocket("Disconnected.");
        }
        if (connection.PeerClosed())
        {
            throw EIdConnClosedGracefully("Connection Closed Gracefully.");
        }
        const std::uint64_t now = kbzGetTicks();
        if (now >= deadline)
        {
            throw EIdReadTimeout("Read timed out.");
        }
        const std::uint64_t left = deadline - now;
        connection.CheckForDataOnSource(
            static_cast<int>(std::min<std::uint64_t>(left, static_cast<std::uint64_t>(INT32_MAX))));
    }
}

// ---- Bodies ----

namespace
{

// A Content-Length: decimal digits only, one value (repeated equal values are one).
bool ContentLength(const TkbzHTTPHeaders& headers, std::uint64_t& length, bool& present)
{
    present = false;
    for (const TkbzHTTPHeaderField& f : headers)
    {
        if (!kbzSameText(f.Name, "Content-Length"))
        {
            continue;
        }
        for (const std::string& item : kbzHTTPSplitList(f.Value))
        {
            if (item.empty() || item.size() > 18 || !std::all_of(item.begin(), item.end(), IsDigit))
            {
                return false;
            }
            const std::uint64_t n = std::stoull(item);
            if (present && n != length)
            {
                return false;
            }
            length = n;
            present = true;
        }
        if (!present)
        {
            return false; // an empty value
        }
    }
    return true;
}

} // namespace

TkbzHTTPBodyFraming kbzHTTPRequestFraming(const TkbzHTTPHead& head)
{
    TkbzHTTPBodyFraming framing;
    const std::vector<std::string> codings = head.Headers.Tokens("Transfer-Encoding");
    std::uint64_t length = 0;
    bool hasLength = false;
    const bool lengthValid = ContentLength(head.Headers, length, hasLength);
    if (head.Headers.Has("Transfer-Encoding"))
    {
        if (hasLength || !lengthValid)
        {
            framing.ErrorStatus = 400;
            framing.ErrorText = "Both Transfer-Encoding and Content-Length";
        }
        else if (!head.AtLeast11())
        {
            framing.ErrorStatus = 400;
            framing.ErrorText = "Transfer-Encoding in an HTTP/1.0 request";
        }
        else if (codings.empty() || !kbzSameText(codings.back(), "chunked"))
        {
            // The end of the body cannot be found.
            framing.ErrorStatus = 400;
            framing.ErrorText = "Unsupported Transfer-Encoding";
        }
        else if (codings.size() > 1)
        {
            framing.ErrorStatus = 501;
            framing.ErrorText = "Unsupported Transfer-Encoding";
        }
        else
        {
            framing.Kind = TkbzHTTPBodyKind::hbkChunked;
        }
        return framing;
    }
    if (!lengthValid)
    {
        framing.ErrorStatus = 400;
        framing.ErrorText = "Invalid Content-Length";
        return framing;
    }
    if (hasLength && length > 0)
    {
        framing.Kind = TkbzHTTPBodyKind::hbkLength;
        framing.Length = length;
    }
    return framing;
}

TkbzHTTPBodyFraming kbzHTTPResponseFraming(const TkbzHTTPHead& head, std::string_view requestMethod)
{
    TkbzHTTPBodyFraming framing;
    if (requestMethod == "HEAD" || NoBodyStatus(head.Status))
    {
        return framing;
    }
    const std::vector<std::string> codings = head.Headers.Tokens("Transfer-Encoding");
    if (!codings.empty())
    {
        framing.Kind = kbzSameText(codings.back(), "chunked") ? TkbzHTTPBodyKind::hbkChunked
                                                              : TkbzHTTPBodyKind::hbkUntilClose;
        return framing;
    }
    std::uint64_t length = 0;
    bool hasLength = false;
    if (!ContentLength(head.Headers, length, hasLength))
    {
        framing.ErrorStatus = 400;
        framing.ErrorText = "Invalid Content-Length";
        return framing;
    }
    if (hasLength)
    {
        if (length > 0)
        {
            framing.Kind = TkbzHTTPBodyKind::hbkLength;
            framing.Length = length;
        }
        return framing;
    }
    framing.Kind = TkbzHTTPBodyKind::hbkUntilClose;
    return framing;
}

TkbzHTTPBodyDecoder::TkbzHTTPBodyDecoder(const TkbzHTTPBodyFraming& framing, std::uint64_t maxBody)
    : FMaxBody(maxBody)
{
    switch (framing.Kind)
    {
    case TkbzHTTPBodyKind::hbkNone:
        FState = TState::sDone;
        break;
    case TkbzHTTPBodyKind::hbkLength:
        FRemaining = framing.Length;
        FState = TState::sLength;
        if (framing.Length > maxBody)
        {
            FailAt(0, 413, "Request body too large");
        }
        else if (framing.Length == 0)
        {
            FState = TState::sDone;
        }
        break;
    case TkbzHTTPBodyKind::hbkChunked:
        FState = TState::sChunkSize;
        break;
    case TkbzHTTPBodyKind::hbkUntilClose:
        FState = TState::sUntilClose;
        break;
    }
    if (framing.ErrorStatus != 0)
    {
        FailAt(0, framing.ErrorStatus, framing.ErrorText);
    }
}

std::size_t TkbzHTTPBodyDecoder::FailAt(std::size_t used, int status, std::string text)
{
    FState = TState::sFailed;
    FErrorStatus = status;
    FErrorText = std::move(text);
    return used;
}

bool TkbzHTTPBodyDecoder::Accept(std::uint64_t n)
{
    if (n > FMaxBody - FDecoded)
    {
        FailAt(0, 413, "Request body too large");
        return false;
    }
    FDecoded += n;
    return true;
}

void TkbzHTTPBodyDecoder::End()
{
    if (FState == TState::sUntilClose)
    {
        FState = TState::sDone;
    }
    else if (FState != TState::sDone && FState != TState::sFailed)
    {
        FailAt(0, 400, "Body ended early");
    }
}

std::size_t TkbzHTTPBodyDecoder::Feed(std::string_view input, std::string& out)
{
    std::size_t i = 0;
    while (i < input.size())
    {
        switch (FState)
        {
        case TState::sDone:
        case TState::sFailed:
            return i;
        case TState::sLength:
        case TState::sChunkData: {
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(FRemaining, input.size() - i));
            if (FState == TState::sChunkData && !Accept(n))
            {
                return i;
            }
            if (FState == TState::sLength)
            {
                FDecoded += n;
            }
            out.append(input.data() + i, n);
            i += n;
            FRemaining -= n;
            if (FRemaining == 0)
            {
                FState = FState == TState::sLength ? TState::sDone : TState::sChunkDataCR;
            }
            break;
        }
        case TState::sUntilClose: {
            const std::size_t n = input.size() - i;
            if (!Accept(n))
            {
                return i;
            }
            out.append(input.data() + i, n);
            i += n;
            break;
        }
        case TState::sChunkSize: {
            const char c = input[i];
            const int v = HexValue(c);
            if (++FLineBytes > kMaxChunkLine)
            {
                return FailAt(i, 400, "Chunk size line too long");
            }
            if (v >= 0)
            {
                if (FRemaining > (~std::uint64_t{0} >> 4))
                {
                    return FailAt(i, 400, "Chunk size too large");
                }
                FRemaining = FRemaining * 16 + static_cast<std::uint64_t>(v);
                FSizeDigits = true;
                ++i;
                break;
            }
            if (!FSizeDigits)
            {
                return FailAt(i, 400, "Invalid chunk size");
            }
            if (c == ';' || IsBlank(c))
            {
                FState = TState::sChunkExt;
                ++i;
            }
            else if (c == '\r')
            {
                FState = TState::sChunkSizeLF;
                ++i;
            }
            else if (c == '\n')
            {
                FState = TState::sChunkSizeLF; // read again as the line end
            }
            else
            {
                return FailAt(i, 400, "Invalid chunk size");
            }
            break;
        }
        case TState::sChunkExt: {
            const char c = input[i];
            if (++FLineBytes > kMaxChunkLine)
            {
                return FailAt(i, 400, "Chunk size line too long");
            }
            if (c == '\r' || c == '\n')
            {
                FState = TState::sChunkSizeLF;
                if (c == '\r')
                {
                    ++i;
                }
            }
            else if (!IsValueChar(c))
            {
                return FailAt(i, 400, "Invalid chunk extension");
            }
            else
            {
                ++i;
            }
            break;
        }
        case TState::sChunkSizeLF:
            if (input[i] != '\n')
            {
                return FailAt(i, 400, "Invalid chunk size line end");
            }
            ++i;
            FLineBytes = 0;
            FSizeDigits = false;
            if (FRemaining == 0)
            {
                FState = TState::sTrailer;
                FTrailerLineData = false;
            }
            else
            {
                FState = TState::sChunkData;
            }
            break;
        case TState::sChunkDataCR:
            if (input[i] == '\r')
            {
                FState = TState::sChunkDataLF;
                ++i;
            }
            else if (input[i] == '\n')
            {
                FState = TState::sChunkDataLF;
            }
            else
            {
                return FailAt(i, 400, "Chunk data not followed by a line end");
            }
            break;
        case TState::sChunkDataLF:
            if (input[i] != '\n')
            {
                return FailAt(i, 400, "Chunk data not followed by a line end");
            }
            ++i;
            FState = TState::sChunkSize;
            break;
        case TState::sTrailer: {
            // Trailer fields are read and dropped; an empty line ends the body.
            const char c = input[i++];
            if (++FLineBytes > kMaxTrailers)
            {
                return FailAt(i, 400, "Trailer section too large");
            }
            if (c == '\n')
            {
                if (!FTrailerLineData)
                {
                    FState = TState::sDone;
                    return i;
                }
                FTrailerLineData = false;
            }
            else if (c != '\r')
            {
                if (c == '\0')
                {
                    return FailAt(i, 400, "Invalid trailer");
                }
                FTrailerLineData = true;
            }
            break;
        }
        }
    }
    if (FState == TState::sLength && FRemaining == 0)
    {
        FState = TState::sDone;
    }
    return i;
}

// ---- Writing ----

std::string kbzHTTPStatusText(int status)
{
    switch (status)
    {
    case 100:
        return "Continue";
    case 101:
        return "Switching Protocols";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Moved Temporarily";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 407:
        return "Proxy Authentication Required";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 414:
        return "URI Too Long";
    case 415:
        return "Unsupported Media Type";
    case 417:
        return "Expectation Failed";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Unknown";
    }
}

std::string kbzWriteHTTPHead(std::string_view startLine, const TkbzHTTPHeaders& headers)
{
    CheckLineText(startLine);
    std::size_t size = startLine.size() + 4;
    for (const TkbzHTTPHeaderField& f : headers)
    {
        CheckFieldText(f.Name, f.Value);
        size += f.Name.size() + f.Value.size() + 4;
    }
    std::string head;
    head.reserve(size);
    head += startLine;
    head += "\r\n";
    for (const TkbzHTTPHeaderField& f : headers)
    {
        head += f.Name;
        head += ": ";
        head += f.Value;
        head += "\r\n";
    }
    head += "\r\n";
    return head;
}

std::string kbzWriteHTTPLines(const std::vector<std::string>& lines)
{
    std::string head;
    for (const std::string& line : lines)
    {
        CheckLineText(line);
        head += line;
        head += "\r\n";
    }
    head += "\r\n";
    return head;
}

std::string kbzWriteHTTPAnswer(const TkbzHTTPAnswer& answer)
{
    const std::string reason =
        answer.Reason.empty() ? kbzHTTPStatusText(answer.Status) : answer.Reason;
    std::string start = "HTTP/1." + std::to_string(answer.VersionMinor) + " " +
                        std::to_string(answer.Status) + " " + reason;
    std::string text;
    if (answer.AddContentLength && !NoBodyStatus(answer.Status) &&
        !answer.Headers.Has("Content-Length") && !answer.Headers.Has("Transfer-Encoding"))
    {
        TkbzHTTPHeaders headers = answer.Headers;
        headers.Add("Content-Length", std::to_string(answer.Body.size()));
        text = kbzWriteHTTPHead(start, headers);
    }
    else
    {
        text = kbzWriteHTTPHead(start, answer.Headers);
    }
    if (!answer.HeadOnly && !NoBodyStatus(answer.Status))
    {
        text += answer.Body;
    }
    return text;
}

std::string kbzWriteHTTPRequest(std::string_view method, std::string_view target,
                                const TkbzHTTPHeaders& headers, std::string_view body)
{
    if (!IsToken(method) || target.empty() ||
        !std::all_of(target.begin(), target.end(), IsTargetChar))
    {
        throw EArgumentException("Invalid request line");
    }
    const std::string start = std::string(method) + " " + std::string(target) + " HTTP/1.1";
    const bool carriesBody =
        !body.empty() || method == "POST" || method == "PUT" || method == "PATCH";
    std::string text;
    if (carriesBody && !headers.Has("Content-Length") && !headers.Has("Transfer-Encoding"))
    {
        TkbzHTTPHeaders withLength = headers;
        withLength.Add("Content-Length", std::to_string(body.size()));
        text = kbzWriteHTTPHead(start, withLength);
    }
    else
    {
        text = kbzWriteHTTPHead(start, headers);
    }
    text += body;
    return text;
}

// ---- Targets ----

bool kbzHTTPDecodePath(std::string_view path, std::string& out)
{
    out.clear();
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i)
    {
        const char c = path[i];
        if (c == '\0')
        {
            return false;
        }
        if (c != '%')
        {
            out += c;
            continue;
        }
        if (i + 2 >= path.size())
        {
            return false;
        }
        const int hi = HexValue(path[i + 1]);
        const int lo = HexValue(path[i + 2]);
        if (hi < 0 || lo < 0)
        {
            return false;
        }
        const char decoded = static_cast<char>(hi * 16 + lo);
        if (decoded == '\0')
        {
            return false;
        }
        out += decoded;
        i += 2;
    }
    return true;
}

std::string kbzHTTPDecodeFormComponent(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        const char c = text[i];
        if (c == '+')
        {
            out += ' ';
        }
        else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                 HexValue(text[i + 2]) >= 0)
        {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        }
        else
        {
            out += c;
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> kbzHTTPParseQuery(std::string_view query)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    std::size_t start = 0;
    while (start <= query.size())
    {
        std::size_t end = query.find('&', start);
        if (end == std::string_view::npos)
        {
            end = query.size();
        }
        const std::string_view pair = query.substr(start, end - start);
        if (!pair.empty())
        {
            const std::size_t eq = pair.find('=');
            pairs.emplace_back(kbzHTTPDecodeFormComponent(pair.substr(0, eq)),
                               eq == std::string_view::npos
                                   ? std::string()
                                   : kbzHTTPDecodeFormComponent(pair.substr(eq + 1)));
        }
        start = end + 1;
    }
    return pairs;
}

std::string kbzHTTPEncodePath(std::string_view path)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (char c : path)
    {
        if (IsUnreserved(c) || c == '/')
        {
            out += c;
        }
        else
        {
            const auto u = static_cast<unsigned char>(c);
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

} // namespace kbz
