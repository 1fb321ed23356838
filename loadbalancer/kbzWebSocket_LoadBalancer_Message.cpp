#include "loadbalancer/kbzWebSocket_LoadBalancer_Message.h"

#include "base/kbzBase_Helpers.h"

#include "json/kbzJSON.h"
#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kbz
{

namespace
{

// A compact JSON object written member by member. Strings are always quoted
// and escaped to ASCII: the document model would embed a text that starts
// with "{" unquoted, which a peer could use to inject members.
class ObjectWriter
{
public:
    ObjectWriter() { FText.push_back('{'); }
    ObjectWriter& String(std::string_view name, std::string_view value)
    {
        Name(name);
        FText.push_back('"');
        FText += kbzJSONEscapeString(value);
        FText.push_back('"');
        return *this;
    }
    ObjectWriter& Boolean(std::string_view name, bool value)
    {
        Name(name);
        FText += value ? "true" : "false";
        return *this;
    }
    ObjectWriter& Number(std::string_view name, std::int64_t value)
    {
        Name(name);
        FText += std::to_string(value);
        return *this;
    }
    std::string Text()
    {
        FText.push_back('}');
        return std::move(FText);
    }

private:
    void Name(std::string_view name)
    {
        if (FText.size() > 1)
        {
            FText.push_back(',');
        }
        FText.push_back('"');
        FText += name;
        FText += "\":";
    }
    std::string FText;
};

// A received record: its members looked up by name, strings unescaped.
class ObjectReader
{
public:
    explicit ObjectReader(std::string_view text) : FDocument(CreateJSONInstance())
    {
        FDocument->Read(text);
        FreeJSONInstance(FDocument);
    }
    bool IsObject() const { return !FDocument->GetIsArray() && FDocument->GetCount() > 0; }
    std::string String(std::string_view name) const
    {
        const IkbzObjectJSON member = FDocument->GetNode(name);
        if (!member)
        {
            return {};
        }
        switch (member->GetJSONType())
        {
        case TkbzJSONtype::kbzJSONString:
            return kbzJSONDecodeString(member->GetRawValue());
        case TkbzJSONtype::kbzJSONNumber:
        case TkbzJSONtype::kbzJSONBoolean:
            return member->GetRawValue();
        default:
            return {};
        }
    }
    bool Boolean(std::string_view name) const { return kbzSameText(String(name), "true"); }
    std::int32_t Integer(std::string_view name) const
    {
        const std::string value = kbzTrim(String(name));
        return value.empty() ? 0 : kbzStrToInt(value);
    }

private:
    IkbzJSON FDocument;
};

[[noreturn]] void RaiseNotANumber(std::string_view digits)
{
    throw EConvertError("'" + std::string(digits) + "' is not a valid integer value");
}

// Exactly count decimal digits at the start of text (no sign, no blanks, no base prefix).
std::uint64_t ReadDigits(std::string_view text, std::size_t count)
{
    if (text.size() < count)
    {
        RaiseNotANumber(text);
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i)
    {
        const char c = text[i];
        if (c < '0' || c > '9')
        {
            RaiseNotANumber(text.substr(0, count));
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

// The byte length of the first units UTF-16 code units of utf8, or npos when
// the text is shorter or the count ends inside a character. A malformed byte
// counts as one unit (as kbzUTF16Length counts it).
std::size_t BytesOfUnits(std::string_view utf8, std::size_t units)
{
    std::size_t i = 0;
    std::size_t counted = 0;
    while (counted < units)
    {
        if (i >= utf8.size())
        {
            return std::string_view::npos;
        }
        const auto c = static_cast<unsigned char>(utf8[i]);
        std::size_t length = 1;
        std::size_t weight = 1;
        if (c >= 0xC2 && c <= 0xDF)
        {
            length = 2;
        }
        else if (c >= 0xE0 && c <= 0xEF)
        {
            length = 3;
        }
        else if (c >= 0xF0 && c <= 0xF4)
        {
            length = 4;
            weight = 2;
        }
        bool valid = i + length <= utf8.size();
        for (std::size_t k = 1; valid && k < length; ++k)
        {
            valid = (static_cast<unsigned char>(utf8[i + k]) & 0xC0) == 0x80;
        }
        if (!valid)
        {
            length = 1;
            weight = 1;
        }
        counted += weight;
        if (counted > units)
        {
            return std::string_view::npos; // half of a surrogate pair
        }
        i += length;
    }
    return i;
}

template <class T> const T* SameKind(const TkbzPersistent& src)
{
    return dynamic_cast<const T*>(&src);
}

} // namespace

// ---- Text envelope ----

void TkbzWSLoadBalancerMessage::Assign(const TkbzPersistent& src)
{
    if (const auto* s = SameKind<TkbzWSLoadBalancerMessage>(src))
    {
        FGuid = s->FGuid;
        FChannel = s->FChannel;
        FProtocol = s->FProtocol;
        FInclude = s->FInclude;
        FExclude = s->FExclude;
        FText = s->FText;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSLoadBalancerMessage::Clear()
{
    FGuid.clear();
    FChannel.clear();
    FProtocol.clear();
    FInclude.clear();
    FExclude.clear();
    FText.clear();
}

std::string TkbzWSLoadBalancerMessage::Write() const
{
    std::string header = ObjectWriter()
                             .String("guid", FGuid)
                             .String("channel", FChannel)
                             .String("protocol", FProtocol)
                             .String("include", FInclude)
                             .String("exclude", FExclude)
                             .Text();
    // Escaped to ASCII: characters, UTF-16 units and bytes are the same count.
    if (header.size() > kbzLoadBalancerMaxHeader)
    {
        throw TkbzWSException("Load balancer message header too long (" +
                              std::to_string(header.size()) + " characters, at most " +
                              std::to_string(kbzLoadBalancerMaxHeader) + ").");
    }
    char length[4];
    std::snprintf(length, sizeof length, "%.3d", static_cast<int>(header.size()));
    std::string message;
    message.reserve(3 + header.size() + FText.size());
    message.append(length, 3);
    message += header;
    message += FText;
    return message;
}

void TkbzWSLoadBalancerMessage::Read(std::string_view message)
{
    Clear();
    const std::size_t units = static_cast<std::size_t>(ReadDigits(message, 3));
    const std::string_view rest = message.substr(3);
    // The length counts characters as UTF-16 units (what a peer that does not
    // escape its header would count); ours are ASCII.
    const std::size_t bytes = BytesOfUnits(rest, units);
    if (bytes == std::string_view::npos)
    {
        throw TkbzWSException("Invalid load balancer message: a header of " +
                              std::to_string(units) + " characters does not fit in " +
                              std::to_string(kbzUTF16Length(rest)) + ".");
    }
    const std::string_view header = rest.substr(0, bytes);
    const ObjectReader reader(header);
    if (header.empty() || header.front() != '{' || !reader.IsObject())
    {
        throw TkbzWSException("Invalid load balancer message: the header is no JSON object.");
    }
    FGuid = reader.String("guid");
    FChannel = reader.String("channel");
    FProtocol = reader.String("protocol");
    FInclude = reader.String("include");
    FExclude = reader.String("exclude");
    FText = std::string(rest.substr(bytes));
}

// ---- Binary envelope ----

void TkbzWSLoadBalancerBinary::Assign(const TkbzPersistent& src)
{
    if (const auto* s = SameKind<TkbzWSLoadBalancerBinary>(src))
    {
        FGuid = s->FGuid;
        FChannel = s->FChannel;
        FProtocol = s->FProtocol;
        FInclude = s->FInclude;
        FExclude = s->FExclude;
        FSize = s->FSize;
        FStreaming = s->FStreaming;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSLoadBalancerBinary::Clear()
{
    FGuid.clear();
    FChannel.clear();
    FProtocol.clear();
    FInclude.clear();
    FExclude.clear();
    FSize = 0;
    FStreaming = TwsStreaming::stmNone;
}

std::vector<std::uint8_t>
TkbzWSLoadBalancerBinary::Write(std::span<const std::uint8_t> payload) const
{
    char length[12];
    std::snprintf(length, sizeof length, "%.10llu", static_cast<unsigned long long>(FGuid.size()));
    std::vector<std::uint8_t> message(10 + FGuid.size() + payload.size());
    std::memcpy(message.data(), length, 10);
    if (!FGuid.empty())
    {
        std::memcpy(message.data() + 10, FGuid.data(), FGuid.size());
    }
    if (!payload.empty())
    {
        std::memcpy(message.data() + 10 + FGuid.size(), payload.data(), payload.size());
    }
    return message;
}

std::vector<std::uint8_t> TkbzWSLoadBalancerBinary::Write(TkbzStream& payload) const
{
    payload.SetPosition(0);
    const std::vector<std::uint8_t> bytes = payload.ReadBytes();
    return Write(std::span<const std::uint8_t>(bytes));
}

std::span<const std::uint8_t> TkbzWSLoadBalancerBinary::Read(std::span<const std::uint8_t> message)
{
    Clear();
    const std::string_view text(reinterpret_cast<const char*>(message.data()),
                                std::min<std::size_t>(message.size(), 10));
    const std::uint64_t length = ReadDigits(text, 10);
    if (length > message.size() - 10)
    {
        throw TkbzWSException("Invalid load balancer message: an identifier of " +
                              std::to_string(length) + " bytes does not fit in " +
                              std::to_string(message.size() - 10) + ".");
    }
    const std::size_t n = static_cast<std::size_t>(length);
    FGuid.assign(reinterpret_cast<const char*>(message.data()) + 10, n);
    return message.subspan(10 + n);
}

// ---- Registration records ----

void TkbzWSLoadBalancerClientConnection::Assign(const TkbzPersistent& src)
{
    if (const auto* s = SameKind<TkbzWSLoadBalancerClientConnection>(src))
    {
        FActive = s->FActive;
        FChannel = s->FChannel;
        FIP = s->FIP;
        FGuid = s->FGuid;
        FProtocol = s->FProtocol;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSLoadBalancerClientConnection::Clear()
{
    FActive = false;
    FChannel.clear();
    FIP.clear();
    FGuid.clear();
    FProtocol.clear();
}

std::string TkbzWSLoadBalancerClientConnection::Write() const
{
    return ObjectWriter()
        .String("method", kbzLoadBalancerMethodConnection)
        .Boolean("active", FActive)
        .String("guid", FGuid)
        .String("ip", FIP)
        .String("channel", FChannel)
        .String("protocol", FProtocol)
        .Text();
}

void TkbzWSLoadBalancerClientConnection::Read(std::string_view text)
{
    Clear();
    const ObjectReader reader(text);
    FActive = reader.Boolean("active");
    FGuid = reader.String("guid");
    FIP = reader.String("ip");
    FChannel = reader.String("channel");
    FProtocol = reader.String("protocol");
}

void TkbzWSLoadBalancerServerBinding::Assign(const TkbzPersistent& src)
{
    if (const auto* s = SameKind<TkbzWSLoadBalancerServerBinding>(src))
    {
        FHost = s->FHost;
        FPort = s->FPort;
        FSSL = s->FSSL;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSLoadBalancerServerBinding::Clear()
{
    FHost.clear();
    FPort = 0;
    FSSL = false;
}

std::string TkbzWSLoadBalancerServerBinding::Write() const
{
    return ObjectWriter()
        .String("method", kbzLoadBalancerMethodBinding)
        .String("host", FHost)
        .Number("port", FPort)
        .Boolean("ssl", FSSL)
        .Text();
}

void TkbzWSLoadBalancerServerBinding::Read(std::string_view text)
{
    Clear();
    const ObjectReader reader(text);
    FHost = reader.String("host");
    FPort = reader.Integer("port");
    FSSL = reader.Boolean("ssl");
}

void TkbzWSLoadBalancerServerData::Assign(const TkbzPersistent& src)
{
    if (const auto* s = SameKind<TkbzWSLoadBalancerServerData>(src))
    {
        FGuid = s->FGuid;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSLoadBalancerServerData::Clear()
{
    FGuid.clear();
}

std::string TkbzWSLoadBalancerServerData::Write() const
{
    return ObjectWriter().String("method", kbzLoadBalancerMethodData).String("guid", FGuid).Text();
}

void TkbzWSLoadBalancerServerData::Read(std::string_view text)
{
    Clear();
    FGuid = ObjectReader(text).String("guid");
}

TkbzLoadBalancerTextKind kbzLoadBalancerTextKind(std::string_view text)
{
    using enum TkbzLoadBalancerTextKind;
    if (text.size() >= 3 && text[0] >= '0' && text[0] <= '9' && text[1] >= '0' && text[1] <= '9' &&
        text[2] >= '0' && text[2] <= '9')
    {
        return lbkEnvelope;
    }
    if (text == kbzLoadBalancerReady)
    {
        return lbkReady;
    }
    if (text.empty() || text.front() != '{')
    {
        return lbkUnknown;
    }
    const std::string method = ObjectReader(text).String("method");
    if (method == kbzLoadBalancerMethodConnection)
    {
        return lbkConnection;
    }
    if (method == kbzLoadBalancerMethodBinding)
    {
        return lbkBinding;
    }
    if (method == kbzLoadBalancerMethodData)
    {
        return lbkData;
    }
    return lbkUnknown;
}

} // namespace kbz
