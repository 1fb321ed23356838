#include "websocket/kbzWebSocket_Extension_PerMessage_Deflate.h"

#include "websocket/kbzWebSocket_Extensions_Internal.h"

#include <algorithm>
#include <optional>

namespace kbz
{

namespace
{

constexpr const char* ExtensionName = "permessage-deflate";
constexpr const char* ClientMaxWindowBits = "client_max_window_bits";
constexpr const char* ClientNoContextTakeover = "client_no_context_takeover";
constexpr const char* ServerMaxWindowBits = "server_max_window_bits";
constexpr const char* ServerNoContextTakeover = "server_no_context_takeover";

constexpr int LevelPerMessage = 1;

bool ValidWindowBits(int value)
{
    return value >= 8 && value <= 15;
}

void CheckWindowBits(int value)
{
    if (!ValidWindowBits(value))
    {
        throw EArgumentException(detail::FormatWindowBitsError(value));
    }
}

// A window-bits value of an offer as the server reads it: a number 8..15, else nothing.
std::optional<int> OfferedWindowBits(const std::string& value)
{
    const int bits = kbzStrToIntDef(value, 0);
    if (!ValidWindowBits(bits))
    {
        return std::nullopt;
    }
    return bits;
}

// A window-bits value of an answer as the client reads it: anything but 8..15 fails the handshake.
int AnsweredWindowBits(const std::string& value)
{
    const int bits = kbzStrToInt(value); // EConvertError for a non-number
    if (!ValidWindowBits(bits))
    {
        throw TkbzWSException(detail::FormatWindowBitsError(bits));
    }
    return bits;
}

} // namespace

TkbzWSExtension_PerMessage_Deflate::TkbzWSExtension_PerMessage_Deflate()
{
    FHeaderExtension = ExtensionName;
}

void TkbzWSExtension_PerMessage_Deflate::SetServerMaxWindowBits(int value)
{
    CheckWindowBits(value);
    FServerMaxWindowBits = value;
}

void TkbzWSExtension_PerMessage_Deflate::SetClientMaxWindowBits(int value)
{
    CheckWindowBits(value);
    FClientMaxWindowBits = value;
}

void TkbzWSExtension_PerMessage_Deflate::SetMemLevel(int value)
{
    if (value < 1 || value > 9)
    {
        throw EArgumentException("Invalid Value for MemLevel " + std::to_string(value));
    }
    FMemLevel = value;
}

std::string TkbzWSExtension_PerMessage_Deflate::GetName() const
{
    return IsClient() ? "permessage-deflate; client_max_window_bits" : ExtensionName;
}

std::string TkbzWSExtension_PerMessage_Deflate::GetHeaderExtension() const
{
    if (!IsClient())
    {
        return TkbzWSExtension_Base::GetHeaderExtension();
    }
    // client_max_window_bits is named once: bare when we accept any window the server picks
    // for us, with our limit otherwise.
    std::string offer = "permessage-deflate; client_max_window_bits";
    if (FClientMaxWindowBits != 15)
    {
        offer += "=" + std::to_string(FClientMaxWindowBits);
    }
    if (FClientNoContextTakeOver)
    {
        offer += std::string(";") + ClientNoContextTakeover;
    }
    if (FServerMaxWindowBits != 15)
    {
        offer +=
            std::string(";") + ServerMaxWindowBits + "=" + std::to_string(FServerMaxWindowBits);
    }
    if (FServerNoContextTakeOver)
    {
        offer += std::string(";") + ServerNoContextTakeover;
    }
    return "Sec-WebSocket-Extensions: " + offer;
}

bool TkbzWSExtension_PerMessage_Deflate::DecodeExtension(const std::string& item)
{
    const detail::ExtensionItem parsed = detail::ParseExtensionItem(item);
    if (!kbzSameText(parsed.name, ExtensionName))
    {
        return false;
    }
    if (IsClient())
    {
        DecodeAnswer(parsed);
        return true;
    }
    return DecodeOffer(parsed);
}

// The server's side. RFC 7692 section 5: an offer with an unknown, repeated or invalid parameter
// is declined as a whole, so the client's next offer (if any) gets its turn. What the offer asks
// for is combined with our own settings: the smaller window wins, and a context takeover that
// either side turns off stays off; whatever we impose is announced, or the peers would disagree
// about the window.
bool TkbzWSExtension_PerMessage_Deflate::DecodeOffer(const detail::ExtensionItem& item)
{
    std::optional<int> clientBits; // offered client_max_window_bits (bare: 15)
    std::optional<int> serverBits; // offered server_max_window_bits
    bool clientNoContext = false;
    bool serverNoContext = false;
    std::vector<std::string> seen;
    std::vector<std::string> order; // parameter names in offer order, for the answer

    for (const detail::ExtensionParam& param : item.params)
    {
        if (std::find(seen.begin(), seen.end(), param.name) != seen.end())
        {
            return false;
        }
        seen.push_back(param.name);
        if (param.name == ClientMaxWindowBits)
        {
            if (param.hasValue)
            {
                clientBits = OfferedWindowBits(param.value);
                if (!clientBits)
                {
                    return false;
                }
            }
            else
            {
                clientBits = 15;
            }
        }
        else if (param.name == ServerMaxWindowBits)
        {
            if (!param.hasValue)
            {
                return false;
            }
            serverBits = OfferedWindowBits(param.value);
            if (!serverBits)
            {
                return false;
            }
        }
        else if (param.name == ClientNoContextTakeover || param.name == ServerNoContextTakeover)
        {
            if (param.hasValue)
            {
                return false;
            }
            (param.name == ClientNoContextTakeover ? clientNoContext : serverNoContext) = true;
        }
        else
        {
            return false;
        }
        order.push_back(param.name);
    }

    // What this connection will use.
    const int agreedServerBits =
        serverBits ? std::min(*serverBits, FServerMaxWindowBits) : FServerMaxWindowBits;
    // Without the parameter in the offer the client's window cannot be limited.
    const int agreedClientBits = clientBits ? std::min(*clientBits, FClientMaxWindowBits) : 15;
    const bool agreedServerNoContext = serverNoContext || FServerNoContextTakeOver;
    const bool agreedClientNoContext = clientNoContext || FClientNoContextTakeOver;

    // Answer parameters in the order of the offer, then those only our settings ask for.
    if (!serverNoContext && agreedServerNoContext)
    {
        order.emplace_back(ServerNoContextTakeover);
    }
    if (!clientNoContext && agreedClientNoContext)
    {
        order.emplace_back(ClientNoContextTakeover);
    }
    if (!serverBits && agreedServerBits != 15)
    {
        order.emplace_back(ServerMaxWindowBits);
    }
    std::string answer = ExtensionName;
    for (const std::string& name : order)
    {
        answer += ";" + name;
        if (name == ClientMaxWindowBits)
        {
            answer += "=" + std::to_string(agreedClientBits);
        }
        else if (name == ServerMaxWindowBits)
        {
            answer += "=" + std::to_string(agreedServerBits);
        }
    }

    FServerMaxWindowBits = agreedServerBits;
    FClientMaxWindowBits = agreedClientBits;
    FServerNoContextTakeOver = agreedServerNoContext;
    FClientNoContextTakeOver = agreedClientNoContext;
    FHeaderExtension = answer;
    return true;
}

// The client's side: the answer says how the server compresses, so the decompressor follows it
// rather than our offer; our own compressor keeps the smaller window and drops context takeover
// when either we or the server want that.
void TkbzWSExtension_PerMessage_Deflate::DecodeAnswer(const detail::ExtensionItem& item)
{
    int serverBits = 15;
    int clientBits = FClientMaxWindowBits;
    bool serverNoContext = false;
    bool clientNoContext = FClientNoContextTakeOver;
    for (const detail::ExtensionParam& param : item.params)
    {
        if (param.name == ClientMaxWindowBits)
        {
            if (param.hasValue)
            {
                clientBits = std::min(FClientMaxWindowBits, AnsweredWindowBits(param.value));
            }
        }
        else if (param.name == ServerMaxWindowBits)
        {
            if (param.hasValue)
            {
                serverBits = AnsweredWindowBits(param.value);
            }
        }
        else if (param.name == ClientNoContextTakeover)
        {
            clientNoContext = true;
        }
        else if (param.name == ServerNoContextTakeover)
        {
            serverNoContext = true;
        }
    }
    FServerMaxWindowBits = serverBits;
    FClientMaxWindowBits = clientBits;
    FServerNoContextTakeOver = serverNoContext;
    FClientNoContextTakeOver = clientNoContext;
}

void TkbzWSExtension_PerMessage_Deflate::Assign(const TkbzWSExtension_Base& source)
{
    TkbzWSExtension_Base::Assign(source);
    FHeaderExtension = ExtensionName;
    if (const auto* other = dynamic_cast<const TkbzWSExtension_PerMessage_Deflate*>(&source))
    {
        FMode = other->FMode;
        SetServerMaxWindowBits(other->FServerMaxWindowBits);
        FServerNoContextTakeOver = other->FServerNoContextTakeOver;
        SetClientMaxWindowBits(other->FClientMaxWindowBits);
        FClientNoContextTakeOver = other->FClientNoContextTakeOver;
    }
}

TkbzWSExtension_Base::TDeflateParams TkbzWSExtension_PerMessage_Deflate::OutgoingParams() const
{
    const bool client = IsClient();
    return {LevelPerMessage, client ? FClientMaxWindowBits : FServerMaxWindowBits, FMemLevel,
            !(client ? FClientNoContextTakeOver : FServerNoContextTakeOver)};
}

TkbzWSExtension_Base::TInflateParams TkbzWSExtension_PerMessage_Deflate::IncomingParams() const
{
    const bool client = IsClient();
    return {client ? FServerMaxWindowBits : FClientMaxWindowBits,
            !(client ? FServerNoContextTakeOver : FClientNoContextTakeOver)};
}

} // namespace kbz
