#include "base/kbzBase_Classes.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace kbz
{
namespace
{

// ---- Streams ----------------------------------------------------------------------------------

TEST(TkbzMemoryStream, ReadsAndWritesAtThePosition)
{
    TkbzMemoryStream s;
    s.Write(std::string_view("hello"));
    EXPECT_EQ(s.Size(), 5);
    EXPECT_EQ(s.Position(), 5);

    // Overwrite in the middle, then grow past the end.
    s.SetPosition(3);
    s.Write(std::string_view("p!!"));
    EXPECT_EQ(s.DataString(), "help!!");

    // Reads stop at the end and report what they copied.
    s.SetPosition(4);
    char buf[8] = {};
    EXPECT_EQ(s.Read(buf, sizeof buf), 2u);
    EXPECT_EQ(std::string(buf, 2), "!!");
    EXPECT_EQ(s.Read(buf, sizeof buf), 0u);
    s.SetPosition(100);
    EXPECT_EQ(s.Read(buf, sizeof buf), 0u);

    // A write past the end fills the gap with zero bytes.
    s.SetPosition(8);
    s.Write(std::string_view("x"));
    EXPECT_EQ(s.DataString(), std::string("help!!\0\0x", 9));

    s.SetPosition(-5);
    EXPECT_EQ(s.Position(), 0);

    s.SetPosition(9);
    s.SetSize(4);
    EXPECT_EQ(s.DataString(), "help");
    EXPECT_EQ(s.Position(), 4);

    s.SetPosition(1);
    EXPECT_EQ(s.ReadBytes(2), (std::vector<std::uint8_t>{'e', 'l'}));
    EXPECT_EQ(s.ReadBytes(), (std::vector<std::uint8_t>{'p'}));

    s.Clear();
    EXPECT_EQ(s.Size(), 0);
    EXPECT_EQ(s.Position(), 0);
}

TEST(TkbzMemoryStream, CopyFromTakesTheRestOrACount)
{
    TkbzMemoryStream source(std::vector<std::uint8_t>{'a', 'b', 'c', 'd'});
    source.SetPosition(1);
    TkbzMemoryStream all;
    EXPECT_EQ(all.CopyFrom(source), 3);
    EXPECT_EQ(all.DataString(), "bcd");

    source.SetPosition(0);
    TkbzMemoryStream some;
    EXPECT_EQ(some.CopyFrom(source, 2), 2);
    EXPECT_EQ(some.DataString(), "ab");
    EXPECT_EQ(some.CopyFrom(source, 10), 2); // never past the source's end
    EXPECT_EQ(some.DataString(), "abcd");
}

TEST(TkbzStringStream, KeepsItsTextInTheChosenEncoding)
{
    const std::string text = "Zo\xC3\xAB";
    TkbzStringStream utf8(text);
    EXPECT_EQ(utf8.Position(), 0);
    EXPECT_EQ(utf8.Bytes(), (std::vector<std::uint8_t>{'Z', 'o', 0xC3, 0xAB}));
    EXPECT_EQ(utf8.DataString(), text);

    TkbzStringStream ansi(text, TkbzTextEncoding::teANSI);
    EXPECT_EQ(ansi.Bytes(), (std::vector<std::uint8_t>{'Z', 'o', 0xEB}));
    EXPECT_EQ(ansi.DataString(), text);

    // Beyond Latin-1 the ANSI form keeps the UTF-8 bytes.
    TkbzStringStream euro("\xE2\x82\xAC", TkbzTextEncoding::teANSI);
    EXPECT_EQ(euro.Size(), 3);
    EXPECT_EQ(euro.DataString(), "\xE2\x82\xAC");

    TkbzMemoryStream& base = utf8;
    EXPECT_EQ(base.DataString(), text);
}

class TkbzFileStreamTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FDir = std::filesystem::temp_directory_path() /
               ("kbz_file_stream_" + std::to_string(::getpid()));
        std::filesystem::create_directories(FDir);
    }
    void TearDown() override { std::filesystem::remove_all(FDir); }

    std::filesystem::path FDir;
};

