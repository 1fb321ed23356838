#include "auth/kbzHTTP_JWT_Types.h"

#include "json/kbzJSON.h"
#include <array>
#include <chrono>
#include <limits>
#include <set>

namespace kbz
{

namespace
{

struct TAlgorithmName
{
    TkbzHTTP_JWT_Algorithm alg;
    std::string_view text;
};

constexpr std::array<TAlgorithmName, 9> kAlgorithmNames{{
    {TkbzHTTP_JWT_Algorithm::jwtHS256, "HS256"},
    {TkbzHTTP_JWT_Algorithm::jwtHS384, "HS384"},
    {TkbzHTTP_JWT_Algorithm::jwtHS512, "HS512"},
    {TkbzHTTP_JWT_Algorithm::jwtRS256, "RS256"},
    {TkbzHTTP_JWT_Algorithm::jwtRS384, "RS384"},
    {TkbzHTTP_JWT_Algorithm::jwtRS512, "RS512"},
    {TkbzHTTP_JWT_Algorithm::jwtES256, "ES256"},
    {TkbzHTTP_JWT_Algorithm::jwtES384, "ES384"},
    {TkbzHTTP_JWT_Algorithm::jwtES512, "ES512"},
}};

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::array<std::int8_t, 256> MakeDecodeTable()
{
    std::array<std::int8_t, 256> table{};
    for (auto& v : table)
    {
        v = -1;
    }
    for (int i = 0; i < 64; ++i)
    {
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    }
    return table;
}

constexpr std::array<std::int8_t, 256> kDecode = MakeDecodeTable();

// A strict recursive-descent check of one JSON value.
class TStrictJSON
{
public:
    explicit TStrictJSON(std::string_view text) : FText(text) {}

    bool Document(bool objectOnly)
    {
        SkipWhitespace();
        if (objectOnly && (AtEnd() || Peek() != '{'))
        {
            return false;
        }
        if (!Value(0, objectOnly))
        {
            return false;
        }
        SkipWhitespace();
        return AtEnd();
    }

private:
    static constexpr int MaxDepth = 256;

    bool AtEnd() const { return FPos >= FText.size(); }
    char Peek() const { return FText[FPos]; }

    void SkipWhitespace()
    {
        while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r'))
        {
            ++FPos;
        }
    }

    bool Literal(std::string_view word)
    {
        if (FText.substr(FPos, word.size()) != word)
        {
            return false;
        }
        FPos += word.size();
        return true;
    }

    bool Value(int depth, bool uniqueNames)
    {
        if (AtEnd() || depth > MaxDepth)
        {
            return false;
        }
        switch (Peek())
        {
        case '{':
            return Object(depth, uniqueNames);
        case '[':
            return Array(depth);
        case '"': {
            std::string_view ignored;
            return String(ignored);
        }
        case 't':
            return Literal("true");
        case 'f':
            return Literal("false");
        case 'n':
            return Literal("null");
        default:
            return Number();
        }
    }

    bool Object(int depth, bool uniqueNames)
    {
        ++FPos;
        SkipWhitespace();
        if (!AtEnd() && Peek() == '}')
        {
            ++FPos;
            return true;
        }
        std::set<std::string> names;
        while (true)
        {
            SkipWhitespace();
            std::string_view name;
            if (AtEnd() || Peek() != '"' || !String(name))
            {
                return false;
            }
            if (uniqueNames && !names.insert(kbzJSONDecodeString(name)).second)
            {
                return false;
            }
            SkipWhitespace();
            if (AtEnd() || Peek() != ':')
            {
                return false;
            }
            ++FPos;
            SkipWhitespace();
            if (!Value(depth + 1, false))
            {
                return false;
            }
            SkipWhitespace();
            if (AtEnd())
            {
                return false;
            }
            if (Peek() == '}')
            {
                ++FPos;
                return true;
            }
            if (Peek() != ',')
            {
                return false;
            }
            ++FPos;
        }
    }

    bool Array(int depth)
    {
        ++FPos;
        SkipWhitespace();
        if (!AtEnd() && Peek() == ']')
        {
            ++FPos;
            return true;
        }
        while (true)
        {
            SkipWhitespace();
            if (!Value(depth + 1, false))
            {
                return false;
            }
            SkipWhitespace();
            if (AtEnd())
            {
                return false;
            }
            if (Peek() == ']')
            {
                ++FPos;
                return true;
            }
            if (Peek() != ',')
            {
                return false;
            }
            ++FPos;
        }
    }

    static bool IsHex(char c)
    {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }

