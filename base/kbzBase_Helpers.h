// Free helpers of the foundation: integer conversions, ticks, text and byte
// helpers, encoders, digests and identifiers. They keep no state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kbz
{

// ---- Integer conversions ----------------------------------------------------------------------

// Strict conversions: an optional sign, then decimal digits, or "$"/"0x" followed by hexadecimal
// digits, and nothing else. Anything else (also empty text or a value out of range) raises
// EConvertError "'<s>' is not a valid integer value".
int kbzStrToInt(std::string_view s);
std::int64_t kbzStrToInt64(std::string_view s);
// Strict conversion that gives def where kbzStrToInt would raise.
int kbzStrToIntDef(std::string_view s, int def);
std::int64_t kbzStrToInt64Def(std::string_view s, std::int64_t def);
// Lenient conversion: leading blanks skipped, optional sign, "$" or "0x" selects hexadecimal, the
// digits up to the first other character are the value (none gives 0); saturates at the int range.
int kbzValToInt(std::string_view s);

} // namespace kbz
