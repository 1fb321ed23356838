#include "json/kbzJSON.h"
#include "json/kbzJSON_Internal.h"
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

namespace kbz
{
namespace
{

using enum TkbzJSONtype;

std::string ReadAndRender(std::string_view text)
{
    TkbzJSON doc;
    doc.Read(text);
    return doc.GetText();
}

// ---- Reader -----------------------------------------------------------------------------------

TEST(kbzJSONRead, RendersWhatCouldBeRead)
{
    struct Case
    {
        const char* name;
        std::string input;
        const char* text;
    };
    const Case cases[] = {
        {"empty text", "", "{}"},
        {"command", R"({"message":"open", "params":{"url": "ws://127.0.0.1:1/"}})",
         R"({"message":"open","params":{"url":"ws://127.0.0.1:1/"}})"},
        {"whitespace everywhere", "\t{\r\n \"a\" :\f 1 ,\n \"b\" : [ 1 , 2 ] }",
         R"({"a":1,"b":[1,2]})"},
        {"comment to end of line", "{\"a\":1, # \"b\":2\n\"c\":3}", R"({"a":1,"c":3})"},
        {"comment up to the end", "{\"a\":1 # }", R"({"a":1})"},
        {"missing commas", R"({"a":1 "b":"x" "c":{}})", R"({"a":1,"b":"x","c":{}})"},
        {"trailing commas", R"({"a":[1,2,],})", R"({"a":[1,2]})"},
        {"words in any case", R"({"a":True,"b":FALSE,"c":nULL})",
         R"({"a":true,"b":false,"c":null})"},
        {"word that does not match", R"({"a":1,"b":trux})", R"({"a":1})"},
        {"top-level list", R"([1,"x",{"a":null},[]])", R"([1,"x",{"a":null},[]])"},
        {"blank before a top-level list", R"( [1,2])", "{}"},
        {"duplicates kept", R"({"a":1,"a":2})", R"({"a":1,"a":2})"},
        {"cut short inside a nested object", R"({"a":1,"b":{"c":2,"d":)", R"({"a":1,"b":{"c":2}})"},
        {"stops at a value it cannot read", R"({"a":1,"b":x,"c":3})", R"({"a":1})"},
        {"unquoted name", R"({a:1})", "{}"},
        {"missing colon", R"({"a" 1})", "{}"},
        {"vertical tab is not whitespace", "{\v\"a\":1}", "{}"},
        {"unterminated string", R"({"a":1,"b":"xyz)", R"({"a":1})"},
        {"text after the top-level value", R"({"a":1} {"b":2})", R"({"a":1})"},
        {"numbers as written", R"({"a":-0.5e+10,"b":+007,"c":1E3,"d":0})",
         R"({"a":-0.5e+10,"b":+007,"c":1E3,"d":0})"},
        {"number without fraction digits", R"({"a":2,"b":1.})", R"({"a":2})"},
        {"number without exponent digits", R"({"a":2,"b":1e+})", R"({"a":2})"},
        {"sign without digits", R"({"a":2,"b":-})", R"({"a":2})"},
        {"escaped quote kept", R"({"a":"x\"y"})", R"({"a":"x\"y"})"},
        {"escapes in names kept", R"({"a\"b\u00e9":1})", R"({"a\"b\u00e9":1})"},
        // The quote after an escaped backslash closes the string whatever follows it.
        {"escaped backslash then blank", R"({"a":"x\\" , "b":1})", R"({"a":"x\\","b":1})"},
        {"escaped backslash then brace", R"({"a":"x\\"})", R"({"a":"x\\"})"},
        {"three backslashes and a quote", R"({"a":"x\\\"y"})", R"({"a":"x\\\"y"})"},
        {"short unicode escape closes at the quote", R"({"a":"\u12","b":1})",
         R"({"a":"\u12","b":1})"},
        {"unicode escape takes hex digits only", R"({"a":"\u\"q","b":1})",
         R"({"a":"\u\"q","b":1})"},
        {"utf-8 kept", "{\"a\":\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"}",
         "{\"a\":\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"}"},
        {"hash inside a string", R"({"a":"#1"})", R"({"a":"#1"})"},
        {"nested lists", R"({"a":[[1,2],[],[{"b":[true]}]]})",
         R"({"a":[[1,2],[],[{"b":[true]}]]})"},
        {"empty object", "{}", "{}"},
        {"empty list", "[]", "[]"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ReadAndRender(c.input), c.text);
    }
}

