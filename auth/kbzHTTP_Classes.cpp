#include "auth/kbzHTTP_Classes.h"

namespace kbz::detail
{

std::string FormEncode(std::string_view value)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (const char ch : value)
    {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~')
        {
            out += ch;
        }
        else
        {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

bool HasControlCharacters(std::string_view text) noexcept
{
    for (const char ch : text)
    {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F)
        {
            return true;
        }
    }
    return false;
}

} // namespace kbz::detail
