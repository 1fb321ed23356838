#include "base/kbzBase_Classes.h"
#include "base/kbzBase_Helpers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace kbz
{
namespace
{

// ---- Integer conversions ----------------------------------------------------------------------

TEST(kbzStrToInt, AcceptsDecimalAndHexWithOptionalSign)
{
    struct Case
    {
        const char* text;
        std::int64_t value;
    };
    const Case cases[] = {
        {"0", 0},
        {"42", 42},
        {"+42", 42},
        {"-42", -42},
        {"007", 7},
        {"$1F", 31},
        {"$ff", 255},
        {"0x1f", 31},
        {"0X1F", 31},
        {"-$10", -16},
        {"-0x10", -16},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483648LL},
        {"$7FFFFFFF", 2147483647},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(kbzStrToInt(c.text), c.value);
        EXPECT_EQ(kbzStrToInt64(c.text), c.value);
        EXPECT_EQ(kbzStrToIntDef(c.text, -7), c.value);
    }
}

TEST(kbzStrToInt, RejectsEverythingElseWithTheExactMessage)
{
    const char* const bad[] = {
        "",     "abc",  " 1",  "1 ",  "1a", "+",  "-",  "$",  "0x",  "1.5",
        "--1",  "+-1",  "$g",  "0xg", "1e3", "١", "2147483648", "-2147483649",
        "$80000000", "99999999999999999999",
    };
    for (const char* text : bad)
    {
        SCOPED_TRACE(text);
        try
        {
            (void)kbzStrToInt(text);
            ADD_FAILURE() << "no error";
        }
        catch (const EConvertError& e)
        {
            EXPECT_EQ(e.Message(), "'" + std::string(text) + "' is not a valid integer value");
            EXPECT_EQ(e.ClassName(), "EConvertError");
        }
        EXPECT_EQ(kbzStrToIntDef(text, -7), -7);
    }
}

TEST(kbzStrToInt64, CoversTheWholeRangeAndNoMore)
{
    EXPECT_EQ(kbzStrToInt64("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(kbzStrToInt64("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(kbzStrToInt64("2147483648"), 2147483648LL);
    EXPECT_THROW((void)kbzStrToInt64("9223372036854775808"), EConvertError);
    EXPECT_THROW((void)kbzStrToInt64("-9223372036854775809"), EConvertError);
    EXPECT_THROW((void)kbzStrToInt64("$10000000000000000"), EConvertError);
    EXPECT_EQ(kbzStrToInt64Def("x", 5), 5);
}

TEST(kbzValToInt, ReadsTheLeadingNumberAndIgnoresTheRest)
{
    struct Case
    {
        const char* text;
        int value;
    };
    const Case cases[] = {
        {"1000", 1000},
        {"  1000", 1000},
        {"\t-12", -12},
        {"+7", 7},
        {"1000abc", 1000},
        {"12 34", 12},
        {"1.9", 1},
        {"$1F", 31},
        {"0x1fz", 31},
        {"-$10", -16},
        {"", 0},
        {"abc", 0},
        {"-", 0},
        {"0x", 0},
        {"$", 0},
        {"99999999999999999999", std::numeric_limits<int>::max()},
        {"-99999999999999999999", std::numeric_limits<int>::min()},
        {"$FFFFFFFFFFFFFFFFFFFF", std::numeric_limits<int>::max()},
        {"2147483647", 2147483647},
        {"-2147483648", std::numeric_limits<int>::min()},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(kbzValToInt(c.text), c.value);
    }
}

} // namespace
} // namespace kbz
