#include "auth/kbzHTTP_JWT_Classes.h"

#include <algorithm>
#include <optional>

namespace kbz
{

namespace detail
{

std::string EscapeJWTText(std::string_view utf8)
{
    std::string out = kbzJSONEscapeString(utf8);
    // The shared rule keeps DEL as it is; tokens escape everything above 126.
    if (out.find('\x7F') != std::string::npos)
    {
        out = kbzReplaceText(out, "\x7F", "\\u007F");
    }
    return out;
}

} // namespace detail

namespace
{

IkbzObjectJSON NewMember(std::string_view name, TkbzJSONtype kind, std::string value, bool quoted)
{
    auto member = std::make_shared<TkbzObjectJSON>();
    // Names are escaped as values are: a claim name with a quote must not break the text.
    member->SetName(detail::EscapeJWTText(name));
    member->SetJSONType(kind);
    member->SetQuoted(quoted);
    member->SetValue(std::move(value));
    return member;
}

// A claim that reads as a signed decimal integer of 64 bits ("42", "-7", "+5", "007"); it is
// written as JSON wants a number, whatever sign or leading zeros it was given with.
std::optional<std::int64_t> ClaimInteger(std::string_view value)
{
    bool negative = false;
    if (!value.empty() && (value.front() == '+' || value.front() == '-'))
    {
        negative = value.front() == '-';
        value.remove_prefix(1);
    }
    if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos)
    {
        return std::nullopt;
    }
    const std::size_t first = std::min(value.find_first_not_of('0'), value.size() - 1);
    std::string digits = negative ? "-" : "";
    digits += value.substr(first);
    return detail::ParseJSONInteger(digits);
}

} // namespace

void TkbzHTTP_JWTBase_JSON::AddKeyValue(std::string_view name, std::string_view value)
{
    std::string item(name);
    item += '=';
    item += value;
    KeyValueList().push_back(std::move(item));
}

void TkbzHTTP_JWTBase_JSON::AddKeyValue(std::string_view name, bool value)
{
    AddKeyValue(name, value ? std::string_view("true") : std::string_view("false"));
}

void TkbzHTTP_JWTBase_JSON::ClearKeyValues()
{
    if (FKeyValue)
    {
        FKeyValue->clear();
    }
}

std::vector<std::string> TkbzHTTP_JWTBase_JSON::KeyValues() const
{
    return FKeyValue ? *FKeyValue : std::vector<std::string>{};
}

std::vector<std::string>& TkbzHTTP_JWTBase_JSON::KeyValueList()
{
    if (!FKeyValue)
    {
        FKeyValue = std::make_unique<std::vector<std::string>>();
    }
    return *FKeyValue;
}

TkbzJSON& TkbzHTTP_JWTBase_JSON::NewDocument()
{
    if (!FJSON)
    {
        FJSON = std::make_shared<TkbzJSON>();
    }
    FJSON->Clear();
    return *FJSON;
}

void TkbzHTTP_JWTBase_JSON::AddText(TkbzJSON& doc, std::string_view name, std::string_view value)
{
    if (!value.empty() && (value.front() == '{' || value.front() == '[') &&
        detail::IsStrictJSON(value))
    {
        doc.Append(NewMember(name, TkbzJSONtype::kbzJSONString, std::string(value), false));
        return;
    }
    doc.Append(NewMember(name, TkbzJSONtype::kbzJSONString, detail::EscapeJWTText(value), true));
}

void TkbzHTTP_JWTBase_JSON::AddNumber(TkbzJSON& doc, std::string_view name, std::int64_t value)
{
    doc.Append(NewMember(name, TkbzJSONtype::kbzJSONNumber, std::to_string(value), false));
}

void TkbzHTTP_JWTBase_JSON::AddKeyValues(TkbzJSON& doc) const
{
    if (!FKeyValue)
    {
        return;
    }
    for (const std::string& item : *FKeyValue)
    {
        const std::size_t eq = item.find('=');
        const std::string_view name = std::string_view(item).substr(0, eq);
        const std::string_view value =
            eq == std::string::npos ? std::string_view() : std::string_view(item).substr(eq + 1);
        if (value == "true" || value == "false")
        {
            doc.Append(NewMember(name, TkbzJSONtype::kbzJSONBoolean, std::string(value), false));
            continue;
        }
        if (auto number = ClaimInteger(value))
        {
            AddNumber(doc, name, *number);
            continue;
        }
        AddText(doc, name, value);
    }
}

void TkbzHTTP_JWTHeader::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzHTTP_JWTHeader*>(&src))
    {
        alg = s->alg;
        kid = s->kid;
        typ = s->typ;
        return;
    }
    TkbzPersistent::Assign(src);
}

std::string TkbzHTTP_JWTHeader::GetJSON()
{
    TkbzJSON& doc = NewDocument();
    doc.Append(
        NewMember("alg", TkbzJSONtype::kbzJSONString, std::string(kbzJWTAlgorithmText(alg)), true));
    AddText(doc, "typ", typ);
    if (!kid.empty())
    {
        AddText(doc, "kid", kid);
    }
    AddKeyValues(doc);
    return doc.GetText();
}

void TkbzHTTP_JWTPayload::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzHTTP_JWTPayload*>(&src))
    {
        iss = s->iss;
        sub = s->sub;
        aud = s->aud;
        jti = s->jti;
        iat = s->iat;
        exp = s->exp;
        nbf = s->nbf;
        return;
    }
    TkbzPersistent::Assign(src);
}

