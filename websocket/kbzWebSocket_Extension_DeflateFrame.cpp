#include "websocket/kbzWebSocket_Extension_DeflateFrame.h"

#include "websocket/kbzWebSocket_Extensions_Internal.h"

namespace kbz
{

namespace
{

constexpr const char* ExtensionName = "x-webkit-deflate-frame";
// zlib's default level; a small memory level keeps this older extension light.
constexpr int LevelDeflateFrame = -1;
constexpr int MemLevelDeflateFrame = 1;

} // namespace

TkbzWSExtension_DeflateFrame::TkbzWSExtension_DeflateFrame()
{
    FHeaderExtension = ExtensionName;
}

void TkbzWSExtension_DeflateFrame::SetWindowBits(int value)
{
    if (value < 8 || value > 15)
    {
        throw EArgumentException(detail::FormatWindowBitsError(value));
    }
    FWindowBits = value;
}

std::string TkbzWSExtension_DeflateFrame::GetName() const
{
    return ExtensionName;
}

bool TkbzWSExtension_DeflateFrame::DecodeExtension(const std::string& item)
{
    return kbzSameText(detail::ParseExtensionItem(item).name, ExtensionName);
}

void TkbzWSExtension_DeflateFrame::Assign(const TkbzWSExtension_Base& source)
{
    TkbzWSExtension_Base::Assign(source);
    if (const auto* other = dynamic_cast<const TkbzWSExtension_DeflateFrame*>(&source))
    {
        FMode = other->FMode;
        SetWindowBits(other->FWindowBits);
    }
}

TkbzWSExtension_Base::TDeflateParams TkbzWSExtension_DeflateFrame::OutgoingParams() const
{
    return {LevelDeflateFrame, FWindowBits, MemLevelDeflateFrame, true};
}

TkbzWSExtension_Base::TInflateParams TkbzWSExtension_DeflateFrame::IncomingParams() const
{
    return {FWindowBits, true};
}

} // namespace kbz
