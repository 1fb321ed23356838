// The older x-webkit-deflate-frame extension: one window size for both directions, context
// always kept, no parameters on the wire.
#pragma once

#include "websocket/kbzWebSocket_Extensions.h"

namespace kbz
{

class TkbzWSExtension_DeflateFrame : public TkbzWSExtension_Base
{
public:
    TkbzWSExtension_DeflateFrame();

    // Window bits for both directions; 8 to 15, anything else raises EArgumentException
    // "Invalid Value for WindowBits %d".
    int GetWindowBits() const noexcept { return FWindowBits; }
    void SetWindowBits(int value);

    // "x-webkit-deflate-frame".
    std::string GetName() const override;
    // Succeeds for an item naming x-webkit-deflate-frame (any case); parameters are ignored.
    bool DecodeExtension(const std::string& item) override;
    // Copies Mode, Enabled and WindowBits.
    void Assign(const TkbzWSExtension_Base& source) override;

protected:
    TDeflateParams OutgoingParams() const override;
    TInflateParams IncomingParams() const override;

private:
    int FWindowBits = 15;
};

} // namespace kbz
