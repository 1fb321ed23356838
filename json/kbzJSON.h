// A small text-based JSON document model: a lenient reader that fills a
// document as far as the text can be read, and a compact writer. Scalars are
// held as the text found between their delimiters, so reading and writing a
// document never converts numbers or decodes escape sequences.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kbz
{

enum class TkbzJSONtype : std::uint8_t
{
    kbzJSONUndefined = 0,
    kbzJSONObject = 1,
    kbzJSONList = 2,
    kbzJSONString = 3,
    kbzJSONNumber = 4,
    kbzJSONBoolean = 5,
    kbzJSONNull = 6
};

class TkbzJSON;
class TkbzObjectJSON;

// Documents and members are handed out as shared references: a member obtained
// from a document stays valid while the caller holds it, even after the
// document was cleared or destroyed.
using IkbzJSON = std::shared_ptr<TkbzJSON>;
using IkbzObjectJSON = std::shared_ptr<TkbzObjectJSON>;

// One member of a document: a name with a typed value. Object and list members
// carry a nested document.
class TkbzObjectJSON
{
public:
    TkbzObjectJSON() = default;
    TkbzObjectJSON(const TkbzObjectJSON&) = delete;
    TkbzObjectJSON& operator=(const TkbzObjectJSON&) = delete;

    // The nested document, created on first access; creating it turns the member
    // into an object member unless it is a list member.
    IkbzJSON GetJSONObject();
    void SetJSONObject(IkbzJSON value) { FJSONObject = std::move(value); }
    // The nested document if there is one, without creating it.
    const IkbzJSON& PeekJSONObject() const { return FJSONObject; }

    TkbzJSONtype GetJSONType() const { return FJSONType; }
    void SetJSONType(TkbzJSONtype value) { FJSONType = value; }

    // The same operations on the nested document (created as GetJSONObject does).
    IkbzObjectJSON GetNode(std::string_view name);
    void SetNode(std::string_view name, IkbzObjectJSON value);
    IkbzObjectJSON GetItem(std::size_t index);
    void SetItem(std::size_t index, IkbzObjectJSON value);

    // Objects give their nested document's text, lists the same after marking the
    // nested document as a list; every other kind its stored text.
    std::string GetValue();
    // Stores the value; kind and quoting stay as they are.
    void SetValue(std::string value) { FValue = std::move(value); }
    // The stored text itself, whatever the kind.
    const std::string& GetRawValue() const { return FValue; }

    // 0 without a nested document; never creates one.
    std::size_t GetCount() const;

    const std::string& GetName() const { return FName; }
    void SetName(std::string value) { FName = std::move(value); }

    // Whether a string value is written between double quotes.
    bool GetQuoted() const { return FQuoted; }
    void SetQuoted(bool value) { FQuoted = value; }

    // Drops the nested document.
    void Clear() { FJSONObject.reset(); }

    // The value part of the member in compact JSON.
    void RenderValue(std::string& out) const;

private:
    bool FQuoted = true;
    std::string FValue;
    std::string FName;
    IkbzJSON FJSONObject;
    TkbzJSONtype FJSONType = TkbzJSONtype::kbzJSONUndefined;
};

// A document: an object or a list of members in document order.
class TkbzJSON
{
public:
    // Nesting deeper than this fails the value being read, so hostile input
    // cannot exhaust the stack.
    static constexpr int MaxDepth = 512;

    TkbzJSON() = default;
    TkbzJSON(const TkbzJSON&) = delete;
    TkbzJSON& operator=(const TkbzJSON&) = delete;

    std::size_t GetCount() const { return FData.size(); }
    // First member with exactly this name (case-sensitive, no unescaping), or null.
    IkbzObjectJSON GetNode(std::string_view name) const;
    // Replaces the first member with this name; never appends.
    void SetNode(std::string_view name, IkbzObjectJSON value);
    // Member at a 0-based index, or null at or beyond the end.
    IkbzObjectJSON GetItem(std::size_t index) const;
    // Replaces the member at index; nothing at or beyond the end.
    void SetItem(std::size_t index, IkbzObjectJSON value);

    bool GetIsArray() const { return FIsArray; }
    void SetIsArray(bool value) { FIsArray = value; }

    bool GetEscapeStrings() const { return FEscapeStrings; }
    void SetEscapeStrings(bool value) { FEscapeStrings = value; }

    // Add a member, or store the value into the member of that name when one
    // exists already (its kind and quoting then stay as they were).
    IkbzObjectJSON AddPair(std::string_view name, std::string_view value);
    IkbzObjectJSON AddPair(std::string_view name, const char* value)
    {
        return AddPair(name, std::string_view(value));
    }
    IkbzObjectJSON AddPair(std::string_view name, const std::string& value)
    {
        return AddPair(name, std::string_view(value));
    }
    IkbzObjectJSON AddPair(std::string_view name, std::int32_t value);
    IkbzObjectJSON AddPair(std::string_view name, std::int64_t value);
    IkbzObjectJSON AddPair(std::string_view name, double value);
    IkbzObjectJSON AddPair(std::string_view name, bool value);
    // A null member.
    IkbzObjectJSON AddPair(std::string_view name);
    // Members whose value is JSON text, read into the member's nested document.
    IkbzObjectJSON AddObject(std::string_view name, std::string_view json);
    IkbzObjectJSON AddArray(std::string_view name, std::string_view json);

    // Releases every member; IsArray is kept.
    void Clear() { FData.clear(); }

    // Replaces the content by what text holds. Never fails: reading stops
    // silently at the first value that cannot be read, keeping what came before.
    void Read(std::string_view text);

    // The document as compact JSON.
    std::string GetText() const;
    void RenderTo(std::string& out) const;

    // Appends a member (used by the reader and by program code building documents).
    void Append(IkbzObjectJSON member) { FData.push_back(std::move(member)); }

private:
    IkbzObjectJSON AddMember(std::string_view name, std::string value, TkbzJSONtype kind,
                             bool escapeValue);

    bool FIsArray = false;
    bool FEscapeStrings = false;
    std::vector<IkbzObjectJSON> FData;
};

// Document factory. The library keeps a list of the documents it handed out;
// it holds them weakly (the caller's reference keeps a document alive) and drops
// entries of documents that are gone, so the list never outgrows the documents
// actually alive.
IkbzJSON CreateJSONInstance();
// Removes the document from the factory's list; the document itself goes when
// its last reference does (members already handed out stay valid).
void FreeJSONInstance(const IkbzJSON& document);

// The escaping rule of EscapeStrings: ASCII-only JSON string content, with
// "\uXXXX" (upper-case hex) for control and non-ASCII characters, counted in
// UTF-16 code units (an invalid UTF-8 byte becomes U+FFFD).
std::string kbzJSONEscapeString(std::string_view utf8);

// Decodes the escape sequences of a JSON string's content to UTF-8. A sequence
// that is not a valid escape (an unknown letter, bad hex digits, a lone
// surrogate) is kept as written.
std::string kbzJSONDecodeString(std::string_view raw);

// Escapes text for a string value of an event line: double quote, backslash and
// control characters; everything else (non-ASCII UTF-8 included) stays as it is.
std::string kbzJSONEscapeText(std::string_view utf8);

// Shortest text that reads back as the same double, always with a '.' decimal
// point; non-finite values give "null".
std::string kbzJSONFormatDouble(double value);

} // namespace kbz