TEST_F(TkbzFileStreamTest, WritesReadsAndResizes)
{
    const std::string name = (FDir / "data.bin").string();
    {
        TkbzFileStream f(name, TkbzFileMode::fmCreate);
        EXPECT_EQ(f.FileName(), name);
        f.Write(std::string_view("0123456789"));
        EXPECT_EQ(f.Size(), 10);
        f.SetPosition(2);
        f.Write(std::string_view("ab"));
        f.SetSize(6);
        EXPECT_EQ(f.Position(), 4);
    }
    TkbzFileStream f(name, TkbzFileMode::fmOpenRead);
    EXPECT_EQ(f.Size(), 6);
    char buf[16] = {};
    EXPECT_EQ(f.Read(buf, sizeof buf), 6u);
    EXPECT_EQ(std::string(buf, 6), "01ab45");
    EXPECT_EQ(f.Read(buf, sizeof buf), 0u);

    TkbzMemoryStream copy;
    f.SetPosition(0);
    EXPECT_EQ(copy.CopyFrom(f), 6);
    EXPECT_EQ(copy.DataString(), "01ab45");

    // A read-only file refuses writes with a stream error, not a crash or silence.
    EXPECT_THROW(f.Write(std::string_view("x")), EStreamError);
}

TEST_F(TkbzFileStreamTest, MissingFileRaisesOpenError)
{
    const std::string name = (FDir / "missing.bin").string();
    for (auto mode :
         {TkbzFileMode::fmOpenRead, TkbzFileMode::fmOpenWrite, TkbzFileMode::fmOpenReadWrite})
    {
        try
        {
            TkbzFileStream f(name, mode);
            ADD_FAILURE() << "opened a missing file";
        }
        catch (const EFOpenError& e)
        {
            EXPECT_NE(e.Message().find(name), std::string::npos) << e.Message();
            EXPECT_EQ(e.ClassName(), "EFOpenError");
        }
    }
}

// ---- String list ------------------------------------------------------------------------------