    // The content between the quotes goes to raw.
    bool String(std::string_view& raw)
    {
        const std::size_t start = ++FPos;
        while (!AtEnd())
        {
            const auto c = static_cast<unsigned char>(Peek());
            if (c == '"')
            {
                raw = FText.substr(start, FPos - start);
                ++FPos;
                return true;
            }
            if (c < 0x20)
            {
                return false;
            }
            if (c == '\\')
            {
                ++FPos;
                if (AtEnd())
                {
                    return false;
                }
                const char e = Peek();
                if (e == 'u')
                {
                    if (FText.size() - FPos < 5)
                    {
                        return false;
                    }
                    for (std::size_t i = 1; i <= 4; ++i)
                    {
                        if (!IsHex(FText[FPos + i]))
                        {
                            return false;
                        }
                    }
                    FPos += 4;
                }
                else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos)
                {
                    return false;
                }
            }
            ++FPos;
        }
        return false;
    }

    bool Digits()
    {
        const std::size_t start = FPos;
        while (!AtEnd() && Peek() >= '0' && Peek() <= '9')
        {
            ++FPos;
        }
        return FPos > start;
    }

    bool Number()
    {
        if (!AtEnd() && Peek() == '-')
        {
            ++FPos;
        }
        if (AtEnd())
        {
            return false;
        }
        if (Peek() == '0')
        {
            ++FPos;
        }
        else if (!Digits())
        {
            return false;
        }
        if (!AtEnd() && Peek() == '.')
        {
            ++FPos;
            if (!Digits())
            {
                return false;
            }
        }
        if (!AtEnd() && (Peek() == 'e' || Peek() == 'E'))
        {
            ++FPos;
            if (!AtEnd() && (Peek() == '+' || Peek() == '-'))
            {
                ++FPos;
            }
            if (!Digits())
            {
                return false;
            }
        }
        return true;
    }

    std::string_view FText;
    std::size_t FPos = 0;
};

} // namespace

std::string_view kbzJWTAlgorithmText(TkbzHTTP_JWT_Algorithm alg) noexcept
{
    for (const auto& entry : kAlgorithmNames)
    {
        if (entry.alg == alg)
        {
            return entry.text;
        }
    }
    return {};
}

TkbzHTTP_JWT_Algorithm kbzJWTAlgorithmFromText(std::string_view text) noexcept
{
    for (const auto& entry : kAlgorithmNames)
    {
        if (entry.text == text)
        {
            return entry.alg;
        }
    }
    return TkbzHTTP_JWT_Algorithm::jwtNone;
}

TkbzHTTP_JWT_Family kbzJWTFamily(TkbzHTTP_JWT_Algorithm alg) noexcept
{
    using enum TkbzHTTP_JWT_Algorithm;
    switch (alg)
    {
    case jwtHS256:
    case jwtHS384:
    case jwtHS512:
        return TkbzHTTP_JWT_Family::jwfHS;
    case jwtRS256:
    case jwtRS384:
    case jwtRS512:
        return TkbzHTTP_JWT_Family::jwfRS;
    case jwtES256:
    case jwtES384:
    case jwtES512:
        return TkbzHTTP_JWT_Family::jwfES;
    case jwtNone:
        break;
    }
    return TkbzHTTP_JWT_Family::jwfNone;
}

int kbzJWTDigestBits(TkbzHTTP_JWT_Algorithm alg) noexcept
{
    using enum TkbzHTTP_JWT_Algorithm;
    switch (alg)
    {
    case jwtHS256:
    case jwtRS256:
    case jwtES256:
        return 256;
    case jwtHS384:
    case jwtRS384:
    case jwtES384:
        return 384;
    case jwtHS512:
    case jwtRS512:
    case jwtES512:
        return 512;
    case jwtNone:
        break;
    }
    return 0;
}

std::string kbzEncodeBase64URL(std::span<const std::uint8_t> bytes)
{
    std::string out;
    out.reserve((bytes.size() * 4 + 2) / 3);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3)
    {
        const std::uint32_t v =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0)
    {
        std::uint32_t v = std::uint32_t{bytes[i]} << 16;
        if (rest == 2)
        {
            v |= std::uint32_t{bytes[i + 1]} << 8;
        }
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        if (rest == 2)
        {
            out += kAlphabet[(v >> 6) & 63];
        }
    }
    return out;
}

