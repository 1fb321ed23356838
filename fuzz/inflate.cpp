// Fuzzes decompression of received messages: arbitrary bytes, cut into a sequence of messages
// that share one decompressor (context takeover), under a small size cap. Every failure must be
// an ECompressionError with close code 1007, 1009 or 1011, and no output may exceed the cap.
// The same bytes are also compressed by our own compressor and must inflate back unchanged.
//
// First byte: bits 0-2 window bits - 8 (8..15), bit 3 no context takeover, bit 4 deflate-frame
// instead of permessage-deflate, bits 5-7 how the rest is cut into messages (0: one message,
// n: pieces of 1 to 4^n bytes).
#include "websocket/kbzWebSocket_Extensions.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

namespace
{
using namespace kbz;

constexpr std::int64_t Cap = 1 << 20;

void Check(bool condition)
{
    if (!condition)
    {
        std::abort();
    }
}

std::vector<std::span<const std::uint8_t>> Cut(std::span<const std::uint8_t> input,
                                               std::uint8_t control)
{
    std::vector<std::span<const std::uint8_t>> pieces;
    const unsigned bits = (control >> 5) & 0x07u;
    if (bits == 0)
    {
        pieces.push_back(input);
        return pieces;
    }
    const std::size_t maxPiece = std::size_t{1} << (2 * bits);
    std::uint32_t seed = 0x9E3779B9u ^ control;
    while (!input.empty())
    {
        seed = seed * 1664525u + 1013904223u;
        const std::size_t n = std::min<std::size_t>(1 + (seed >> 8) % maxPiece, input.size());
        pieces.push_back(input.first(n));
        input = input.subspan(n);
    }
    return pieces;
}

// Settings of one side: both windows of the given size, optionally no context takeover.
void Configure(TkbzWSExtensions& e, TwsApplicationMode mode, int bits, bool noContext,
               bool deflateFrame)
{
    e.SetMode(mode);
    e.SetMaxMessageSize(Cap);
    if (deflateFrame)
    {
        e.DeflateFrame().SetEnabled(true);
        e.DeflateFrame().SetWindowBits(bits);
        return;
    }
    auto& p = e.PerMessage_Deflate();
    p.SetEnabled(true);
    p.SetServerMaxWindowBits(bits);
    p.SetClientMaxWindowBits(bits);
    p.SetServerNoContextTakeOver(noContext);
    p.SetClientNoContextTakeOver(noContext);
}

// Offer and answer through the real header texts.
void Negotiate(TkbzWSExtensions& client, TkbzWSExtensions& server)
{
    const std::string name = "Sec-WebSocket-Extensions: ";
    std::vector<std::string> offer;
    client.WriteHeader(offer);
    server.DecodeExtensions(offer.at(0).substr(name.size()));
    std::vector<std::string> answer;
    server.WriteHeader(answer);
    client.DecodeExtensions(answer.at(0).substr(name.size()));
    Check(client.Compression() && server.Compression());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
    {
        return 0;
    }
    const std::uint8_t control = data[0];
    const int bits = 8 + (control & 0x07);
    const bool noContext = (control & 0x08) != 0;
    const bool deflateFrame = (control & 0x10) != 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    const auto pieces = Cut(rest, control);

    // Arbitrary bytes as compressed messages.
    {
        TkbzWSExtensions server;
        TkbzWSExtensions reader;
        Configure(server, TwsApplicationMode::appServer, bits, noContext, deflateFrame);
        Configure(reader, TwsApplicationMode::appClient, bits, noContext, deflateFrame);
        Negotiate(reader, server);
        for (const auto piece : pieces)
        {
            TBytes message(piece.begin(), piece.end());
            try
            {
                reader.ReadStream(message, true);
                Check(static_cast<std::int64_t>(message.size()) <= Cap);
            }
            catch (const ECompressionError& e)
            {
                Check(e.CloseCode() == 1007 || e.CloseCode() == 1009 || e.CloseCode() == 1011);
                break; // the connection would end here
            }
        }
    }

    // The same bytes as plaintext: our compressor's output must inflate back unchanged.
    {
        TkbzWSExtensions server;
        TkbzWSExtensions client;
        Configure(server, TwsApplicationMode::appServer, bits, noContext, deflateFrame);
        Configure(client, TwsApplicationMode::appClient, bits, noContext, deflateFrame);
        Negotiate(client, server);
        for (const auto piece : pieces)
        {
            TBytes message(piece.begin(), piece.end());
            const bool compressed = server.WriteStream(message);
            client.ReadStream(message, compressed);
            Check(message.size() == piece.size() &&
                  std::equal(message.begin(), message.end(), piece.begin()));
        }
    }
    return 0;
}
