// Drives the URL and host:port splitters and the mask matcher with arbitrary text.
// The first byte chooses where the rest is cut into a text and a mask.
#include "base/kbzBase_Classes.h"
#include "base/kbzBase_Helpers.h"
#include "base/kbzWebSocket_Helpers.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
    {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

    std::string protocol, host, port, path, params;
    kbz::kbzParseURL(input, protocol, host, port, path, params);
    // Every piece is cut from the input, so together they can never be longer than it.
    if (protocol.size() + host.size() + port.size() + path.size() + params.size() > input.size())
    {
        std::abort();
    }

    std::string hpHost;
    int hpPort = 0;
    bool tls = false;
    try
    {
        (void)kbz::kbzParseHostPort(input, hpHost, hpPort, tls);
    }
    catch (const kbz::EConvertError&)
    {}

    const std::size_t cut = data[0] % (input.size() + 1);
    const std::string_view text = input.substr(0, cut);
    const std::string_view mask = input.substr(cut);
    const bool matched = kbz::kbzMatchesMask(text, mask);
    // A mask always matches its own text when it holds no wildcard.
    if (mask.find_first_of("*?") == std::string_view::npos && !kbz::kbzMatchesMask(mask, mask))
    {
        std::abort();
    }
    (void)matched;
    (void)kbz::kbzUTF16Length(input);
    (void)kbz::kbzGetUTF8String(input);
    return 0;
}
