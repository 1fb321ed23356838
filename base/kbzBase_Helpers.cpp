#include "base/kbzBase_Helpers.h"

#include "base/kbzBase_Classes.h"

#include <limits>

namespace kbz
{

namespace detail
{

int HexDigitValue(char c)
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

// Parses the strict integer grammar into the range [lo, hi]; false on any deviation.
bool ParseStrictInteger(std::string_view s, std::int64_t lo, std::int64_t hi, std::int64_t& out)
{
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
    {
        negative = s[i] == '-';
        ++i;
    }
    unsigned base = 10;
    if (i < s.size() && s[i] == '$')
    {
        base = 16;
        ++i;
    }
    else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X'))
    {
        base = 16;
        i += 2;
    }
    if (i >= s.size())
    {
        return false;
    }
    // The magnitude is gathered unsigned so that the most negative value still fits.
    const std::uint64_t limit = negative ? static_cast<std::uint64_t>(-(lo + 1)) + 1u
                                         : static_cast<std::uint64_t>(hi);
    std::uint64_t magnitude = 0;
    for (; i < s.size(); ++i)
    {
        const int d = HexDigitValue(s[i]);
        if (d < 0 || static_cast<unsigned>(d) >= base)
        {
            return false;
        }
        if (magnitude > (limit - static_cast<std::uint64_t>(d)) / base)
        {
            return false;
        }
        magnitude = magnitude * base + static_cast<std::uint64_t>(d);
    }
    if (negative)
    {
        out = magnitude == 0 ? 0 : -static_cast<std::int64_t>(magnitude - 1) - 1;
    }
    else
    {
        out = static_cast<std::int64_t>(magnitude);
    }
    return true;
}

[[noreturn]] void RaiseNotInteger(std::string_view s)
{
    throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
}

} // namespace detail

int kbzStrToInt(std::string_view s)
{
    std::int64_t value = 0;
    if (!detail::ParseStrictInteger(s, std::numeric_limits<int>::min(),
                                    std::numeric_limits<int>::max(), value))
    {
        detail::RaiseNotInteger(s);
    }
    return static_cast<int>(value);
}

std::int64_t kbzStrToInt64(std::string_view s)
{
    std::int64_t value = 0;
    if (!detail::ParseStrictInteger(s, std::numeric_limits<std::int64_t>::min(),
                                    std::numeric_limits<std::int64_t>::max(), value))
    {
        detail::RaiseNotInteger(s);
    }
    return value;
}

int kbzStrToIntDef(std::string_view s, int def)
{
    std::int64_t value = 0;
    if (!detail::ParseStrictInteger(s, std::numeric_limits<int>::min(),
                                    std::numeric_limits<int>::max(), value))
    {
        return def;
    }
    return static_cast<int>(value);
}

std::int64_t kbzStrToInt64Def(std::string_view s, std::int64_t def)
{
    std::int64_t value = 0;
    if (!detail::ParseStrictInteger(s, std::numeric_limits<std::int64_t>::min(),
                                    std::numeric_limits<std::int64_t>::max(), value))
    {
        return def;
    }
    return value;
}

int kbzValToInt(std::string_view s)
{
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
    {
        ++i;
    }
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
    {
        negative = s[i] == '-';
        ++i;
    }
    unsigned base = 10;
    if (i < s.size() && s[i] == '$')
    {
        base = 16;
        ++i;
    }
    else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X'))
    {
        base = 16;
        i += 2;
    }
    // Saturate rather than wrap: a huge code must not turn into a small or negative one.
    const std::uint64_t limit =
        negative ? static_cast<std::uint64_t>(std::numeric_limits<int>::max()) + 1u
                 : static_cast<std::uint64_t>(std::numeric_limits<int>::max());
    std::uint64_t magnitude = 0;
    for (; i < s.size(); ++i)
    {
        const int d = detail::HexDigitValue(s[i]);
        if (d < 0 || static_cast<unsigned>(d) >= base)
        {
            break;
        }
        magnitude = magnitude * base + static_cast<std::uint64_t>(d);
        if (magnitude > limit)
        {
            magnitude = limit;
        }
    }
    if (negative)
    {
        return static_cast<int>(-static_cast<std::int64_t>(magnitude));
    }
    return static_cast<int>(magnitude);
}

} // namespace kbz
