// The WebSocket frame codec: opcode table, frame writer, masking, strict UTF-8
// validation, and the I/O-free frame decoders (RFC 6455 and Hixie-76) that the
// connection feeds with the bytes it took from its input buffer.
#pragma once

#include "base/kbzBase_Memory.h"
#include "base/kbzWebSocket_Types.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kbz
{

// ---- Opcodes ----

// The wire nibble of an opcode (0x0, 0x1, 0x2, 0x8, 0x9, 0xA); opNone has none and gives 0xFF.
std::uint8_t kbzOpcodeToWire(TOpcode opcode) noexcept;
// The opcode of a wire nibble; empty for the reserved nibbles 0x3-0x7 and 0xB-0xF.
std::optional<TOpcode> kbzWireToOpcode(std::uint8_t nibble) noexcept;
// True for opClose, opPing and opPong.
bool kbzIsControlOpcode(TOpcode opcode) noexcept;
// The name used in log lines: "continuation", "text", "binary", "close", "ping", "pong", "none".
const char* kbzOpcodeName(TOpcode opcode) noexcept;

// ---- Close codes ----
inline constexpr std::uint16_t kbzCloseNormal = 1000;
inline constexpr std::uint16_t kbzCloseGoingAway = 1001;
inline constexpr std::uint16_t kbzCloseProtocolError = 1002;
// The decoders also report 1007 (invalid UTF-8) and 1009 (message too big).

// True for the codes a peer may send in a close frame: 1000-1003, 1007-1014, 3000-4999.
bool kbzIsValidCloseCode(std::uint32_t code) noexcept;

// Largest payload of a control frame.
inline constexpr std::size_t kbzMaxControlPayload = 125;

// Error texts the decoders report (the connection closes with them).
namespace kbzCodecText
{
inline constexpr const char* InvalidOpcode = "Invalid Control OptCode";
inline constexpr const char* ContinuationWithoutMessage =
    "Unfragmented message after continuation frame with FIN";
inline constexpr const char* TextInsideFragmented =
    "OpCode error, received opText after Continuation not finished";
inline constexpr const char* BinaryInsideFragmented =
    "OpCode error, received opBinary after Continuation not finished";
inline constexpr const char* RsvWithoutExtension =
    "Invalid value of RSV while no Extension Negotiated";
inline constexpr const char* InvalidRsv = "Invalid value of RSV";
inline constexpr const char* ControlFragmented = "Control Message must not be fragmented";
inline constexpr const char* NotMasked = "Message is not masked";
inline constexpr const char* MustNotBeMasked = "Message must not be masked";
inline constexpr const char* ControlTooLong =
    "Control frames are only allowed to have payload up to and including 125 octets";
inline constexpr const char* InvalidPayloadLength = "Invalid Payload length";
inline constexpr const char* MessageTooBig = "Message too big";
inline constexpr const char* InvalidCloseLength = "Invalid Payload length for close code";
inline constexpr const char* InvalidCloseCode = "Invalid close code";
inline constexpr const char* InvalidUTF8 = "Invalid UTF8 message";
} // namespace kbzCodecText

// ---- Bytes helpers ----
inline std::span<const std::uint8_t> kbzAsBytes(std::string_view text) noexcept
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// ---- Masking ----

// XORs data[i] with key[(offset + i) % 4]; offset is the position of data[0] within the
// frame's payload, so a payload may be unmasked piece by piece. Uses AVX2 where the CPU has it.
void kbzMaskPayload(std::uint8_t* data, std::size_t n, const std::uint8_t key[4],
                    std::size_t offset = 0) noexcept;

// Four fresh unpredictable bytes from the system's CSPRNG (buffered per thread).
// Raises TkbzWSException if the system gives no random bytes at all.
void kbzGetMaskingKey(std::uint8_t key[4]);

// ---- Frame writer ----

// First header byte: wire opcode, FIN unless more frames follow, RSV1 when asked.
std::uint8_t kbzEncodeFirstByte(TOpcode opcode, bool moreFrames, bool rsv1 = false) noexcept;
// Writes the MASK/length byte and the extended length for a payload of n bytes into out
// (at least 9 bytes) and returns the count written. The form is chosen from the full size.
std::size_t kbzEncodePayloadLength(std::uint8_t* out, std::uint64_t n, bool masked) noexcept;
// Size of the header (first byte, length, key) of a frame with an n-byte payload.
std::size_t kbzFrameHeaderSize(std::uint64_t n, bool masked) noexcept;

// Writes the header of a frame with an n-byte payload (first byte, length, key when one
// is given) into out and returns its size (at most 14). Raises TkbzWSException as
// kbzAppendFrame does.
std::size_t kbzBuildFrameHeader(std::uint8_t (&out)[14], TOpcode opcode, std::uint64_t n,
                                const std::uint8_t* key, bool fin = true, bool rsv1 = false);

// Appends one whole frame (header, key when masked, masked payload) to out. A masked frame
// gets a fresh key from kbzGetMaskingKey. fin = false marks that more frames of the message
// follow; rsv1 marks the first frame of a compressed message. Raises TkbzWSException for
// opNone, a control frame above 125 bytes or not final, and RSV1 on a control or
// continuation frame.
void kbzAppendFrame(std::vector<std::uint8_t>& out, TOpcode opcode,
                    std::span<const std::uint8_t> payload, bool masked, bool fin = true,
                    bool rsv1 = false);
// The same with a given masking key (always masked): for tests and reproducible traces.
void kbzAppendFrameWithKey(std::vector<std::uint8_t>& out, TOpcode opcode,
                           std::span<const std::uint8_t> payload, const std::uint8_t key[4],
                           bool fin = true, bool rsv1 = false);
// One whole frame as a new buffer.
std::vector<std::uint8_t> kbzBuildFrame(TOpcode opcode, std::span<const std::uint8_t> payload,
                                        bool masked, bool fin = true, bool rsv1 = false);

// Close payload: the code big-endian and the reason; code 0 gives an empty payload (no
// status). The reason is cut at a character boundary so that the payload fits in 125 bytes.
std::vector<std::uint8_t> kbzBuildClosePayload(std::uint16_t code, std::string_view reason = {});

// Hixie-76 frames: 0x00, the UTF-8 text, 0xFF; and the closing frame 0xFF 0x00.
std::vector<std::uint8_t> kbzBuildHixie76Text(std::string_view text);
inline constexpr std::array<std::uint8_t, 2> kbzHixie76CloseFrame{0xFF, 0x00};

// ---- UTF-8 ----

// Incremental strict UTF-8 validation for messages that arrive in pieces: overlong forms,
// surrogates, code points above U+10FFFF and stray continuation bytes are refused, and
// Finish() refuses a sequence left open at the end.
class TkbzUTF8Validator
{
public:
    // False as soon as the bytes fed so far cannot be the start of valid UTF-8.
    bool Feed(const std::uint8_t* data, std::size_t n) noexcept;
    bool Feed(std::span<const std::uint8_t> bytes) noexcept
    {
        return Feed(bytes.data(), bytes.size());
    }
    // A whole text at once: true when it is valid, complete UTF-8.
    static bool IsValid(std::span<const std::uint8_t> bytes) noexcept;
    static bool IsValid(std::string_view text) noexcept { return IsValid(kbzAsBytes(text)); }

    // True when everything fed is valid and complete.
    bool Finish() const noexcept { return !FFailed && FNeed == 0; }
    bool Failed() const noexcept { return FFailed; }
    void Reset() noexcept
    {
        FNeed = 0;
        FLow = 0x80;
        FHigh = 0xBF;
        FFailed = false;
    }

private:
    std::uint8_t FNeed = 0;   // continuation bytes still expected
    std::uint8_t FLow = 0x80; // range of the next continuation byte
    std::uint8_t FHigh = 0xBF;
    bool FFailed = false;
};

// ---- RFC 6455 decoder ----

// The decoding record: one for the data message being assembled, one for a control frame.
struct TkbzWSMsg
{
    bool FContinuation = false;  // the frame being decoded is a continuation frame
    bool FFragmented = false;    // the frame being decoded has FIN clear (more frames follow)
    bool FCompressed = false;    // RSV1 of the message's first frame; kept until the message ends
    bool FReadMasked = false;    // the current frame is masked
    std::uint8_t FFirstByte = 0; // first header byte of the message's first frame
    TOpcode FOpCode =
        TOpcode::opNone; // opcode of the message (continuations carry their message's)
    TPayload FPayLoad = TPayload::pa7bits; // length form of the current frame
    std::uint64_t FPayLoadLength = 0;      // payload bytes of the current frame still expected
    std::uint64_t FFrameOffset = 0;        // payload bytes of the current frame received
    std::uint64_t FMessageLength = 0;      // payload bytes of the message's frames so far
    std::array<std::uint8_t, 4> Mask{};    // masking key of the current frame
    std::vector<std::uint8_t> FStream;     // payload assembled so far

    // Back to the fresh state; FStream keeps its capacity for the next message
    // unless it grew large.
    void Clear() noexcept;
    void ClearStream() noexcept { FStream.clear(); }
};

struct TkbzWSDecoderOptions
{
    // True on a server connection: frames must be masked ("Message is not masked").
    // False on a client: a masked frame from the server is refused too.
    bool MaskRequired = true;
    // Some extension was agreed: RSV1 is allowed on the first frame of a data message.
    bool ExtensionNegotiated = false;
    TwsFragmentedMessages FragmentedMessages = TwsFragmentedMessages::frgOnlyBuffer;
    // Validate uncompressed text messages as they arrive (compressed ones are validated by
    // the caller after inflating). Close reasons are always validated.
    bool ValidateUTF8 = false;
    // Largest frame and largest message (all its frames, also when they are handed out one
    // by one); 0: no limit.
    std::uint64_t MaxMessageSize = static_cast<std::uint64_t>(kbzDefaultMaxMessageSize);
};

enum class TkbzWSDecodeResult : std::uint8_t
{
    drNeedMore, // all input consumed, nothing to report yet
    drMessage,  // Msg(): a complete text or binary message
    drFragment, // Msg(): one data frame (frgOnlyFragmented, frgAll); MoreFrames() tells
    drControl,  // Msg(): a close, ping or pong frame; CloseCode()/CloseReason() for close
    drError     // ErrorCode()/ErrorText(); the decoder stays failed until Reset()
};

// Decodes RFC 6455 frames from bytes fed in any cuts. Decode consumes input from the
// front until it has one result to report or the input is used up, so the caller loops:
//
//   while ((r = dec.Decode(input)) != TkbzWSDecodeResult::drNeedMore) { act on r; }
//
// What Msg() holds stays valid until the next Decode call; the caller may move the
// payload out of Msg().FStream after drMessage, drControl and (in frgOnlyFragmented)
// drFragment. In frgAll, a fragment's FStream holds everything received so far and keeps
// growing: copy it, do not move it. The final frame in frgAll gives drFragment and then,
// on the next call (consuming nothing), drMessage.
class TkbzWSFrameDecoder
{
public:
    TkbzWSFrameDecoder() = default;
    explicit TkbzWSFrameDecoder(const TkbzWSDecoderOptions& options) : FOptions(options) {}

    // Options may change between calls (for example once an extension is agreed).
    TkbzWSDecoderOptions& Options() noexcept { return FOptions; }
    const TkbzWSDecoderOptions& Options() const noexcept { return FOptions; }

    TkbzWSDecodeResult Decode(std::span<const std::uint8_t>& input);
    // Same, taking a pointer and size; returns the result and sets consumed.
    TkbzWSDecodeResult Decode(const std::uint8_t* data, std::size_t size, std::size_t& consumed);

    // The record of the last result: the data message for drMessage/drFragment, the control
    // frame for drControl.
    TkbzWSMsg& Msg() noexcept { return *FCurrent; }
    const TkbzWSMsg& Msg() const noexcept { return *FCurrent; }
    // For drFragment: more frames of the message follow (the frame's FIN was clear).
    bool MoreFrames() const noexcept { return FData.FFragmented; }
    // For a close frame: its code (0 when the payload was empty) and reason.
    std::uint16_t CloseCode() const noexcept { return FCloseCode; }
    const std::string& CloseReason() const noexcept { return FCloseReason; }
    // For drError: the close code to send and the error text.
    std::uint16_t ErrorCode() const noexcept { return FErrorCode; }
    const std::string& ErrorText() const noexcept { return FErrorText; }
    bool Failed() const noexcept { return FState == State::Failed; }
    // A fragmented data message has begun and not ended.
    bool InMessage() const noexcept
    {
        return FData.FOpCode != TOpcode::opNone && FPending != Pending::ResetData &&
               FPending != Pending::MessageAfterFragment;
    }

    // Forget everything (records, errors, partial frames); options stay.
    void Reset() noexcept;

    // The bytes of data frames still being gathered are taken from this budget
    // (shared with other connections) as their headers arrive; a frame the
    // budget cannot hold fails like a message above MaxMessageSize (1009).
    void SetBudget(std::shared_ptr<detail::ByteBudget> budget) noexcept
    {
        FBudget.SetBudget(std::move(budget));
    }
    std::uint64_t BudgetHeld() const noexcept { return FBudget.Held(); }

private:
    enum class State : std::uint8_t
    {
        Header,
        Payload,
        Failed
    };
    enum class Pending : std::uint8_t
    {
        None,
        ResetData,           // a data message was delivered
        ResetControl,        // a control frame was delivered
        FragmentDelivered,   // a non-final fragment was delivered
        MessageAfterFragment // frgAll: the final fragment was delivered, the message is next
    };

    TkbzWSDecodeResult Fail(std::uint16_t code, const char* text);
    TkbzWSDecodeResult CheckFirstByte(std::uint8_t b);
    TkbzWSDecodeResult CheckSecondByte(std::uint8_t b);
    TkbzWSDecodeResult FinishHeader();
    TkbzWSDecodeResult CompleteFrame();
    TkbzWSDecodeResult CompleteControl();
    void ApplyPending() noexcept;

    TkbzWSDecoderOptions FOptions;
    TkbzWSMsg FData;    // text and binary messages, across continuation frames
    TkbzWSMsg FControl; // one close, ping or pong frame
    TkbzWSMsg* FCurrent = &FData;
    TkbzUTF8Validator FValidator; // of the data message, when it is validated as it arrives
    State FState = State::Header;
    Pending FPending = Pending::None;
    std::uint8_t FHeaderLen = 0;  // header bytes gathered
    std::uint8_t FHeaderSize = 2; // header bytes of the current frame, known after byte 2
    std::array<std::uint8_t, 14> FHeader{};
    std::uint16_t FCloseCode = 0;
    std::string FCloseReason;
    std::uint16_t FErrorCode = 0;
    std::string FErrorText;
    detail::ByteBudgetShare FBudget; // of the data message in progress
};

// ---- Hixie-76 decoder ----

enum class TkbzHixie76Result : std::uint8_t
{
    hxNeedMore,
    hxText,  // Text(): one text frame
    hxClose, // the closing frame 0xFF 0x00 (answer with kbzHixie76CloseFrame)
    hxError  // ErrorCode()/ErrorText(); stays failed until Reset()
};

// Reads Hixie-76 frames: 0x00 text 0xFF, and 0xFF 0x00 to close. Other bytes between
// frames are skipped, as is 0xFF followed by anything but 0x00.
class TkbzHixie76Decoder
{
public:
    // Largest text frame; 0: no limit. Above it: 1009 "Message too big".
    std::uint64_t MaxMessageSize = static_cast<std::uint64_t>(kbzDefaultMaxMessageSize);
    // Refuse text that is not valid UTF-8 (1007 "Invalid UTF8 message").
    bool ValidateUTF8 = false;

    TkbzHixie76Result Decode(std::span<const std::uint8_t>& input);
    // The text of the last hxText; valid (and movable) until the next Decode call.
    std::string& Text() noexcept { return FText; }
    std::uint16_t ErrorCode() const noexcept { return FErrorCode; }
    const std::string& ErrorText() const noexcept { return FErrorText; }
    void Reset() noexcept;

private:
    enum class State : std::uint8_t
    {
        Between,
        InText,
        AfterFF,
        Failed
    };
    State FState = State::Between;
    bool FDelivered = false;
    std::string FText;
    std::uint16_t FErrorCode = 0;
    std::string FErrorText;
};

} // namespace kbz
