// Message compression extensions: the Sec-WebSocket-Extensions offer and answer, the RSV1 marking
// of compressed messages, and the raw-deflate engines behind permessage-deflate and
// x-webkit-deflate-frame.
//
// A component owns one TkbzWSExtensions with the settings; each connection gets its own copy
// (Assign), negotiates on it and keeps its compression state in it.
//
// Threads: WriteStream runs under the connection's write lock, ReadStream and DecodeHeader on the
// reading thread. The compressor and the decompressor share no mutable state, so the two may run
// at the same time. Negotiation happens before either.
#pragma once

#include "base/kbzBase_Classes.h"
#include "base/kbzBase_Helpers.h"
#include "base/kbzBase_Memory.h"
#include "base/kbzWebSocket_Types.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kbz
{

// Close codes a failed compression step maps to (the frame decoders use the first two too).
inline constexpr std::uint16_t kbzCloseInvalidPayload = 1007; // corrupt or truncated data
inline constexpr std::uint16_t kbzCloseMessageTooBig = 1009;  // beyond the size cap
inline constexpr std::uint16_t kbzCloseInternalError = 1011;  // our own zlib failed

// A compression or decompression failure. CloseCode() says how the connection should end.
class ECompressionError : public TkbzWSException
{
public:
    ECompressionError(std::string message, std::uint16_t closeCode)
        : TkbzWSException(std::move(message)), FCloseCode(closeCode)
    {}
    std::uint16_t CloseCode() const noexcept { return FCloseCode; }
    std::string ClassName() const override { return "ECompressionError"; }
    std::unique_ptr<Exception> Clone() const override
    {
        return std::make_unique<ECompressionError>(*this);
    }

private:
    std::uint16_t FCloseCode;
};

namespace detail
{
class RawDeflater;
class RawInflater;
} // namespace detail

// Common part of the two compression extensions: negotiation state, the RSV1 bit, and the
// compressor and decompressor of one connection.
class TkbzWSExtension_Base
{
public:
    TkbzWSExtension_Base();
    TkbzWSExtension_Base(const TkbzWSExtension_Base&) = delete;
    TkbzWSExtension_Base& operator=(const TkbzWSExtension_Base&) = delete;
    virtual ~TkbzWSExtension_Base();

    bool GetActive() const noexcept { return FActive; }
    void SetActive(bool value) noexcept { FActive = value; }
    bool GetEnabled() const noexcept { return FEnabled; }
    void SetEnabled(bool value) noexcept { FEnabled = value; }
    TwsApplicationMode GetMode() const noexcept { return FMode; }
    void SetMode(TwsApplicationMode value) noexcept { FMode = value; }
    // RSV1 of the first frame of the message being received.
    bool GetMessageCompressed() const noexcept { return FMessageCompressed; }
    void SetMessageCompressed(bool value) noexcept { FMessageCompressed = value; }
    // Largest decompressed message accepted; 0 or less means no cap.
    std::int64_t GetMaxMessageSize() const noexcept { return FMaxMessageSize; }
    void SetMaxMessageSize(std::int64_t value) noexcept { FMaxMessageSize = value; }
    // Decompressed messages are also taken from this share of a budget (the
    // connection's; not copied by Assign).
    void SetInflateBudget(detail::ByteBudgetShare* share) noexcept { FInflateBudget = share; }

    // "Sec-WebSocket-Extensions: " followed by the offer (client) or the answer (server).
    virtual std::string GetHeaderExtension() const;
    // Negotiates from one item of a received Sec-WebSocket-Extensions value; true when agreed.
    virtual bool DecodeExtension(const std::string& item);
    // Records RSV1 of the first frame of a data message; control and continuation frames leave
    // the record alone, so a ping between the fragments of a compressed message changes nothing.
    virtual void DecodeHeader(std::uint8_t firstByte);
    // Sets RSV1 in the first byte of a text or binary message when messages go out compressed.
    virtual void EncodeHeader(std::uint8_t& firstByte);
    virtual std::string GetName() const = 0;
    // Copies Enabled (subclasses add their settings) and forgets any negotiated state.
    virtual void Assign(const TkbzWSExtension_Base& source);

    // Whether outgoing messages are compressed: active, and a window our compressor can use
    // (zlib's raw deflate refuses 8 bits; such messages go out uncompressed, RSV1 clear).
    bool WillCompress() const;
    // Compresses a whole message in place. Returns whether the message goes out marked
    // compressed (RSV1); an empty message becomes the single byte 0x00 (an empty stored block).
    // Raises ECompressionError.
    bool DeflateFrame(TBytes& data);
    // Decompresses a whole message in place. Raises ECompressionError.
    void InflateFrame(TBytes& data);
    // Back to the state before negotiation: inactive, compression state dropped.
    void ResetNegotiation() noexcept;

protected:
    struct TDeflateParams
    {
        int level;
        int windowBits;
        int memLevel;
        bool contextTakeover;
    };
    struct TInflateParams
    {
        int windowBits;
        bool contextTakeover;
    };
    virtual TDeflateParams OutgoingParams() const = 0;
    virtual TInflateParams IncomingParams() const = 0;
    bool IsClient() const noexcept { return FMode == TwsApplicationMode::appClient; }

    bool FActive = false;
    bool FEnabled = false;
    TwsApplicationMode FMode = TwsApplicationMode::appNone;
    bool FMessageCompressed = false;
    std::int64_t FMaxMessageSize = kbzDefaultMaxMessageSize;
    std::string FHeaderExtension;

private:
    // Made on first use: most connections never compress.
    std::unique_ptr<detail::RawDeflater>
        FDeflater; // writer side, under the connection's write lock
    std::unique_ptr<detail::RawInflater> FInflater; // reading thread only
    detail::ByteBudgetShare* FInflateBudget = nullptr;
};

class TkbzWSExtension_PerMessage_Deflate;
class TkbzWSExtension_DeflateFrame;

// The extensions of a component or of one connection.
class TkbzWSExtensions
{
public:
    TkbzWSExtensions();
    TkbzWSExtensions(const TkbzWSExtensions&) = delete;
    TkbzWSExtensions& operator=(const TkbzWSExtensions&) = delete;
    ~TkbzWSExtensions();

    TkbzWSExtension_PerMessage_Deflate& PerMessage_Deflate() noexcept
    {
        return *FPerMessage_Deflate;
    }
    const TkbzWSExtension_PerMessage_Deflate& PerMessage_Deflate() const noexcept
    {
        return *FPerMessage_Deflate;
    }
    TkbzWSExtension_DeflateFrame& DeflateFrame() noexcept { return *FDeflateFrame; }
    const TkbzWSExtension_DeflateFrame& DeflateFrame() const noexcept { return *FDeflateFrame; }

    TwsApplicationMode GetMode() const noexcept { return FMode; }
    // Also sets the mode of both extensions.
    void SetMode(TwsApplicationMode value) noexcept;
    // Cap on decompressed messages, passed to both extensions; 0 or less means no cap.
    std::int64_t GetMaxMessageSize() const noexcept;
    void SetMaxMessageSize(std::int64_t value) noexcept;
    // The budget share decompressed messages are taken from, passed to both extensions.
    void SetInflateBudget(detail::ByteBudgetShare* share) noexcept;

    // Some extension is active after DecodeExtensions.
    bool ExtensionNegotiated() const noexcept { return FExtensionNegotiated; }
    // Either extension is active.
    bool Compression() const noexcept;
    // Names of the active extensions, "permessage-deflate" before "x-webkit-deflate-frame".
    std::vector<std::string> List() const;

    // Client: the offer line of each enabled extension. Server: the answer line of each active one.
    void WriteHeader(std::vector<std::string>& headers) const;
    // Negotiates from a received Sec-WebSocket-Extensions value: the client's offers on the
    // server (an offer that cannot be accepted as it is is declined and the next one tried), the
    // server's answer on the client (raises TkbzWSException "Invalid Value for WindowBits %d" for
    // a window outside 8..15, EConvertError for a value that is not a number).
    void DecodeExtensions(const std::string& value);

    // RSV1 for the first frame of an outgoing text or binary message.
    void EncodeHeader(std::uint8_t& firstByte) const;
    // Records RSV1 of a received frame (see TkbzWSExtension_Base::DecodeHeader).
    void DecodeHeader(std::uint8_t firstByte);
    // Whether the next outgoing message will be compressed (RSV1 set).
    bool WillCompress() const;
    // Whether the message being received is compressed.
    bool MessageCompressed() const noexcept;

    // Compresses a whole outgoing message in place with the extension in force. Returns whether
    // it goes out marked compressed (RSV1): false when no extension is active or the agreed
    // window is too small for our compressor, the data then unchanged.
    bool WriteStream(TBytes& data);
    // Decompresses a whole received message in place when it was marked compressed (the record
    // of DecodeHeader, or the flag given); unmarked messages pass unchanged.
    void ReadStream(TBytes& data);
    void ReadStream(TBytes& data, bool compressed);

    // Copies the mode, the cap and both extensions' settings; negotiated state is not copied.
    void Assign(const TkbzWSExtensions& source);

private:
    TkbzWSExtension_Base* InForce() const noexcept;

    bool FExtensionNegotiated = false;
    TwsApplicationMode FMode = TwsApplicationMode::appNone;
    std::unique_ptr<TkbzWSExtension_PerMessage_Deflate> FPerMessage_Deflate;
    std::unique_ptr<TkbzWSExtension_DeflateFrame> FDeflateFrame;
};

} // namespace kbz

// The two extension classes, so that users of TkbzWSExtensions can reach their settings.
#include "websocket/kbzWebSocket_Extension_DeflateFrame.h"
#include "websocket/kbzWebSocket_Extension_PerMessage_Deflate.h"
