#include "json/kbzJSON.h"

#include "json/kbzJSON_Internal.h"
#include <algorithm>
#include <charconv>
#include <cmath>
#include <mutex>

namespace kbz
{

namespace
{

using enum TkbzJSONtype;

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendU16Escape(std::string& out, unsigned unit)
{
    out += "\\u";
    out += kHexDigits[(unit >> 12) & 0xF];
    out += kHexDigits[(unit >> 8) & 0xF];
    out += kHexDigits[(unit >> 4) & 0xF];
    out += kHexDigits[unit & 0xF];
}

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80)
    {
        out += static_cast<char>(cp);
    }
    else if (cp < 0x800)
    {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    else if (cp < 0x10000)
    {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    else
    {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes one UTF-8 sequence at pos (strict: no overlong forms, no surrogates,
// nothing above U+10FFFF). On a bad sequence consumes one byte and gives U+FFFD.
char32_t NextCodePoint(std::string_view s, std::size_t& pos)
{
    const auto b0 = static_cast<unsigned char>(s[pos]);
    if (b0 < 0x80)
    {
        ++pos;
        return b0;
    }
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF)
    {
        len = 2;
        cp = b0 & 0x1Fu;
        min = 0x80;
    }
    else if (b0 >= 0xE0 && b0 <= 0xEF)
    {
        len = 3;
        cp = b0 & 0x0Fu;
        min = 0x800;
    }
    else if (b0 >= 0xF0 && b0 <= 0xF4)
    {
        len = 4;
        cp = b0 & 0x07u;
        min = 0x10000;
    }
    if (len == 0 || pos + len > s.size())
    {
        ++pos;
        return 0xFFFD;
    }
    for (std::size_t i = 1; i < len; ++i)
    {
        const auto b = static_cast<unsigned char>(s[pos + i]);
        if ((b & 0xC0) != 0x80)
        {
            ++pos;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
    {
        ++pos;
        return 0xFFFD;
    }
    pos += len;
    return cp;
}

int HexValue(char c)
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

// Four hex digits at pos as one UTF-16 code unit, or -1.
long HexUnit(std::string_view s, std::size_t pos)
{
    if (pos + 4 > s.size())
    {
        return -1;
    }
    long unit = 0;
    for (std::size_t i = 0; i < 4; ++i)
    {
        const int digit = HexValue(s[pos + i]);
        if (digit < 0)
        {
            return -1;
        }
        unit = unit * 16 + digit;
    }
    return unit;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The lenient recursive-descent scanner behind TkbzJSON::Read. Every routine
// that fails puts the position back where it started; members already appended
// to a document stay there.
class TReader
{
public:
    explicit TReader(std::string_view text) : FText(text) {}

    bool ReadObject(TkbzJSON& doc, int depth) { return ReadContainer(doc, depth, '{', '}'); }
    bool ReadList(TkbzJSON& doc, int depth) { return ReadContainer(doc, depth, '[', ']'); }

private:
    bool AtEnd() const { return FPos >= FText.size(); }
    char Peek() const { return FText[FPos]; }

    void SkipWhitespace()
    {
        while (!AtEnd())
        {
            const char c = Peek();
            if (c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ')
            {
                ++FPos;
            }
            else if (c == '#')
            {
                // A comment runs up to the next line feed, which is then skipped as whitespace.
                const auto lf = FText.find('\n', FPos);
                FPos = lf == std::string_view::npos ? FText.size() : lf;
            }
            else
            {
                return;
            }
        }
    }

    // Objects have named members ("name": value); lists have unnamed items.
    // Commas between entries are optional and a trailing one is accepted.
    bool ReadContainer(TkbzJSON& doc, int depth, char open, char close)
    {
        const std::size_t start = FPos;
        SkipWhitespace();
        if (AtEnd() || Peek() != open)
        {
            FPos = start;
            return false;
        }
        ++FPos;
        while (!AtEnd())
        {
            SkipWhitespace();
            if (AtEnd())
            {
                break;
            }
            if (Peek() == close)
            {
                ++FPos;
                return true;
            }
            std::string name;
            if (open == '{')
            {
                if (Peek() != '"' || !ScanString(name))
                {
                    break;
                }
                SkipWhitespace();
                if (AtEnd() || Peek() != ':')
                {
                    break;
                }
                ++FPos;
                SkipWhitespace();
            }
            if (!ScanValue(doc, std::move(name), depth))
            {
                break;
            }
            SkipWhitespace();
            if (!AtEnd() && Peek() == ',')
            {
                ++FPos;
            }
        }
        FPos = start;
        return false;
    }

    // Scans one value and appends it to doc as a member with the given name.
    bool ScanValue(TkbzJSON& doc, std::string name, int depth)
    {
        if (AtEnd())
        {
            return false;
        }
        std::string text;
        TkbzJSONtype kind = kbzJSONUndefined;
        const char c = Peek();
        switch (c)
        {
        case '"':
            if (!ScanString(text))
            {
                return false;
            }
            kind = kbzJSONString;
            break;
        case '+':
        case '-':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9':
            if (!ScanNumber(text))
            {
                return false;
            }
            kind = kbzJSONNumber;
            break;
        case 't':
        case 'T':
            return ScanWord(doc, std::move(name), "true", kbzJSONBoolean);
        case 'f':
        case 'F':
            return ScanWord(doc, std::move(name), "false", kbzJSONBoolean);
        case 'n':
        case 'N':
            return ScanWord(doc, std::move(name), "null", kbzJSONNull);
        case '[':
        case '{': {
            if (depth >= TkbzJSON::MaxDepth)
            {
                return false;
            }
            auto member = std::make_shared<TkbzObjectJSON>();
            member->SetName(std::move(name));
            member->SetJSONType(c == '[' ? kbzJSONList : kbzJSONObject);
            const IkbzJSON nested = member->GetJSONObject();
            const bool ok =
                c == '[' ? ReadList(*nested, depth + 1) : ReadObject(*nested, depth + 1);
            // A nested value cut short is still kept with what it holds.
            doc.Append(std::move(member));
            return ok;
        }
        default:
            return false;
        }
        Add(doc, std::move(name), kind, std::move(text));
        return true;
    }

    static void Add(TkbzJSON& doc, std::string name, TkbzJSONtype kind, std::string text)
    {
        auto member = std::make_shared<TkbzObjectJSON>();
        member->SetName(std::move(name));
        member->SetJSONType(kind);
        member->SetValue(std::move(text));
        doc.Append(std::move(member));
    }

    // true, false and null in any letter case; stored as the lower-case word.
    bool ScanWord(TkbzJSON& doc, std::string name, std::string_view word, TkbzJSONtype kind)
    {
        if (FText.size() - FPos < word.size())
        {
            return false;
        }
        for (std::size_t i = 0; i < word.size(); ++i)
        {
            if (AsciiLower(FText[FPos + i]) != word[i])
            {
                return false;
            }
        }
        FPos += word.size();
        Add(doc, std::move(name), kind, std::string(word));
        return true;
    }

    // The position is at the opening quote. The content is kept as written. A
    // backslash and the character after it form a pair; "\u" takes up to four
    // hex digits with it. Any other double quote closes the string, so a string
    // ending in an escaped backslash closes at its quote.
    bool ScanString(std::string& out)
    {
        const std::size_t start = FPos;
        ++FPos;
        while (!AtEnd())
        {
            const char c = Peek();
            if (c == '"')
            {
                out.assign(FText.substr(start + 1, FPos - start - 1));
                ++FPos;
                return true;
            }
            ++FPos;
            if (c == '\\' && !AtEnd())
            {
                const char escaped = Peek();
                ++FPos;
                if (escaped == 'u')
                {
                    for (int i = 0; i < 4 && !AtEnd() && HexValue(Peek()) >= 0; ++i)
                    {
                        ++FPos;
                    }
                }
            }
        }
        FPos = start;
        return false;
    }

    // [+-]digits[.digits][(e|E)[+-]digits], kept as written.
    bool ScanNumber(std::string& out)
    {
        const std::size_t start = FPos;
        const auto digits = [this] {
            const std::size_t from = FPos;
            while (!AtEnd() && IsDigit(Peek()))
            {
                ++FPos;
            }
            return FPos > from;
        };
        if (Peek() == '+' || Peek() == '-')
        {
            ++FPos;
        }
        bool ok = digits();
        if (ok && !AtEnd() && Peek() == '.')
        {
            ++FPos;
            ok = digits();
        }
        if (ok && !AtEnd() && (Peek() == 'e' || Peek() == 'E'))
        {
            ++FPos;
            if (!AtEnd() && (Peek() == '+' || Peek() == '-'))
            {
                ++FPos;
            }
            ok = digits();
        }
        if (!ok)
        {
            FPos = start;
            return false;
        }
        out.assign(FText.substr(start, FPos - start));
        return true;
    }

    std::string_view FText;
    std::size_t FPos = 0;
};

// The factory's list of documents it handed out, held weakly.
struct TInstanceList
{
    std::mutex Lock;
    std::vector<std::weak_ptr<TkbzJSON>> Items;
    std::size_t PruneAt = 64;
};

TInstanceList& Instances()
{
    // Never destroyed: threads that outlive main may still create documents.
    static auto* list = new TInstanceList;
    return *list;
}

} // namespace

// ---- TkbzObjectJSON ----

IkbzJSON TkbzObjectJSON::GetJSONObject()
{
    if (!FJSONObject)
    {
        FJSONObject = std::make_shared<TkbzJSON>();
        if (FJSONType != kbzJSONList)
        {
            FJSONType = kbzJSONObject;
        }
    }
    return FJSONObject;
}

IkbzObjectJSON TkbzObjectJSON::GetNode(std::string_view name)
{
    return GetJSONObject()->GetNode(name);
}

void TkbzObjectJSON::SetNode(std::string_view name, IkbzObjectJSON value)
{
    GetJSONObject()->SetNode(name, std::move(value));
}

IkbzObjectJSON TkbzObjectJSON::GetItem(std::size_t index)
{
    return GetJSONObject()->GetItem(index);
}

void TkbzObjectJSON::SetItem(std::size_t index, IkbzObjectJSON value)
{
    GetJSONObject()->SetItem(index, std::move(value));
}

std::string TkbzObjectJSON::GetValue()
{
    if (FJSONType == kbzJSONObject)
    {
        return GetJSONObject()->GetText();
    }
    if (FJSONType == kbzJSONList)
    {
        const IkbzJSON nested = GetJSONObject();
        nested->SetIsArray(true);
        return nested->GetText();
    }
    return FValue;
}

std::size_t TkbzObjectJSON::GetCount() const
{
    return FJSONObject ? FJSONObject->GetCount() : 0;
}

void TkbzObjectJSON::RenderValue(std::string& out) const
{
    switch (FJSONType)
    {
    case kbzJSONObject:
        if (FJSONObject)
        {
            FJSONObject->RenderTo(out);
        }
        else
        {
            out += "{}";
        }
        break;
    case kbzJSONList:
        // Written as a list whatever the nested document's own IsArray says.
        out += '[';
        if (FJSONObject)
        {
            for (std::size_t i = 0; i < FJSONObject->GetCount(); ++i)
            {
                if (i > 0)
                {
                    out += ',';
                }
                FJSONObject->GetItem(i)->RenderValue(out);
            }
        }
        out += ']';
        break;
    case kbzJSONString:
        if (FQuoted && (FValue.empty() || FValue.front() != '"'))
        {
            out += '"';
            out += FValue;
            out += '"';
        }
        else
        {
            out += FValue;
        }
        break;
    case kbzJSONNumber:
    case kbzJSONBoolean:
        out += FValue;
        break;
    case kbzJSONNull:
        // A null added by program code stores no text; it must still be written.
        out += FValue.empty() ? std::string_view("null") : std::string_view(FValue);
        break;
    case kbzJSONUndefined:
        break;
    }
}

// ---- TkbzJSON ----

IkbzObjectJSON TkbzJSON::GetNode(std::string_view name) const
{
    for (const auto& member : FData)
    {
        if (member && member->GetName() == name)
        {
            return member;
        }
    }
    return nullptr;
}

void TkbzJSON::SetNode(std::string_view name, IkbzObjectJSON value)
{
    for (auto& member : FData)
    {
        if (member && member->GetName() == name)
        {
            member = std::move(value);
            return;
        }
    }
}

IkbzObjectJSON TkbzJSON::GetItem(std::size_t index) const
{
    return index < FData.size() ? FData[index] : nullptr;
}

void TkbzJSON::SetItem(std::size_t index, IkbzObjectJSON value)
{
    if (index < FData.size())
    {
        FData[index] = std::move(value);
    }
}

IkbzObjectJSON TkbzJSON::AddMember(std::string_view name, std::string value, TkbzJSONtype kind,
                                   bool escapeValue)
{
    std::string storedName = FEscapeStrings ? kbzJSONEscapeString(name) : std::string(name);
    if (escapeValue && FEscapeStrings)
    {
        value = kbzJSONEscapeString(value);
    }
    if (auto existing = GetNode(storedName))
    {
        existing->SetValue(std::move(value));
        return existing;
    }
    auto member = std::make_shared<TkbzObjectJSON>();
    member->SetName(std::move(storedName));
    member->SetJSONType(kind);
    if (kind == kbzJSONObject || kind == kbzJSONList)
    {
        member->GetJSONObject()->Read(value);
    }
    else if (kind == kbzJSONString && !value.empty() &&
             (value.front() == '{' || value.front() == '['))
    {
        // A text that starts a JSON object or list is embedded as it is, without quotes.
        member->SetQuoted(false);
        member->SetValue(std::move(value));
    }
    else
    {
        member->SetValue(std::move(value));
    }
    FData.push_back(member);
    return member;
}

IkbzObjectJSON TkbzJSON::AddPair(std::string_view name, std::string_view value)
{
    return AddMember(name, std::string(value), kbzJSONString, true);
}

IkbzObjectJSON TkbzJSON::AddPair(std::string_view name, std::int32_t value)
{
    return AddMember(name, std::to_string(value), kbzJSONNumber, false);
}

IkbzObjectJSON TkbzJSON::AddPair(std::string_view name, std::int64_t value)
{
    return AddMember(name, std::to_string(value), kbzJSONNumber, false);
}

IkbzObjectJSON TkbzJSON::AddPair(std::string_view name, double value)
{
    return AddMember(name, kbzJSONFormatDouble(value), kbzJSONNumber, false);
}

IkbzObjectJSON TkbzJSON::AddPair(std::string_view name, bool value)
{
    return AddMember(name, value ? "true" : "false", kbzJSONBoolean, false);
}

IkbzObjectJSON TkbzJSON::AddPair(std::string_view name)
{
    return AddMember(name, std::string(), kbzJSONNull, false);
}

IkbzObjectJSON TkbzJSON::AddObject(std::string_view name, std::string_view json)
{
    return AddMember(name, std::string(json), kbzJSONObject, false);
}

IkbzObjectJSON TkbzJSON::AddArray(std::string_view name, std::string_view json)
{
    return AddMember(name, std::string(json), kbzJSONList, false);
}

void TkbzJSON::Read(std::string_view text)
{
    Clear();
    FIsArray = false;
    TReader reader(text);
    // Only a text that starts exactly with "[" is a list; the outcome and
    // anything after the top-level value are ignored.
    if (!text.empty() && text.front() == '[')
    {
        FIsArray = true;
        reader.ReadList(*this, 1);
    }
    else
    {
        reader.ReadObject(*this, 1);
    }
}

std::string TkbzJSON::GetText() const
{
    std::string out;
    RenderTo(out);
    return out;
}

void TkbzJSON::RenderTo(std::string& out) const
{
    if (FData.empty())
    {
        out += FIsArray ? "[]" : "{}";
        return;
    }
    out += FIsArray ? '[' : '{';
    for (std::size_t i = 0; i < FData.size(); ++i)
    {
        const auto& member = FData[i];
        if (member)
        {
            if (!FIsArray)
            {
                out += '"';
                out += member->GetName();
                out += "\":";
            }
            member->RenderValue(out);
        }
        if (i + 1 == FData.size())
        {
            out += FIsArray ? ']' : '}';
        }
        else if (out.back() != ',')
        {
            out += ',';
        }
    }
}

// ---- Factory ----

IkbzJSON CreateJSONInstance()
{
    auto document = std::make_shared<TkbzJSON>();
    auto& list = Instances();
    const std::lock_guard lock(list.Lock);
    if (list.Items.size() >= list.PruneAt)
    {
        std::erase_if(list.Items, [](const auto& item) { return item.expired(); });
        list.PruneAt = std::max<std::size_t>(64, list.Items.size() * 2);
    }
    list.Items.push_back(document);
    return document;
}

void FreeJSONInstance(const IkbzJSON& document)
{
    if (!document)
    {
        return;
    }
    auto& list = Instances();
    const std::lock_guard lock(list.Lock);
    std::erase_if(list.Items,
                  [&](const auto& item) { return item.expired() || item.lock() == document; });
}

namespace detail
{
std::size_t JSONInstanceListSize()
{
    auto& list = Instances();
    const std::lock_guard lock(list.Lock);
    return list.Items.size();
}
} // namespace detail

// ---- Text helpers ----

std::string kbzJSONEscapeString(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size() + 8);
    std::size_t pos = 0;
    while (pos < utf8.size())
    {
        const char32_t cp = NextCodePoint(utf8, pos);
        switch (cp)
        {
        case 8:
            out += "\\b";
            continue;
        case 9:
            out += "\\t";
            continue;
        case 10:
            out += "\\n";
            continue;
        case 12:
            out += "\\f";
            continue;
        case 13:
            out += "\\r";
            continue;
        case '"':
        case '/':
        case '\\':
            out += '\\';
            out += static_cast<char>(cp);
            continue;
        default:
            break;
        }
        if (cp < 32)
        {
            AppendU16Escape(out, static_cast<unsigned>(cp));
        }
        else if (cp < 128)
        {
            out += static_cast<char>(cp);
        }
        else if (cp < 0x10000)
        {
            AppendU16Escape(out, static_cast<unsigned>(cp));
        }
        else
        {
            const auto v = static_cast<unsigned>(cp - 0x10000);
            AppendU16Escape(out, 0xD800 + (v >> 10));
            AppendU16Escape(out, 0xDC00 + (v & 0x3FF));
        }
    }
    return out;
}

std::string kbzJSONDecodeString(std::string_view raw)
{
    std::string out;
    out.reserve(raw.size());
    std::size_t i = 0;
    while (i < raw.size())
    {
        const char c = raw[i];
        if (c != '\\' || i + 1 >= raw.size())
        {
            out += c;
            ++i;
            continue;
        }
        const char e = raw[i + 1];
        char simple = 0;
        switch (e)
        {
        case '"':
        case '\\':
        case '/':
            simple = e;
            break;
        case 'b':
            simple = '\b';
            break;
        case 'f':
            simple = '\f';
            break;
        case 'n':
            simple = '\n';
            break;
        case 'r':
            simple = '\r';
            break;
        case 't':
            simple = '\t';
            break;
        default:
            break;
        }
        if (simple != 0)
        {
            out += simple;
            i += 2;
            continue;
        }
        const long unit = e == 'u' ? HexUnit(raw, i + 2) : -1;
        if (unit < 0)
        {
            // Not an escape we know: keep the backslash and go on with what follows.
            out += c;
            ++i;
            continue;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF)
        {
            const bool pairFollows =
                i + 12 <= raw.size() && raw[i + 6] == '\\' && raw[i + 7] == 'u';
            const long low = pairFollows ? HexUnit(raw, i + 8) : -1;
            if (low >= 0xDC00 && low <= 0xDFFF)
            {
                AppendUtf8(
                    out, static_cast<char32_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
                i += 12;
                continue;
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF)
        {
            // A lone surrogate has no UTF-8 form.
            out.append(raw.substr(i, 6));
        }
        else
        {
            AppendUtf8(out, static_cast<char32_t>(unit));
        }
        i += 6;
    }
    return out;
}

std::string kbzJSONEscapeText(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size() + 8);
    for (const char c : utf8)
    {
        switch (c)
        {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20)
            {
                AppendU16Escape(out, static_cast<unsigned char>(c));
            }
            else
            {
                out += c;
            }
        }
    }
    return out;
}

std::string kbzJSONFormatDouble(double value)
{
    if (!std::isfinite(value))
    {
        return "null";
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return std::string(buffer, result.ptr);
}

} // namespace kbz
