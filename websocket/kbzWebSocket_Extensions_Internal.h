// The raw-deflate engines and the header parsing behind the compression extensions; not
// installed.
#pragma once

#include "base/kbzBase_Classes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct z_stream_s;

namespace kbz::detail
{

// The fixed error texts.
inline constexpr const char* InvalidWindowBitsText = "Invalid Value for WindowBits %d";
inline constexpr const char* ZLibErrorText = "ZLib Error (%d)";
std::string FormatWindowBitsError(int value);
std::string FormatZLibError(int code);

// Owns one zlib stream; a z_stream must not move once initialised (zlib keeps a pointer to it).
struct ZStreamDeleter
{
    bool deflating = true;
    void operator()(z_stream_s* stream) const noexcept;
};
using ZStreamPtr = std::unique_ptr<z_stream_s, ZStreamDeleter>;

// One direction's compressor. The stream stays open across messages, which keeps the last
// messages in its window (context takeover) at no cost per message; without context takeover it
// is reset after each message. The result is what RFC 7692 puts on the wire: the data ended with
// a sync flush whose trailing 00 00 FF FF is dropped.
class RawDeflater
{
public:
    // Takes effect on the next message; changed parameters start a fresh stream.
    void Configure(int level, int windowBits, int memLevel, bool contextTakeover);
    // Replaces data (non-empty) with its compressed form. Raises ECompressionError.
    void Compress(TBytes& data);
    // Forgets the stream and its window.
    void Reset() noexcept;

private:
    void Open();

    int FLevel = 1;
    int FWindowBits = 15;
    int FMemLevel = 9;
    bool FContextTakeover = true;
    ZStreamPtr FStream;
    TBytes FOut; // output buffer, swapped with the caller's data
};

// One direction's decompressor, the counterpart of RawDeflater. It also accepts messages that
// end with a final block (keeping the window across it) and refuses data that stops inside a
// block, which a truncated message does.
class RawInflater
{
public:
    void Configure(int windowBits, bool contextTakeover);
    // Replaces data with its decompressed form, which costs its final size plus a
    // small constant (never a growing copy). maxSize > 0 caps the output; budget,
    // when given, must hold it. Raises ECompressionError: 1009 beyond the cap or
    // the budget, 1007 for corrupt or truncated data.
    void Decompress(TBytes& data, std::int64_t maxSize, ByteBudgetShare* budget = nullptr);
    void Reset() noexcept;

private:
    void Open();
    void EndOfMessage(bool finalBlock);

    int FWindowBits = 15;
    bool FContextTakeover = true;
    ZStreamPtr FStream;
};

// One parameter of an extension item: name, or name=value (quotes removed from the value).
struct ExtensionParam
{
    std::string name;
    bool hasValue = false;
    std::string value;
};

// "name; p1; p2=v" split into the extension name and its parameters, blanks trimmed, empty
// parameters dropped.
struct ExtensionItem
{
    std::string name;
    std::vector<ExtensionParam> params;
};
ExtensionItem ParseExtensionItem(std::string_view item);
// A Sec-WebSocket-Extensions value split at commas into its items (quotes around an item removed).
std::vector<std::string> SplitExtensionList(std::string_view value);

} // namespace kbz::detail
