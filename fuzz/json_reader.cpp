// Fuzzes the JSON reader and the JSON text helpers. The reader takes whole texts
// (commands are single lines), so instead of cutting the input into reads the
// first byte chooses what the rest is fed to:
//
// 0: Read, then Read of the rendered text must render the same again (the writer's
//    output is a fixed point of the reader); AddObject / AddArray read alike.
// 1: kbzJSONDecodeString must undo kbzJSONEscapeText exactly; decoding the raw
//    bytes must not fail.
// 2: a document with EscapeStrings takes the bytes as name and value; its text
//    must be ASCII and (unless the value is embedded JSON) read back the same.
#include "json/kbzJSON.h"
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace
{
using namespace kbz;

void Check(bool condition)
{
    if (!condition)
    {
        std::abort();
    }
}

std::string Render(std::string_view text)
{
    TkbzJSON doc;
    doc.Read(text);
    return doc.GetText();
}

void ReadRoundTrip(std::string_view input)
{
    const std::string once = Render(input);
    Check(Render(once) == once);

    // AddObject and AddArray read their text the same way into the member.
    TkbzJSON holder;
    holder.AddObject("o", input);
    holder.AddArray("a", input);
    Check(holder.GetNode("o")->GetJSONObject()->GetText() == once);
    Check(holder.GetNode("a")->GetJSONObject()->GetText() == once);
    (void)holder.GetText();
}

void EscapeRoundTrip(std::string_view input)
{
    Check(kbzJSONDecodeString(kbzJSONEscapeText(input)) == input);
    (void)kbzJSONDecodeString(input);
}

void EscapeStrings(std::string_view input)
{
    TkbzJSON doc;
    doc.SetEscapeStrings(true);
    doc.AddPair(input, input);
    const std::string text = doc.GetText();
    for (const char c : text)
    {
        Check(static_cast<unsigned char>(c) < 0x80);
    }
    // A text starting like JSON is embedded unquoted on purpose; it need not read back.
    if (input.empty() || (input.front() != '{' && input.front() != '['))
    {
        Check(Render(text) == text);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
    {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 3)
    {
    case 0:
        ReadRoundTrip(input);
        break;
    case 1:
        EscapeRoundTrip(input);
        break;
    default:
        EscapeStrings(input);
        break;
    }
    return 0;
}
