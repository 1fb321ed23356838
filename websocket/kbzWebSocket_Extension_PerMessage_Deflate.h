// The permessage-deflate extension of RFC 7692: window sizes and context takeover per direction.
#pragma once

#include "websocket/kbzWebSocket_Extensions.h"

namespace kbz
{

namespace detail
{
struct ExtensionItem;
} // namespace detail

class TkbzWSExtension_PerMessage_Deflate : public TkbzWSExtension_Base
{
public:
    TkbzWSExtension_PerMessage_Deflate();

    // Window bits of the server's compressor; 8 to 15, anything else raises EArgumentException
    // "Invalid Value for WindowBits %d".
    int GetServerMaxWindowBits() const noexcept { return FServerMaxWindowBits; }
    void SetServerMaxWindowBits(int value);
    // The server's compressor starts every message with an empty window.
    bool GetServerNoContextTakeOver() const noexcept { return FServerNoContextTakeOver; }
    void SetServerNoContextTakeOver(bool value) noexcept { FServerNoContextTakeOver = value; }
    // Window bits of the client's compressor; 8 to 15 as above.
    int GetClientMaxWindowBits() const noexcept { return FClientMaxWindowBits; }
    void SetClientMaxWindowBits(int value);
    // The client's compressor starts every message with an empty window.
    bool GetClientNoContextTakeOver() const noexcept { return FClientNoContextTakeOver; }
    void SetClientNoContextTakeOver(bool value) noexcept { FClientNoContextTakeOver = value; }
    // zlib memory level of our compressor, 1 to 9 (EArgumentException otherwise). Not copied by
    // Assign: every connection compresses with the default.
    int GetMemLevel() const noexcept { return FMemLevel; }
    void SetMemLevel(int value);

    // "permessage-deflate; client_max_window_bits" on the client, "permessage-deflate" otherwise.
    std::string GetName() const override;
    // Client: the offer built from the settings, e.g. "Sec-WebSocket-Extensions:
    // permessage-deflate; client_max_window_bits=10;server_no_context_takeover". Server: the
    // answer to the accepted offer.
    std::string GetHeaderExtension() const override;
    // Server: accepts an offer whose parameters are all known, given once and valid, and builds
    // the answer (false declines it). Client: applies the server's answer; raises on a window
    // outside 8..15 or a value that is not a number. Settings change only when true is returned.
    bool DecodeExtension(const std::string& item) override;
    // Copies Mode, Enabled, the window bits and the context takeover flags.
    void Assign(const TkbzWSExtension_Base& source) override;

protected:
    TDeflateParams OutgoingParams() const override;
    TInflateParams IncomingParams() const override;

private:
    bool DecodeOffer(const detail::ExtensionItem& item);
    void DecodeAnswer(const detail::ExtensionItem& item);

    int FServerMaxWindowBits = 15;
    bool FServerNoContextTakeOver = false;
    int FClientMaxWindowBits = 15;
    bool FClientNoContextTakeOver = false;
    int FMemLevel = 9;
};

} // namespace kbz