std::string TkbzHTTP_JWTPayload::GetJSON()
{
    TkbzJSON& doc = NewDocument();
    const std::pair<std::string_view, const std::string*> texts[] = {
        {"iss", &iss}, {"sub", &sub}, {"aud", &aud}, {"jti", &jti}};
    for (const auto& [name, value] : texts)
    {
        if (!value->empty())
        {
            AddText(doc, name, *value);
        }
    }
    const std::pair<std::string_view, std::int64_t> times[] = {
        {"iat", iat}, {"exp", exp}, {"nbf", nbf}};
    for (const auto& [name, value] : times)
    {
        if (value > 0)
        {
            AddNumber(doc, name, value);
        }
    }
    AddKeyValues(doc);
    return doc.GetText();
}

} // namespace kbz

#include "auth/kbzHTTP_JWT_ES.h"
#include "auth/kbzHTTP_JWT_HMAC.h"
#include "auth/kbzHTTP_JWT_RSA.h"

namespace kbz::detail
{

TJWTSigners::TJWTSigners() = default;
TJWTSigners::~TJWTSigners() = default;

TkbzHTTP_JWT_HMAC& TJWTSigners::HMAC()
{
    std::lock_guard guard(FLock);
    if (!FJWTHMAC)
    {
        FJWTHMAC = std::make_unique<TkbzHTTP_JWT_HMAC>();
    }
    return *FJWTHMAC;
}

TkbzHTTP_JWT_RSA& TJWTSigners::RSA()
{
    std::lock_guard guard(FLock);
    if (!FJWTRSA)
    {
        FJWTRSA = std::make_unique<TkbzHTTP_JWT_RSA>();
    }
    return *FJWTRSA;
}

TkbzHTTP_JWT_ES& TJWTSigners::ES()
{
    std::lock_guard guard(FLock);
    if (!FJWTES)
    {
        FJWTES = std::make_unique<TkbzHTTP_JWT_ES>();
    }
    return *FJWTES;
}

TBytes TJWTSigners::Sign(TkbzHTTP_JWT_Algorithm alg, std::string_view input, std::string_view key)
{
    switch (kbzJWTFamily(alg))
    {
    case TkbzHTTP_JWT_Family::jwfHS:
        return HMAC().Sign(alg, input, key);
    case TkbzHTTP_JWT_Family::jwfRS:
        return RSA().Sign(alg, input, key);
    case TkbzHTTP_JWT_Family::jwfES:
        return ES().Sign(alg, input, key);
    case TkbzHTTP_JWT_Family::jwfNone:
        break;
    }
    throw TkbzJWTException("JWT cannot be validated");
}

bool TJWTSigners::Verify(TkbzHTTP_JWT_Algorithm alg, std::string_view header,
                         std::string_view payload, std::string_view signature, std::string_view key)
{
    switch (kbzJWTFamily(alg))
    {
    case TkbzHTTP_JWT_Family::jwfHS:
        return HMAC().Validate(alg, header, payload, signature, key);
    case TkbzHTTP_JWT_Family::jwfRS:
        return RSA().Validate(alg, header, payload, signature, key);
    case TkbzHTTP_JWT_Family::jwfES:
        return ES().Validate(alg, header, payload, signature, key);
    case TkbzHTTP_JWT_Family::jwfNone:
        break;
    }
    throw TkbzJWTException("JWT cannot be validated");
}

std::string SignJWT(TJWTSigners& signers, TkbzHTTP_JWT_Algorithm alg, std::string_view header,
                    std::string_view payload, std::string_view key)
{
    std::string token = kbzEncodeBase64URL(header);
    token += '.';
    token += kbzEncodeBase64URL(payload);
    const TBytes signature = signers.Sign(alg, token, key);
    token += '.';
    token += kbzEncodeBase64URL(signature);
    return token;
}

namespace
{

// The decoded text of a segment that must hold a JSON object.
std::string DecodeSegment(std::string_view segment)
{
    std::optional<TBytes> bytes = kbzDecodeBase64URL(segment);
    if (!bytes)
    {
        throw TkbzJWTException("JWT is invalid, cannot be decoded.");
    }
    std::string text(bytes->begin(), bytes->end());
    if (!IsStrictJSON(text, true))
    {
        throw TkbzJWTException("JWT is invalid, cannot be decoded.");
    }
    return text;
}

} // namespace

TJWTParts SplitJWT(std::string_view token)
{
    const std::size_t first = token.find('.');
    const std::size_t second = first == std::string_view::npos ? first : token.find('.', first + 1);
    if (second == std::string_view::npos || token.find('.', second + 1) != std::string_view::npos)
    {
        throw TkbzJWTException("JWT is invalid, cannot be splitted.");
    }
    TJWTParts parts;
    parts.headerSegment = token.substr(0, first);
    parts.payloadSegment = token.substr(first + 1, second - first - 1);
    parts.signature = token.substr(second + 1);
    parts.header = DecodeSegment(parts.headerSegment);
    parts.payload = DecodeSegment(parts.payloadSegment);
    TkbzJSON header;
    header.Read(parts.header);
    if (const IkbzObjectJSON alg = FindJWTMember(header, "alg");
        alg && alg->GetJSONType() == TkbzJSONtype::kbzJSONString)
    {
        parts.alg = kbzJWTAlgorithmFromText(kbzJSONDecodeString(alg->GetRawValue()));
    }
    parts.claims = std::make_shared<TkbzJSON>();
    parts.claims->Read(parts.payload);
    return parts;
}

IkbzObjectJSON FindJWTMember(const TkbzJSON& doc, std::string_view name)
{
    for (std::size_t i = 0; i < doc.GetCount(); ++i)
    {
        IkbzObjectJSON member = doc.GetItem(i);
        if (member && kbzJSONDecodeString(member->GetName()) == name)
        {
            return member;
        }
    }
    return nullptr;
}

} // namespace kbz::detail