TEST(TkbzDelimitedStringList, SplitsDelimitedText)
{
    struct Case
    {
        const char* name;
        char delimiter;
        std::string text;
        std::vector<std::string> items;
    };
    const Case cases[] = {
        {"empty", ',', "", {}},
        {"one", ',', "a", {"a"}},
        {"blanks stay inside items",
         ',',
         "permessage-deflate; a, x-webkit-deflate-frame",
         {"permessage-deflate; a", " x-webkit-deflate-frame"}},
        {"empty items", ',', "a,,b", {"a", "", "b"}},
        {"leading delimiter", ',', ",a", {"", "a"}},
        {"trailing delimiter", ',', "a,", {"a", ""}},
        {"quotes removed", ',', "\"a,b\",c", {"a,b", "c"}},
        {"doubled quote inside quotes", ',', "\"say \"\"hi\"\"\",x", {"say \"hi\"", "x"}},
        {"text after the closing quote stays", ',', "\"a\"b,c", {"ab", "c"}},
        {"unclosed quote runs to the end", ',', "\"a,b", {"a,b"}},
        {"quote inside an item is literal", ',', "a\"b,c", {"a\"b", "c"}},
        {"only a pair of quotes", ',', "\"\"", {""}},
        {"host and port", ':', "wss://10.0.0.1:443", {"wss", "//10.0.0.1", "443"}},
        {"extension parameters",
         ';',
         "permessage-deflate; client_max_window_bits=10",
         {"permessage-deflate", " client_max_window_bits=10"}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzDelimitedStringList list;
        list.SetDelimiter(c.delimiter);
        list.Add("left over");
        list.SetDelimitedText(c.text);
        EXPECT_EQ(list.Items(), c.items);
        EXPECT_EQ(list.Count(), c.items.size());
    }
}

TEST(TkbzDelimitedStringList, JoinsAndQuotesOnlyWhatNeedsIt)
{
    struct Case
    {
        std::vector<std::string> items;
        std::string text;
    };
    const Case cases[] = {
        {{}, ""},
        {{"a", "b"}, "a,b"},
        {{"a b", "c"}, "\"a b\",c"},
        {{"a,b"}, "\"a,b\""},
        {{"say \"hi\""}, "\"say \"\"hi\"\"\""},
        {{""}, "\"\""},
        {{"a", ""}, "a,"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text);
        TkbzDelimitedStringList list;
        for (const auto& item : c.items)
        {
            list.Add(item);
        }
        EXPECT_EQ(list.GetDelimitedText(), c.text);
        TkbzDelimitedStringList back;
        back.SetDelimitedText(list.GetDelimitedText());
        EXPECT_EQ(back.Items(), c.items);
    }
}

TEST(TkbzDelimitedStringList, NonStrictAlsoSplitsAtBlanks)
{
    TkbzDelimitedStringList list;
    list.SetStrictDelimiter(false);
    list.SetDelimitedText("  a b , \"c d\",e  ");
    EXPECT_EQ(list.Items(), (std::vector<std::string>{"a", "b", "c d", "e"}));
}

TEST(TkbzDelimitedStringList, LinesAndNameValuePairs)
{
    TkbzDelimitedStringList list;
    list.SetText("a=1\r\nB=2\nc\rd=x=y\r\n");
    EXPECT_EQ(list.Items(), (std::vector<std::string>{"a=1", "B=2", "c", "d=x=y"}));
    EXPECT_EQ(list.GetText(), "a=1\r\nB=2\r\nc\r\nd=x=y");
    list.SetText("a\r\n\r\nb");
    EXPECT_EQ(list.Items(), (std::vector<std::string>{"a", "", "b"}));

    list.SetText("sid1=user:pw\nOther=v\nplain\nd=x=y");
    EXPECT_EQ(list.Names(0), "sid1");
    EXPECT_EQ(list.ValueFromIndex(0), "user:pw");
    EXPECT_EQ(list.Names(2), "");
    EXPECT_EQ(list.Values("OTHER"), "v");
    EXPECT_EQ(list.Values("d"), "x=y");
    EXPECT_EQ(list.Values("missing"), "");
    EXPECT_EQ(list.IndexOfName("other"), 1);
    EXPECT_EQ(list.IndexOfName("plain"), -1);

    list.SetValue("other", "w");
    EXPECT_EQ(list[1], "other=w");
    list.SetValue("new", "n");
    EXPECT_EQ(list[4], "new=n");
    list.SetValue("sid1", "");
    EXPECT_EQ(list.IndexOfName("sid1"), -1);
    EXPECT_EQ(list.Count(), 4u);

    list.SetNameValueSeparator(':');
    EXPECT_EQ(list.Values("other=w"), ""); // no ":" in that line
}

TEST(TkbzDelimitedStringList, EditingLookupAndBounds)
{
    TkbzDelimitedStringList list{"One", "two"};
    EXPECT_EQ(list.Add("Three"), 2u);
    list.Insert(0, "zero");
    list.Insert(4, "end");
    EXPECT_EQ(list.Items(), (std::vector<std::string>{"zero", "One", "two", "Three", "end"}));
    list.Delete(4);
    EXPECT_EQ(list.IndexOf("ONE"), 1);
    EXPECT_EQ(list.IndexOf("four"), -1);
    list.SetCaseSensitive(true);
    EXPECT_EQ(list.IndexOf("ONE"), -1);
    EXPECT_EQ(list.IndexOf("One"), 1);
    list[2] = "deux";
    EXPECT_EQ(list[2], "deux");

    try
    {
        (void)list[4];
        ADD_FAILURE() << "no error";
    }
    catch (const EListError& e)
    {
        EXPECT_EQ(e.Message(), "List index out of bounds (4)");
    }
    EXPECT_THROW(list.Delete(4), EListError);
    EXPECT_THROW(list.Insert(6, "x"), EListError);
    EXPECT_THROW((void)list.Names(9), EListError);
    list.Clear();
    EXPECT_TRUE(list.Empty());
}

} // namespace
} // namespace kbz