std::string kbzEncodeBase64URL(std::string_view bytes)
{
    return kbzEncodeBase64URL(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::optional<TBytes> kbzDecodeBase64URL(std::string_view text)
{
    if (text.size() % 4 == 1)
    {
        return std::nullopt;
    }
    TBytes out;
    out.reserve(text.size() * 3 / 4);
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : text)
    {
        const int v = kDecode[static_cast<unsigned char>(c)];
        if (v < 0)
        {
            return std::nullopt;
        }
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8)
        {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>((acc >> bits) & 0xFF));
        }
    }
    // The bits left over must be zero: otherwise two texts would decode to the same bytes.
    if (bits > 0 && (acc & ((1u << bits) - 1)) != 0)
    {
        return std::nullopt;
    }
    return out;
}

std::int64_t kbzJWTNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

namespace detail
{

bool IsStrictJSON(std::string_view text, bool objectOnly)
{
    if (!kbzIsValidUTF8(text))
    {
        return false;
    }
    return TStrictJSON(text).Document(objectOnly);
}

std::optional<std::int64_t> ParseJSONInteger(std::string_view text)
{
    std::size_t pos = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative)
    {
        pos = 1;
    }
    if (pos >= text.size() || (text[pos] == '0' && text.size() > pos + 1))
    {
        return std::nullopt;
    }
    // Accumulated negatively so that the smallest 64-bit value fits.
    std::int64_t value = 0;
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    for (; pos < text.size(); ++pos)
    {
        const char c = text[pos];
        if (c < '0' || c > '9')
        {
            return std::nullopt;
        }
        const int digit = c - '0';
        if (value < (kMin + digit) / 10)
        {
            return std::nullopt;
        }
        value = value * 10 - digit;
    }
    if (!negative)
    {
        if (value == kMin)
        {
            return std::nullopt;
        }
        value = -value;
    }
    return value;
}

} // namespace detail

} // namespace kbz

#include <openssl/bio.h>
#include <openssl/decoder.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace kbz::detail
{

namespace
{

std::unique_ptr<BIO, decltype(&BIO_free)> MemoryBIO(std::string_view text)
{
    return {BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), &BIO_free};
}

TkbzPKey Own(EVP_PKEY* key)
{
    return key ? TkbzPKey(key, &EVP_PKEY_free) : nullptr;
}

} // namespace

TkbzPKey ReadPrivateKeyPEM(std::string_view pem)
{
    if (pem.empty() || pem.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    {
        return nullptr;
    }
    auto bio = MemoryBIO(pem);
    // No passphrase callback: an encrypted key must not make OpenSSL prompt on the terminal.
    static pem_password_cb* const noPrompt = [](char*, int, int, void*) { return 0; };
    return bio ? Own(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPrompt, nullptr)) : nullptr;
}

TkbzPKey ReadPublicKeyPEM(std::string_view pem)
{
    if (pem.empty() || pem.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    {
        return nullptr;
    }
    auto bio = MemoryBIO(pem);
    if (!bio)
    {
        return nullptr;
    }
    const std::size_t first = pem.find_first_not_of(" \t\r\n");
    if (first != std::string_view::npos &&
        pem.substr(first).starts_with("-----BEGIN RSA PUBLIC KEY-----"))
    {
        EVP_PKEY* key = nullptr;
        std::unique_ptr<OSSL_DECODER_CTX, decltype(&OSSL_DECODER_CTX_free)> decoder(
            OSSL_DECODER_CTX_new_for_pkey(&key, "PEM", "type-specific", "RSA", EVP_PKEY_PUBLIC_KEY,
                                          nullptr, nullptr),
            &OSSL_DECODER_CTX_free);
        if (!decoder || OSSL_DECODER_from_bio(decoder.get(), bio.get()) != 1)
        {
            EVP_PKEY_free(key);
            return nullptr;
        }
        return Own(key);
    }
    return Own(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
}

const EVP_MD* SHA2Digest(int bits)
{
    // Fetched once: fetching by name on every signature costs more than a small signature.
    static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
    static EVP_MD* const sha384 = EVP_MD_fetch(nullptr, "SHA2-384", nullptr);
    static EVP_MD* const sha512 = EVP_MD_fetch(nullptr, "SHA2-512", nullptr);
    switch (bits)
    {
    case 256:
        return sha256;
    case 384:
        return sha384;
    case 512:
        return sha512;
    default:
        return nullptr;
    }
}

TkbzPKey TKeyCache::Get(std::string_view pem, bool privateKey)
{
    {
        std::lock_guard guard(FLock);
        if (FKey && FPrivate == privateKey && FPEM == pem)
        {
            return FKey;
        }
    }
    TkbzPKey key = privateKey ? ReadPrivateKeyPEM(pem) : ReadPublicKeyPEM(pem);
    if (key)
    {
        std::lock_guard guard(FLock);
        FPEM.assign(pem);
        FPrivate = privateKey;
        FKey = key;
    }
    return key;
}

} // namespace kbz::detail