TEST(kbzJSONRead, StoresScalarsAsTheirText)
{
    TkbzJSON doc;
    doc.Read(R"({"s":"a\nb","n":-1.50,"t":TRUE,"f":false,"z":Null,"o":{"x":1},"l":[1,2]})");
    struct Case
    {
        const char* name;
        TkbzJSONtype type;
        const char* value;
    };
    const Case cases[] = {
        {"s", kbzJSONString, R"(a\nb)"}, {"n", kbzJSONNumber, "-1.50"},
        {"t", kbzJSONBoolean, "true"},   {"f", kbzJSONBoolean, "false"},
        {"z", kbzJSONNull, "null"},      {"o", kbzJSONObject, R"({"x":1})"},
        {"l", kbzJSONList, "[1,2]"},
    };
    ASSERT_EQ(doc.GetCount(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i)
    {
        const auto& c = cases[i];
        SCOPED_TRACE(c.name);
        const auto member = doc.GetNode(c.name);
        ASSERT_NE(member, nullptr);
        EXPECT_EQ(member, doc.GetItem(i));
        EXPECT_EQ(member->GetJSONType(), c.type);
        EXPECT_EQ(member->GetValue(), c.value);
    }
    EXPECT_EQ(doc.GetNode("S"), nullptr); // names are case-sensitive
    EXPECT_EQ(doc.GetItem(7), nullptr);
}

TEST(kbzJSONRead, FirstOfTwoEqualNamesWins)
{
    TkbzJSON doc;
    doc.Read(R"({"a":1,"a":2})");
    ASSERT_EQ(doc.GetCount(), 2u);
    EXPECT_EQ(doc.GetNode("a")->GetValue(), "1");
}

TEST(kbzJSONRead, ListMemberRendersAsListOnlyThroughItsParentOrValue)
{
    TkbzJSON doc;
    doc.Read(R"({"l":[1,"x"]})");
    const auto list = doc.GetNode("l");
    ASSERT_NE(list, nullptr);
    // The reader leaves the nested document of a list flagged as an object.
    EXPECT_EQ(list->GetJSONObject()->GetText(), R"({"":1,"":"x"})");
    EXPECT_EQ(doc.GetText(), R"({"l":[1,"x"]})");
    EXPECT_EQ(list->GetValue(), R"([1,"x"])");
    EXPECT_TRUE(list->GetJSONObject()->GetIsArray());
}

TEST(kbzJSONRead, ReadReplacesTheContent)
{
    TkbzJSON doc;
    doc.Read("[1,2]");
    EXPECT_TRUE(doc.GetIsArray());
    doc.Read(R"({"a":1})");
    EXPECT_FALSE(doc.GetIsArray());
    EXPECT_EQ(doc.GetText(), R"({"a":1})");
    doc.Read("garbage");
    EXPECT_EQ(doc.GetText(), "{}");
}

TEST(kbzJSONRead, NestingDepthIsBounded)
{
    const auto nested = [](std::size_t depth) {
        return std::string(depth, '[') + std::string(depth, ']');
    };
    const std::size_t limit = TkbzJSON::MaxDepth;
    EXPECT_EQ(ReadAndRender(nested(limit)), nested(limit));
    // One level more fails the innermost value; the levels above it are kept.
    EXPECT_EQ(ReadAndRender(nested(limit + 1)), nested(limit));
    // Far deeper input must neither overflow the stack nor take long.
    EXPECT_EQ(ReadAndRender(std::string(1'000'000, '[')), nested(limit));
    std::string objects;
    for (std::size_t i = 0; i < 100'000; ++i)
    {
        objects += "{\"a\":";
    }
    TkbzJSON doc;
    doc.Read(objects);
    std::size_t levels = 0;
    for (IkbzObjectJSON m = doc.GetNode("a"); m; m = m->GetJSONObject()->GetNode("a"))
    {
        ++levels;
    }
    EXPECT_EQ(levels, limit - 1);
}

TEST(kbzJSONRead, NeverReadsPastTheEndOfTheText)
{
    // Exact-size buffers without a terminator, so a scan past the end is caught
    // by the address sanitizer builds.
    struct Case
    {
        const char* input;
        const char* text;
    };
    const Case cases[] = {
        {R"({"a":t)", "{}"},  {R"({"a":tr)", "{}"}, {R"({"a":fals)", "{}"},
        {R"({"a":n)", "{}"},  {R"({"a":"\)", "{}"}, {R"({"a":"\u12)", "{}"},
        {R"({"a":1e)", "{}"}, {R"({"a":-)", "{}"},  {R"({"a":1.)", "{}"},
        {R"([1,)", "[1]"},    {"{\"a\" # x", "{}"}, {R"({"a":true)", R"({"a":true})"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.input);
        const std::string_view view(c.input);
        const std::vector<char> exact(view.begin(), view.end());
        EXPECT_EQ(ReadAndRender(std::string_view(exact.data(), exact.size())), c.text);
    }
}

// ---- Model -------------------------------------------------------------------------------------

TEST(kbzJSONModel, AddPairFormsRenderCompactly)
{
    TkbzJSON doc;
    doc.AddPair("s", "x");
    doc.AddPair("i", std::int32_t{-7});
    doc.AddPair("l", std::numeric_limits<std::int64_t>::max());
    doc.AddPair("d", 1.5);
    doc.AddPair("tenth", 0.1);
    doc.AddPair("big", 1e21);
    doc.AddPair("nan", std::nan(""));
    doc.AddPair("t", true);
    doc.AddPair("f", false);
    doc.AddPair("n");
    doc.AddPair("list", "[1,2]");
    doc.AddPair("obj", std::string(R"({"x":1})"));
    doc.AddObject("o", R"({"x":{"y":[1]}})");
    doc.AddArray("a", R"([1,"z"])");
    EXPECT_EQ(doc.GetText(),
              R"({"s":"x","i":-7,"l":9223372036854775807,"d":1.5,"tenth":0.1,"big":1e+21,)"
              R"("nan":null,"t":true,"f":false,"n":null,"list":[1,2],"obj":{"x":1},)"
              R"("o":{"x":{"y":[1]}},"a":[1,"z"]})");
    EXPECT_EQ(doc.GetNode("n")->GetJSONType(), kbzJSONNull);
    EXPECT_EQ(doc.GetNode("n")->GetValue(), "");
    EXPECT_EQ(doc.GetNode("a")->GetJSONType(), kbzJSONList);
    EXPECT_TRUE(doc.GetNode("a")->GetJSONObject()->GetIsArray());
}

TEST(kbzJSONModel, AddingAnExistingNameOnlyReplacesTheValue)
{
    TkbzJSON doc;
    const auto first = doc.AddPair("a", std::int32_t{1});
    const auto second = doc.AddPair("a", "x");
    EXPECT_EQ(first, second);
    EXPECT_EQ(doc.GetCount(), 1u);
    EXPECT_EQ(first->GetJSONType(), kbzJSONNumber);
    EXPECT_EQ(first->GetValue(), "x");
    EXPECT_EQ(doc.GetText(), R"({"a":x})");
}

TEST(kbzJSONModel, ListItemsRenderValueOnly)
{
    TkbzJSON doc;
    doc.SetIsArray(true);
    doc.AddPair("", std::int32_t{1});
    doc.AddPair("x", "y");
    EXPECT_EQ(doc.GetText(), R"([1,"y"])");
    TkbzJSON nulls;
    nulls.SetIsArray(true);
    nulls.AddPair("");
    EXPECT_EQ(nulls.GetText(), "[null]");
}

TEST(kbzJSONModel, EscapeStringsEscapesNamesAndTexts)
{
    TkbzJSON doc;
    doc.SetEscapeStrings(true);
    doc.AddPair("k\"", "a/b\\\n\x01\t\xC3\xA9\xF0\x9F\x98\x80\xFF");
    EXPECT_EQ(doc.GetText(), R"({"k\"":"a\/b\\\n\u0001\t\u00E9\uD83D\uDE00\uFFFD"})");
    // Adding again under the same name finds the escaped member and escapes the value too.
    doc.AddPair("k\"", "q\"");
    EXPECT_EQ(doc.GetCount(), 1u);
    EXPECT_EQ(doc.GetText(), R"({"k\"":"q\""})");
}

TEST(kbzJSONModel, MemberOperations)
{
    TkbzJSON doc;
    const auto scalar = doc.AddPair("s", "x");
    EXPECT_EQ(scalar->GetCount(), 0u);
    EXPECT_EQ(scalar->GetJSONType(), kbzJSONString);
    // Looking a name up on a scalar turns it into an (empty) object member.
    EXPECT_EQ(scalar->GetNode("y"), nullptr);
    EXPECT_EQ(scalar->GetJSONType(), kbzJSONObject);
    EXPECT_EQ(doc.GetText(), R"({"s":{}})");

    const auto replacement = std::make_shared<TkbzObjectJSON>();
    replacement->SetName("r");
    replacement->SetJSONType(kbzJSONBoolean);
    replacement->SetValue("true");
    doc.SetNode("absent", replacement); // never appends
    EXPECT_EQ(doc.GetCount(), 1u);
    doc.SetNode("s", replacement);
    EXPECT_EQ(doc.GetText(), R"({"r":true})");
    doc.SetItem(5, scalar); // beyond the end: nothing
    doc.SetItem(0, scalar);
    EXPECT_EQ(doc.GetItem(0), scalar);
}

TEST(kbzJSONModel, ClearKeepsIsArrayAndHeldMembersStayValid)
{
    auto doc = std::make_shared<TkbzJSON>();
    doc->Read(R"([{"a":[1]}])");
    const auto held = doc->GetItem(0);
    doc->Clear();
    EXPECT_TRUE(doc->GetIsArray());
    EXPECT_EQ(doc->GetText(), "[]");
    doc.reset();
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->GetValue(), R"({"a":[1]})");
}

