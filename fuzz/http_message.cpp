// Drives the HTTP message layer with arbitrary bytes: a head parsed from
// growing prefixes (the first byte chooses the kind, the size of the reads
// and the limits), then the body after it decoded in the same reads. The
// verdicts must not depend on how the bytes were cut.
#include "transport/kbzHTTP_Message.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace
{

void Check(bool ok)
{
    if (!ok)
    {
        std::abort();
    }
}

struct Verdict
{
    kbz::TkbzHTTPParseStatus status = kbz::TkbzHTTPParseStatus::hpsNeedMore;
    int error = 0;
    std::size_t length = 0;
    std::size_t fields = 0;
    std::string body;
    int bodyError = 0;
    bool bodyDone = false;
    std::size_t bodyUsed = 0;
};

Verdict Run(std::string_view bytes, std::size_t piece, kbz::TkbzHTTPHeadKind kind,
            kbz::TkbzHTTPLimits limits)
{
    Verdict v;
    kbz::TkbzHTTPHeadParser parser(kind, limits);
    std::size_t end = 0;
    while (v.status == kbz::TkbzHTTPParseStatus::hpsNeedMore && end < bytes.size())
    {
        end = std::min(bytes.size(), end + piece);
        v.status = parser.Parse(bytes.substr(0, end));
    }
    v.error = parser.ErrorStatus();
    if (v.status != kbz::TkbzHTTPParseStatus::hpsComplete)
    {
        return v;
    }
    const kbz::TkbzHTTPHead& head = parser.Head();
    Check(head.Length <= end && head.Length <= limits.MaxHeadSize);
    Check(head.Headers.Count() <= limits.MaxFields);
    Check(head.Lines.size() == head.Headers.Count() + 1);
    (void)head.KeepAlive();
    (void)head.Path();
    (void)head.Query();
    v.length = head.Length;
    v.fields = head.Headers.Count();
    const kbz::TkbzHTTPBodyFraming framing = kind == kbz::TkbzHTTPHeadKind::hkRequest
                                                 ? kbz::kbzHTTPRequestFraming(head)
                                                 : kbz::kbzHTTPResponseFraming(head, "GET");
    kbz::TkbzHTTPBodyDecoder decoder(framing, 4096);
    std::size_t used = head.Length;
    std::size_t stop = head.Length;
    while (!decoder.Done() && !decoder.Failed() && stop < bytes.size())
    {
        stop = std::min(bytes.size(), stop + piece);
        const std::size_t n = decoder.Feed(bytes.substr(used, stop - used), v.body);
        Check(n <= stop - used);
        used += n;
    }
    Check(v.body.size() <= 4096 && v.body.size() == decoder.Decoded());
    v.bodyDone = decoder.Done();
    v.bodyError = decoder.ErrorStatus();
    v.bodyUsed = used;
    // What was parsed can be written again and parsed to the same fields.
    if (kind == kbz::TkbzHTTPHeadKind::hkResponse && head.Status >= 100)
    {
        kbz::TkbzHTTPAnswer answer;
        answer.Status = head.Status;
        answer.Headers = head.Headers;
        answer.AddContentLength = false;
        const std::string again = kbz::kbzWriteHTTPAnswer(answer);
        kbz::TkbzHTTPLimits wide;
        wide.MaxHeadSize = again.size() + 1;
        wide.MaxFields = head.Headers.Count() + 1;
        kbz::TkbzHTTPHeadParser reparser(kind, wide);
        Check(reparser.Parse(again) == kbz::TkbzHTTPParseStatus::hpsComplete);
        Check(reparser.Head().Headers.Count() == head.Headers.Count());
    }
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
    {
        return 0;
    }
    const std::uint8_t control = data[0];
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const auto kind =
        (control & 1) ? kbz::TkbzHTTPHeadKind::hkResponse : kbz::TkbzHTTPHeadKind::hkRequest;
    kbz::TkbzHTTPLimits limits;
    if (control & 2)
    {
        limits.MaxHeadSize = 128;
        limits.MaxFields = 4;
    }
    const std::size_t piece = static_cast<std::size_t>(control >> 2) + 1;
    const Verdict whole = Run(bytes, bytes.size() + 1, kind, limits);
    const Verdict cut = Run(bytes, piece, kind, limits);
    Check(whole.status == cut.status && whole.error == cut.error && whole.length == cut.length &&
          whole.fields == cut.fields);
    if (whole.status == kbz::TkbzHTTPParseStatus::hpsComplete)
    {
        Check(whole.body == cut.body && whole.bodyError == cut.bodyError &&
              whole.bodyDone == cut.bodyDone && whole.bodyUsed == cut.bodyUsed);
    }
    std::string decoded;
    (void)kbz::kbzHTTPDecodePath(bytes, decoded);
    (void)kbz::kbzHTTPParseQuery(bytes);
    (void)kbz::kbzHTTPSplitList(bytes);
    (void)kbz::kbzHTTPHeaderParam(bytes, "boundary");
    return 0;
}
