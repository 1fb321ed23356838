// The library's error classes and small shared classes of the foundation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kbz
{

// The common error base. Every error the library raises derives from it; the
// console reports one that escapes a command as "ClassName: message".
class Exception : public std::exception
{
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}

    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }
    void SetMessage(std::string message) { FMessage = std::move(message); }

    virtual std::string ClassName() const { return "Exception"; }
    // A copy of the same class and message, for events delivered later on another thread.
    virtual std::unique_ptr<Exception> Clone() const { return std::make_unique<Exception>(*this); }

private:
    std::string FMessage;
};

// Declares an error class derived from Base that reports its own name.
#define KBZ_DECLARE_EXCEPTION(Name, Base)                                                          \
    class Name : public Base                                                                       \
    {                                                                                              \
    public:                                                                                        \
        using Base::Base;                                                                          \
        std::string ClassName() const override { return #Name; }                                   \
        std::unique_ptr<::kbz::Exception> Clone() const override                                   \
        {                                                                                          \
            return std::make_unique<Name>(*this);                                                  \
        }                                                                                          \
    }

// A text that is not a valid number (ports, intervals, hex pairs, Content-Length).
KBZ_DECLARE_EXCEPTION(EConvertError, Exception);
// A list operation that is not allowed (duplicates, index out of range).
KBZ_DECLARE_EXCEPTION(EListError, Exception);
// A value outside what a property accepts.
KBZ_DECLARE_EXCEPTION(EArgumentException, Exception);
// Assigning an option record from a record of an unrelated kind.
KBZ_DECLARE_EXCEPTION(EConvertAssign, Exception);
// A compiled-in data block that does not exist.
KBZ_DECLARE_EXCEPTION(EResNotFound, Exception);
// Errors of the WebSocket engine and server, with the fixed English texts of the protocol code.
KBZ_DECLARE_EXCEPTION(TkbzWSException, Exception);

// A file that cannot be created or opened.
KBZ_DECLARE_EXCEPTION(EFOpenError, Exception);
// A stream read, write or resize that the medium refused.
KBZ_DECLARE_EXCEPTION(EStreamError, Exception);

// The message of any exception, for reporting.
std::string kbzExceptionMessage(const std::exception& e);
// The class name of any exception: our own errors report theirs, others "Exception".
std::string kbzExceptionClassName(const std::exception& e);

// ---- Streams ---------------------------------------------------------------------------------

// A byte stream with a position. Reads and writes move the position; reads never go past the
// end and return what they could copy.
class TkbzStream
{
public:
    virtual ~TkbzStream() = default;

    virtual std::int64_t Size() const = 0;
    // Truncates or extends (with zero bytes); the position is kept but never past the new end.
    virtual void SetSize(std::int64_t size) = 0;
    std::int64_t Position() const { return FPosition; }
    // Negative positions are taken as 0; a position past the end is allowed and a write there
    // fills the gap with zero bytes.
    void SetPosition(std::int64_t position) { FPosition = position < 0 ? 0 : position; }
    // Copies up to count bytes from the position into dst and returns the number copied.
    virtual std::size_t Read(void* dst, std::size_t count) = 0;
    // Writes count bytes at the position, growing the stream as needed.
    virtual void Write(const void* src, std::size_t count) = 0;

    std::size_t Read(std::span<std::uint8_t> dst) { return Read(dst.data(), dst.size()); }
    void Write(std::span<const std::uint8_t> src) { Write(src.data(), src.size()); }
    void Write(std::string_view src) { Write(src.data(), src.size()); }
    // The bytes from the position to the end (or at most maxCount of them); moves the position.
    std::vector<std::uint8_t> ReadBytes(std::size_t maxCount = static_cast<std::size_t>(-1));
    // Copies count bytes (all from the source's position to its end when count <= 0) from
    // source to this stream; returns the number copied. Copies in blocks, so a file source is
    // never loaded whole.
    std::int64_t CopyFrom(TkbzStream& source, std::int64_t count = 0);

protected:
    std::int64_t FPosition = 0;
};

// Bytes in memory with a position: the container of message payloads.
class TkbzMemoryStream : public TkbzStream
{
public:
    TkbzMemoryStream() = default;
    explicit TkbzMemoryStream(std::span<const std::uint8_t> bytes)
        : FBytes(bytes.begin(), bytes.end())
    {}

    std::int64_t Size() const override { return static_cast<std::int64_t>(FBytes.size()); }
    void SetSize(std::int64_t size) override;
    using TkbzStream::Read;
    using TkbzStream::Write;
    std::size_t Read(void* dst, std::size_t count) override;
    void Write(const void* src, std::size_t count) override;

    std::vector<std::uint8_t>& Bytes() { return FBytes; }
    const std::vector<std::uint8_t>& Bytes() const { return FBytes; }
    // Empties the stream and rewinds it.
    void Clear();
    // The whole content as a string of bytes (independent of the position).
    virtual std::string DataString() const;

private:
    std::vector<std::uint8_t> FBytes;
};

// How a TkbzStringStream turns its text into bytes.
enum class TkbzTextEncoding : std::uint8_t
{
    teUTF8,
    teANSI // one byte per character U+0000..U+00FF (Latin-1) when the text allows, else UTF-8
};

// A memory stream built from a text; DataString gives the text back.
class TkbzStringStream : public TkbzMemoryStream
{
public:
    explicit TkbzStringStream(std::string_view text = {},
                              TkbzTextEncoding encoding = TkbzTextEncoding::teUTF8);

    TkbzTextEncoding Encoding() const { return FEncoding; }
    std::string DataString() const override;

private:
    TkbzTextEncoding FEncoding;
};

enum class TkbzFileMode : std::uint8_t
{
    fmCreate,       // create or truncate, read and write
    fmOpenRead,     // existing file, read only
    fmOpenWrite,    // existing file, write only
    fmOpenReadWrite // existing file, read and write
};

// A file with a position. Failures to open raise EFOpenError, failing reads and writes
// EStreamError. Not copyable; closes the file when destroyed.
class TkbzFileStream : public TkbzStream
{
public:
    TkbzFileStream(std::string fileName, TkbzFileMode mode);
    ~TkbzFileStream() override;
    TkbzFileStream(const TkbzFileStream&) = delete;
    TkbzFileStream& operator=(const TkbzFileStream&) = delete;

    const std::string& FileName() const { return FFileName; }
    std::int64_t Size() const override;
    void SetSize(std::int64_t size) override;
    using TkbzStream::Read;
    using TkbzStream::Write;
    std::size_t Read(void* dst, std::size_t count) override;
    void Write(const void* src, std::size_t count) override;

private:
    std::string FFileName;
    int FHandle = -1;
};

// ---- String list ------------------------------------------------------------------------------

// An ordered list of texts that can be split from and joined to delimited text, with name=value
// lookups. Delimiter ",", strict delimiting and the quote character '"' by default, so that blanks
// stay inside items and a pair of quotes around an item is removed.
class TkbzDelimitedStringList
{
public:
    TkbzDelimitedStringList() = default;
    TkbzDelimitedStringList(std::initializer_list<std::string> items) : FItems(items) {}

    char GetDelimiter() const { return FDelimiter; }
    void SetDelimiter(char delimiter) { FDelimiter = delimiter; }
    char GetQuoteChar() const { return FQuoteChar; }
    void SetQuoteChar(char quote) { FQuoteChar = quote; }
    // When off, blanks (and control characters) also separate items.
    bool GetStrictDelimiter() const { return FStrictDelimiter; }
    void SetStrictDelimiter(bool strict) { FStrictDelimiter = strict; }
    // Applies to IndexOf and the name lookups (ASCII letters; off by default).
    bool GetCaseSensitive() const { return FCaseSensitive; }
    void SetCaseSensitive(bool sensitive) { FCaseSensitive = sensitive; }
    char GetNameValueSeparator() const { return FNameValueSeparator; }
    void SetNameValueSeparator(char separator) { FNameValueSeparator = separator; }

    // Replaces the items with the pieces of text. An empty text gives no items; a delimiter at
    // the end gives a last empty item.
    void SetDelimitedText(std::string_view text);
    // Items joined by the delimiter; an item holding a blank, the delimiter or the quote
    // character is quoted (inner quotes doubled), as is a single empty item.
    std::string GetDelimitedText() const;
    // Items joined with CRLF (no line break after the last).
    std::string GetText() const;
    // Replaces the items with the lines of text (CRLF, LF or CR end a line; a final line break
    // does not add an empty item).
    void SetText(std::string_view text);

    std::size_t Count() const { return FItems.size(); }
    bool Empty() const { return FItems.empty(); }
    // Checked access: an index out of range raises EListError.
    const std::string& operator[](std::size_t index) const;
    std::string& operator[](std::size_t index);
    std::size_t Add(std::string item);
    void Insert(std::size_t index, std::string item);
    void Delete(std::size_t index);
    void Clear() { FItems.clear(); }
    // Index of the first equal item, or -1.
    int IndexOf(std::string_view item) const;

    // Name (text before the first separator; empty without one) and value of item index.
    std::string Names(std::size_t index) const;
    std::string ValueFromIndex(std::size_t index) const;
    // Value of the first item with that name; empty when there is none.
    std::string Values(std::string_view name) const;
    // Sets the value of the first item with that name, adding "name=value" when there is none;
    // an empty value removes the item.
    void SetValue(std::string_view name, std::string_view value);
    int IndexOfName(std::string_view name) const;

    const std::vector<std::string>& Items() const { return FItems; }
    auto begin() const { return FItems.begin(); }
    auto end() const { return FItems.end(); }

private:
    bool SameItem(std::string_view a, std::string_view b) const;
    void CheckIndex(std::size_t index, std::size_t limit) const;

    std::vector<std::string> FItems;
    char FDelimiter = ',';
    char FQuoteChar = '"';
    char FNameValueSeparator = '=';
    bool FStrictDelimiter = true;
    bool FCaseSensitive = false;
};

} // namespace kbz