TEST(kbzJSONFactory, ListStaysBoundedAndHeldDocumentsLive)
{
    const auto kept = CreateJSONInstance();
    kept->AddPair("a", std::int32_t{1});
    for (int i = 0; i < 10'000; ++i)
    {
        CreateJSONInstance()->Read(R"({"x":1})");
    }
    EXPECT_LT(detail::JSONInstanceListSize(), 200u);
    const auto freed = CreateJSONInstance();
    freed->AddPair("b", true);
    FreeJSONInstance(freed);
    EXPECT_EQ(freed->GetText(), R"({"b":true})");
    EXPECT_EQ(kept->GetText(), R"({"a":1})");
}

// ---- Text helpers ------------------------------------------------------------------------------

TEST(kbzJSONDecodeString, DecodesEscapesAndKeepsInvalidOnes)
{
    struct Case
    {
        const char* name;
        std::string raw;
        std::string decoded;
    };
    const Case cases[] = {
        {"plain", "abc", "abc"},
        {"simple escapes", R"(\"\\\/\b\f\n\r\t)", "\"\\/\b\f\n\r\t"},
        {"bmp", R"(\u00e9\u20AC)", "\xC3\xA9\xE2\x82\xAC"},
        {"nul", R"(a\u0000b)", std::string("a\0b", 3)},
        {"surrogate pair", R"(\uD83D\uDE00)", "\xF0\x9F\x98\x80"},
        {"lone high surrogate", R"(\uD83Dx)", R"(\uD83Dx)"},
        {"high surrogate then bmp escape", R"(\uD83D\u0041)", R"(\uD83DA)"},
        {"lone low surrogate", R"(\uDE00)", R"(\uDE00)"},
        {"unknown escape", R"(\q)", R"(\q)"},
        {"short unicode", R"(\u12)", R"(\u12)"},
        {"bad hex", R"(\u12G4)", R"(\u12G4)"},
        {"trailing backslash", "ab\\", "ab\\"},
        {"utf-8 kept", "\xC3\xA9", "\xC3\xA9"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(kbzJSONDecodeString(c.raw), c.decoded);
    }
}

TEST(kbzJSONEscapeText, EscapesQuotesBackslashesAndControls)
{
    struct Case
    {
        std::string text;
        std::string escaped;
    };
    const Case cases[] = {
        {"plain / text", "plain / text"},
        {"say \"hi\"", R"(say \"hi\")"},
        {"C:\\dir", R"(C:\\dir)"},
        {"a\r\nb\tc\bd\fe", R"(a\r\nb\tc\bd\fe)"},
        {std::string("\0\x01\x1F\x7F", 4), "\\u0000\\u0001\\u001F\x7F"},
        {"\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(kbzJSONEscapeText(c.text), c.escaped);
        EXPECT_EQ(kbzJSONDecodeString(c.escaped), c.text);
    }
}

TEST(kbzJSONFormatDouble, ShortestRoundTripWithPoint)
{
    const double values[] = {0.0,       1.5,           -2.25,  0.1,
                             1.0 / 3.0, 123456789.125, 5e-324, 1.7976931348623157e308};
    for (const double v : values)
    {
        const std::string text = kbzJSONFormatDouble(v);
        SCOPED_TRACE(text);
        EXPECT_EQ(text.find(','), std::string::npos);
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), v);
    }
    EXPECT_EQ(kbzJSONFormatDouble(0.1), "0.1");
    EXPECT_EQ(kbzJSONFormatDouble(std::numeric_limits<double>::infinity()), "null");
}

} // namespace
} // namespace kbz
