// HTTP/1.1 messages without I/O: a head (request or status line and header
// fields) parsed once, incrementally, from whatever bytes have arrived;
// header lookup ignoring case and comma-separated token lists; the framing
// of a body (length, chunked, until the end of the stream) and its decoder;
// and the one writer of heads and answers that every part of the library uses.
// One adapter reads a head from a buffered connection; the rest does no I/O.
#pragma once

#include "base/kbzBase_Classes.h"
#include "base/kbzWebSocket_Helpers.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kbz
{

// An HTTP exchange failed: a malformed or refused message, or an answer that
// is not what the request needed. Status is the HTTP status involved (the
// answer's code, or the one a server answers a refused request with), 0 when
// there is none.
class EIdHTTPProtocolException : public Exception
{
public:
    EIdHTTPProtocolException(const std::string& message, int status = 0)
        : Exception(message), FStatus(status)
    {}
    std::string ClassName() const override { return "EIdHTTPProtocolException"; }
    std::unique_ptr<Exception> Clone() const override
    {
        return std::make_unique<EIdHTTPProtocolException>(*this);
    }
    int Status() const noexcept { return FStatus; }

private:
    int FStatus = 0;
};

// ---- Header fields ----

struct TkbzHTTPHeaderField
{
    std::string Name;
    std::string Value;
};

// The header fields of one message in the order they came or will be written.
// Names compare ignoring case; several fields of one name form one list.
class TkbzHTTPHeaders
{
public:
    void Add(std::string name, std::string value);
    // Replaces every field of that name by one (at the first one's place, or at the end).
    void Set(std::string_view name, std::string value);
    // Removes every field of that name; returns how many went.
    std::size_t Remove(std::string_view name);
    void Clear() noexcept { FFields.clear(); }

    bool Has(std::string_view name) const;
    // How many fields carry that name.
    std::size_t CountOf(std::string_view name) const;
    // The first field's value; nullptr / empty when there is none.
    const std::string* Find(std::string_view name) const;
    std::string Get(std::string_view name) const;
    // Every field of that name joined with ", " (one list, as the protocol reads it).
    std::string GetList(std::string_view name) const;
    // The items of that list: split at commas outside quoted strings, without
    // the blanks around them, empty items left out.
    std::vector<std::string> Tokens(std::string_view name) const;
    // Whether the list holds token, ignoring case.
    bool HasToken(std::string_view name, std::string_view token) const;
    // A parameter of the first field's value ("boundary" of
    // "multipart/form-data; boundary=x"), unquoted; empty when absent.
    std::string Param(std::string_view name, std::string_view param) const;

    std::size_t Count() const noexcept { return FFields.size(); }
    bool Empty() const noexcept { return FFields.empty(); }
    const TkbzHTTPHeaderField& operator[](std::size_t i) const { return FFields[i]; }
    auto begin() const noexcept { return FFields.begin(); }
    auto end() const noexcept { return FFields.end(); }

private:
    std::vector<TkbzHTTPHeaderField> FFields;
};

// Items of a comma-separated header value (see TkbzHTTPHeaders::Tokens).
std::vector<std::string> kbzHTTPSplitList(std::string_view value);
// A parameter of a value of the form "token; name=value; name=\"quoted\"",
// unquoted; the name compares ignoring case. Empty when absent.
std::string kbzHTTPHeaderParam(std::string_view value, std::string_view param);
// Whether the character may appear in a token (method, header name).
bool kbzIsHTTPTokenChar(char c) noexcept;

// ---- Heads ----

enum class TkbzHTTPHeadKind : std::uint8_t
{
    hkRequest, // "METHOD target HTTP/1.1"
    hkResponse // "HTTP/1.1 200 OK"
};

// A message head, parsed once.
struct TkbzHTTPHead
{
    TkbzHTTPHeadKind Kind = TkbzHTTPHeadKind::hkRequest;
    std::string Method; // requests, as sent (methods are case-sensitive)
    std::string Target; // requests, as sent
    int VersionMajor = 1;
    int VersionMinor = 1;
    int Status = 0;     // responses
    std::string Reason; // responses
    TkbzHTTPHeaders Headers;
    // The start line and the header lines as they arrived, without line ends:
    // what the line-based helpers and the applications' handlers read.
    TkbzHeaderList Lines;
    // Bytes of the head, its empty line included (and empty lines before a request).
    std::size_t Length = 0;

    // "HTTP/1.1"
    std::string Version() const;
    bool AtLeast11() const noexcept
    {
        return VersionMajor > 1 || (VersionMajor == 1 && VersionMinor >= 1);
    }
    // The target without its query and fragment.
    std::string Path() const;
    // What follows the first "?" of the target, without a fragment; empty without one.
    std::string Query() const;
    // Whether the connection may carry another message after this one: HTTP/1.1
    // unless Connection lists "close", HTTP/1.0 only when it lists "keep-alive".
    bool KeepAlive() const;
};

// Sizes a peer may not exceed with one head.
struct TkbzHTTPLimits
{
    std::size_t MaxHeadSize = 16 * 1024; // start line, fields and the empty line
    std::size_t MaxFields = 100;
};

enum class TkbzHTTPParseStatus : std::uint8_t
{
    hpsNeedMore, // valid so far; more bytes are needed
    hpsComplete, // Head() holds the message head
    hpsNotHTTP,  // the bytes cannot start a message of this kind (another protocol)
    hpsError     // an HTTP message that breaks the rules: ErrorStatus() says how to answer
};

// Parses one head from the bytes buffered so far. Call Parse with the buffered
// bytes that start at the head's first byte, again each time more have come
// (the earlier bytes unchanged); the scan resumes where it stopped, so a head
// cut into any pieces costs linear time and gives the same result as whole.
// Bare LF line ends are accepted; folded lines, blanks before a colon, control
// characters and oversized heads are refused.
class TkbzHTTPHeadParser
{
public:
    explicit TkbzHTTPHeadParser(TkbzHTTPHeadKind kind = TkbzHTTPHeadKind::hkRequest,
                                TkbzHTTPLimits limits = {});

    TkbzHTTPParseStatus Parse(std::string_view buffered);
    TkbzHTTPParseStatus Status() const noexcept { return FStatus; }
    const TkbzHTTPHead& Head() const noexcept { return FHead; }
    TkbzHTTPHead& Head() noexcept { return FHead; }
    // The answer a server gives an erroneous request: 400 (malformed), 431
    // (too large) or 505 (another major version); 0 otherwise.
    int ErrorStatus() const noexcept { return FErrorStatus; }
    const std::string& ErrorText() const noexcept { return FErrorText; }
    // Ready for the next message (the caller drops the bytes of this one).
    void Reset();

private:
    TkbzHTTPParseStatus Fail(int status, std::string text);
    TkbzHTTPParseStatus StartLine(std::string_view line);
    TkbzHTTPParseStatus FieldLine(std::string_view line);
    // The verdict on a line that runs past the size limit.
    TkbzHTTPParseStatus Overflow(std::string_view buffered);
    // Whether an unfinished start line can still become a valid one.
    bool StartCanContinue(std::string_view partial) const;

    TkbzHTTPHeadKind FKind;
    TkbzHTTPLimits FLimits;
    TkbzHTTPParseStatus FStatus = TkbzHTTPParseStatus::hpsNeedMore;
    TkbzHTTPHead FHead;
    std::size_t FLineStart = 0;    // start of the line being scanned
    std::size_t FSkippedLines = 0; // empty lines before a request line
    bool FHaveStart = false;
    int FErrorStatus = 0;
    std::string FErrorText;
};

// Parses a head given as lines (start line first, without line ends), as the
// handshake records keep them. Raises EIdHTTPProtocolException (with the
// error status) when the lines do not form a valid head.
TkbzHTTPHead kbzParseHTTPHeadLines(const TkbzHeaderList& lines, TkbzHTTPHeadKind kind);

class TkbzIdTCPConnection;

// Reads one head from the connection's input, waiting for bytes up to
// timeoutMs in all (0 or less: the connection's ReadTimeout), and consumes
// exactly its bytes (what follows stays buffered). Raises EIdReadTimeout,
// EIdConnClosedGracefully (the peer closed first), EIdClosedSocket, or
// EIdHTTPProtocolException with the error status for a malformed or oversized
// head and for bytes that are no head of that kind.
TkbzHTTPHead kbzReadHTTPHead(TkbzIdTCPConnection& connection, TkbzHTTPHeadKind kind, int timeoutMs,
                             TkbzHTTPLimits limits = {});

// ---- Bodies ----

enum class TkbzHTTPBodyKind : std::uint8_t
{
    hbkNone,      // no body
    hbkLength,    // Length bytes
    hbkChunked,   // chunked transfer coding
    hbkUntilClose // responses only: up to the end of the stream
};

struct TkbzHTTPBodyFraming
{
    TkbzHTTPBodyKind Kind = TkbzHTTPBodyKind::hbkNone;
    std::uint64_t Length = 0;
    int ErrorStatus = 0; // 400 / 501 when the framing cannot be trusted
    std::string ErrorText;
};

// How a request's body is framed: chunked (as the last coding) or a
// Content-Length, never both (a request with both, with differing lengths, or
// with a length that is not a decimal number is refused: two readers could
// disagree on where it ends); none otherwise.
TkbzHTTPBodyFraming kbzHTTPRequestFraming(const TkbzHTTPHead& head);
// How a response's body is framed; requestMethod is the method it answers
// (HEAD answers and 1xx, 204 and 304 carry none).
TkbzHTTPBodyFraming kbzHTTPResponseFraming(const TkbzHTTPHead& head,
                                           std::string_view requestMethod);

// Decodes a body of any framing from the bytes as they come, without I/O.
// Feed takes the next input, appends the body bytes it holds to out and
// returns how many input bytes it used (it stops at the body's end, so what
// follows belongs to the next message). MaxBody bounds the decoded size
// (413 over it); chunk lines and trailers are bounded too (400).
class TkbzHTTPBodyDecoder
{
public:
    TkbzHTTPBodyDecoder() = default;
    explicit TkbzHTTPBodyDecoder(const TkbzHTTPBodyFraming& framing,
                                 std::uint64_t maxBody = ~std::uint64_t{0});

    std::size_t Feed(std::string_view input, std::string& out);
    // The stream ended: completes a body framed by the end, fails any other.
    void End();
    bool Done() const noexcept { return FState == TState::sDone; }
    bool Failed() const noexcept { return FState == TState::sFailed; }
    int ErrorStatus() const noexcept { return FErrorStatus; }
    const std::string& ErrorText() const noexcept { return FErrorText; }
    // Body bytes decoded so far.
    std::uint64_t Decoded() const noexcept { return FDecoded; }

private:
    enum class TState : std::uint8_t
    {
        sLength,
        sUntilClose,
        sChunkSize,
        sChunkExt,
        sChunkSizeLF,
        sChunkData,
        sChunkDataCR,
        sChunkDataLF,
        sTrailer,
        sDone,
        sFailed
    };
    std::size_t FailAt(std::size_t used, int status, std::string text);
    bool Accept(std::uint64_t n);

    TState FState = TState::sDone;
    std::uint64_t FMaxBody = ~std::uint64_t{0};
    std::uint64_t FRemaining = 0; // of the body (length) or of the chunk
    std::uint64_t FDecoded = 0;
    std::size_t FLineBytes = 0;    // of the chunk-size line or of the trailers
    bool FSizeDigits = false;      // a digit of the chunk size was seen
    bool FTrailerLineData = false; // the trailer line being read is not empty
    int FErrorStatus = 0;
    std::string FErrorText;
};

// ---- Writing ----

// The standard reason text of a status code ("OK", "Not Found"); "Unknown"
// for codes without one.
std::string kbzHTTPStatusText(int status);

// A head as bytes: the start line, each field, the empty line. Names and
// values that could split the head (CR, LF, NUL; a name that is no token) are
// refused with EArgumentException rather than written.
std::string kbzWriteHTTPHead(std::string_view startLine, const TkbzHTTPHeaders& headers);
// The same from ready lines (the start line first), as handshake hooks edit them.
std::string kbzWriteHTTPLines(const std::vector<std::string>& lines);

// An answer a server writes.
struct TkbzHTTPAnswer
{
    int Status = 200;
    std::string Reason; // empty: the standard text
    int VersionMinor = 1;
    TkbzHTTPHeaders Headers;
    std::string Body;
    // Content-Length is written from the body unless a field gives it (or
    // Transfer-Encoding does, or the answer is 1xx, 204 or 304).
    bool AddContentLength = true;
    // An answer to HEAD: the head as for the full answer, no body bytes.
    bool HeadOnly = false;
};

std::string kbzWriteHTTPAnswer(const TkbzHTTPAnswer& answer);

// A request as bytes: "METHOD target HTTP/1.1", the fields, and the body with
// its Content-Length (written when there is a body, or for methods that carry
// one).
std::string kbzWriteHTTPRequest(std::string_view method, std::string_view target,
                                const TkbzHTTPHeaders& headers, std::string_view body = {});

// ---- Targets ----

// Decodes %XX escapes of a path. Fails (false) on a bad escape or an encoded
// NUL; "+" stays "+".
bool kbzHTTPDecodePath(std::string_view path, std::string& out);
// Decodes a form-encoded component: %XX escapes and "+" as a blank; a bad
// escape is kept as it is.
std::string kbzHTTPDecodeFormComponent(std::string_view text);
// name=value pairs of a query or form body, decoded, in order; a pair without
// "=" has an empty value.
std::vector<std::pair<std::string, std::string>> kbzHTTPParseQuery(std::string_view query);
// Escapes everything but unreserved characters and "/" (for paths) as %XX.
std::string kbzHTTPEncodePath(std::string_view path);

} // namespace kbz
