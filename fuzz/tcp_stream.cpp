// Drives the raw-TCP delimiter framing and the buffered connection's line and
// header reading with arbitrary bytes. The first byte chooses the framing mode,
// the delimiter length and the size of the reads the rest is cut into; the
// next 1 to 4 bytes are the delimiter.
#include "transport/kbzSocket_Classes.h"
#include "transport/kbzTCP_Classes.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<std::uint8_t>;

void Check(bool ok)
{
    if (!ok)
    {
        std::abort();
    }
}

constexpr std::size_t kCap = 64;

void FuzzFramer(kbz::TtcpEOFScanBuffer mode, std::span<const std::uint8_t> delimiter,
                const std::vector<std::span<const std::uint8_t>>& reads)
{
    kbz::TkbzTCPDelimiterFramer framer(mode, Bytes(delimiter.begin(), delimiter.end()), kCap);
    Bytes delivered;
    std::size_t fed = 0;
    for (const auto read : reads)
    {
        std::vector<Bytes> messages;
        const auto result = framer.Feed(read, messages);
        fed += read.size();
        if (result == kbz::TkbzTCPFramerResult::frMessageTooLarge)
        {
            Check(framer.Pending() == 0);
            return; // the connection would end here
        }
        for (const Bytes& m : messages)
        {
            Check(!m.empty());
            if (mode == kbz::TtcpEOFScanBuffer::eofScanNone)
            {
                continue;
            }
            Check(m.size() <= kCap);
            Check(m.size() >= delimiter.size());
            Check(std::equal(delimiter.begin(), delimiter.end(),
                             m.end() - static_cast<std::ptrdiff_t>(delimiter.size())));
            if (mode == kbz::TtcpEOFScanBuffer::eofScanAllBytes)
            {
                // The delimiter ends the message at its first occurrence.
                const auto first =
                    std::search(m.begin(), m.end(), delimiter.begin(), delimiter.end());
                Check(static_cast<std::size_t>(first - m.begin()) == m.size() - delimiter.size());
            }
            delivered.insert(delivered.end(), m.begin(), m.end());
        }
        if (mode == kbz::TtcpEOFScanBuffer::eofScanNone)
        {
            Check(messages.size() == (read.empty() ? 0u : 1u));
            Check(framer.Pending() == 0);
        }
        else
        {
            // Nothing is lost or made up: delivered bytes plus pending ones are what was fed.
            Check(delivered.size() + framer.Pending() == fed);
        }
    }
}

void FuzzConnection(const std::vector<std::span<const std::uint8_t>>& reads)
{
    auto [peer, mine] = kbz::kbzMemoryIOHandlerPair();
    kbz::TkbzIdTCPConnection conn(std::move(mine));
    conn.ReadTimeout = 5000; // never waited for: the peer has closed
    for (const auto read : reads)
    {
        if (!read.empty())
        {
            peer->Send(read.data(), read.size());
        }
    }
    peer->Shutdown();
    try
    {
        const auto lines = conn.ReadHeaderLines(5000, 200);
        std::size_t total = 0;
        for (const auto& line : lines)
        {
            Check(line.find('\n') == std::string::npos);
            total += line.size() + 1;
        }
        Check(total <= 200);
        for (;;)
        {
            const std::string line = conn.ReadLn(32);
            Check(line.size() <= 32 && line.find('\n') == std::string::npos);
        }
    }
    catch (const kbz::EIdException&)
    {
        // Too long, or the end of the input: both end a connection.
    }
    Bytes rest;
    conn.ReadAvailable(rest);
    Check(conn.InputBufferIsEmpty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
    {
        return 0;
    }
    const std::uint8_t how = data[0];
    const auto mode = static_cast<kbz::TtcpEOFScanBuffer>(how % 3);
    const std::size_t delimiterLength = std::min<std::size_t>(how / 3 % 4 + 1, size - 1);
    const std::span<const std::uint8_t> delimiter(data + 1, delimiterLength);
    const std::span<const std::uint8_t> rest(data + 1 + delimiterLength,
                                             size - 1 - delimiterLength);
    const std::size_t piece = static_cast<std::size_t>(how / 12 % 21); // 0: the whole rest at once
    std::vector<std::span<const std::uint8_t>> reads;
    for (std::size_t i = 0; i < rest.size();)
    {
        const std::size_t n = piece == 0 ? rest.size() : std::min(piece, rest.size() - i);
        reads.push_back(rest.subspan(i, n));
        i += n;
    }
    FuzzFramer(mode, delimiter, reads);
    FuzzConnection(reads);
    return 0;
}
