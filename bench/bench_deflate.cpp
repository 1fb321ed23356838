// permessage-deflate throughput, side by side with plain zlib on the same data at the same
// settings (level 1, memory level 9, window 15, context kept across messages).
//
// Each benchmark walks a ring of distinct JSON-like messages of one size, in one of three ways:
//   ours    TkbzWSExtensions::WriteStream / ReadStream
//   zlib    one raw deflate (inflate) stream kept open, sync flush per message, into a
//           preallocated buffer: the floor any implementation pays
//   primed  a fresh stream per message primed with the previous 32 KiB of plaintext as a preset
//           dictionary, the other way to keep context across messages
// Counters: MB/s (thread CPU time), vs_zlib (throughput relative to the zlib run of the same
// size and direction) and size_ratio (compressed/plain).
#include "websocket/kbzWebSocket_Extensions.h"

#include <benchmark/benchmark.h>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>
#include <zlib.h>

namespace
{

using namespace kbz;

constexpr int Level = 1;
constexpr int MemLevel = 9;
constexpr int WindowBits = 15;
constexpr std::size_t Window = 32768;

std::vector<TBytes> Messages(std::size_t size)
{
    const std::size_t count = size >= 65536 ? 8 : 64;
    std::mt19937 rng(static_cast<std::uint32_t>(size));
    std::vector<TBytes> messages;
    for (std::size_t m = 0; m < count; ++m)
    {
        std::string text = "[";
        while (text.size() < size)
        {
            text += R"({"event": "message", "id": ")" + std::to_string(rng()) +
                    R"(", "user": "user)" + std::to_string(rng() % 500) + R"(", "temperature": )" +
                    std::to_string(rng() % 400) + "." + std::to_string(rng() % 10) +
                    R"(, "tags": ["a", "b)" + std::to_string(rng() % 20) + R"("], "ok": true}, )";
        }
        text.resize(size);
        messages.emplace_back(text.begin(), text.end());
    }
    return messages;
}

// A negotiated client/server pair: the server compresses, the client decompresses.
struct Pair
{
    TkbzWSExtensions server;
    TkbzWSExtensions client;
    Pair()
    {
        server.SetMode(TwsApplicationMode::appServer);
        client.SetMode(TwsApplicationMode::appClient);
        server.PerMessage_Deflate().SetEnabled(true);
        client.PerMessage_Deflate().SetEnabled(true);
        server.DecodeExtensions("permessage-deflate; client_max_window_bits");
        client.DecodeExtensions("permessage-deflate; client_max_window_bits=15");
    }
};

class ZDeflate
{
public:
    ZDeflate() { deflateInit2(&FS, Level, Z_DEFLATED, -WindowBits, MemLevel, Z_DEFAULT_STRATEGY); }
    ~ZDeflate() { deflateEnd(&FS); }
    // Sync-flushed message without its 00 00 FF FF, into out (kept large enough).
    std::size_t Message(const TBytes& in, TBytes& out)
    {
        FS.next_in = const_cast<Bytef*>(in.data());
        FS.avail_in = static_cast<uInt>(in.size());
        FS.next_out = out.data();
        FS.avail_out = static_cast<uInt>(out.size());
        deflate(&FS, Z_SYNC_FLUSH);
        return out.size() - FS.avail_out - 4;
    }
    z_stream FS{};
};

class ZInflate
{
public:
    ZInflate() { inflateInit2(&FS, -WindowBits); }
    ~ZInflate() { inflateEnd(&FS); }
    // in carries the 00 00 FF FF already.
    std::size_t Message(const TBytes& in, TBytes& out)
    {
        FS.next_in = const_cast<Bytef*>(in.data());
        FS.avail_in = static_cast<uInt>(in.size());
        FS.next_out = out.data();
        FS.avail_out = static_cast<uInt>(out.size());
        inflate(&FS, Z_SYNC_FLUSH);
        return out.size() - FS.avail_out;
    }
    z_stream FS{};
};

// Compression with a fresh stream primed from the plaintext history.
std::size_t PrimedDeflate(const TBytes& history, const TBytes& in, TBytes& out)
{
    z_stream s{};
    deflateInit2(&s, Level, Z_DEFLATED, -WindowBits, MemLevel, Z_DEFAULT_STRATEGY);
    if (!history.empty())
    {
        const std::size_t n = std::min(history.size(), Window);
        deflateSetDictionary(&s, history.data() + history.size() - n, static_cast<uInt>(n));
    }
    s.next_in = const_cast<Bytef*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    deflate(&s, Z_SYNC_FLUSH);
    const std::size_t produced = out.size() - s.avail_out - 4;
    deflateEnd(&s);
    return produced;
}

std::size_t PrimedInflate(const TBytes& history, const TBytes& in, TBytes& out)
{
    z_stream s{};
    inflateInit2(&s, -WindowBits);
    if (!history.empty())
    {
        const std::size_t n = std::min(history.size(), Window);
        inflateSetDictionary(&s, history.data() + history.size() - n, static_cast<uInt>(n));
    }
    s.next_in = const_cast<Bytef*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    inflate(&s, Z_SYNC_FLUSH);
    const std::size_t produced = out.size() - s.avail_out;
    inflateEnd(&s);
    return produced;
}

void AppendHistory(TBytes& history, const TBytes& plain)
{
    history.insert(history.end(), plain.begin(), plain.end());
    if (history.size() > 4 * Window)
    {
        history.erase(history.begin(), history.end() - static_cast<std::ptrdiff_t>(Window));
    }
}

// CPU time of this thread: the machine may be busy, and wall time would charge other
// processes' work to whichever method happened to be running.
double ThreadSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

enum Method
{
    Zlib,
    Primed,
    Ours
};

// MB/s of the zlib runs by (direction, size), for the ratio that the runs of ours report.
std::map<std::pair<bool, std::int64_t>, double>& ZlibFigures()
{
    static std::map<std::pair<bool, std::int64_t>, double> figures;
    return figures;
}

void Report(benchmark::State& state, bool compress, Method method, std::size_t plainBytes,
            std::size_t packedBytes, double seconds)
{
    const double mbps = static_cast<double>(plainBytes) / 1e6 / seconds;
    state.counters["MB/s"] = mbps;
    state.counters["size_ratio"] =
        static_cast<double>(packedBytes) / static_cast<double>(plainBytes);
    const auto key = std::make_pair(compress, state.range(0));
    if (method == Zlib)
    {
        ZlibFigures()[key] = mbps;
    }
    else if (ZlibFigures().count(key) != 0)
    {
        state.counters["vs_zlib"] = mbps / ZlibFigures()[key];
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(plainBytes));
}

void BM_Compress(benchmark::State& state, Method method)
{
    const auto messages = Messages(static_cast<std::size_t>(state.range(0)));
    Pair pair;
    ZDeflate z;
    TBytes out(messages[0].size() * 2 + 64);
    TBytes history;
    TBytes work;
    std::size_t plainBytes = 0, packedBytes = 0, i = 0;
    const double start = ThreadSeconds();
    for (auto _ : state)
    {
        const TBytes& plain = messages[i++ % messages.size()];
        std::size_t packed = 0;
        switch (method)
        {
        case Zlib:
            packed = z.Message(plain, out);
            break;
        case Primed:
            packed = PrimedDeflate(history, plain, out);
            AppendHistory(history, plain);
            break;
        case Ours:
            work.assign(plain.begin(), plain.end()); // the engine's own copy of the payload
            pair.server.WriteStream(work);
            packed = work.size();
            break;
        }
        benchmark::DoNotOptimize(packed);
        plainBytes += plain.size();
        packedBytes += packed;
    }
    Report(state, true, method, plainBytes, packedBytes, ThreadSeconds() - start);
}

void BM_Decompress(benchmark::State& state, Method method)
{
    const auto messages = Messages(static_cast<std::size_t>(state.range(0)));
    // The ring compressed once by the method's own counterpart, so the decompressor walks a
    // valid sequence; at the end of the ring it starts over with a fresh decompressor.
    std::vector<TBytes> wire;
    {
        Pair pair;
        ZDeflate z;
        TBytes out(messages[0].size() * 2 + 64);
        TBytes history;
        for (const auto& m : messages)
        {
            TBytes w = m;
            if (method == Ours)
            {
                pair.server.WriteStream(w);
            }
            else
            {
                const std::size_t n =
                    method == Zlib ? z.Message(m, out) : PrimedDeflate(history, m, out);
                w.assign(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
                w.insert(w.end(), {0x00, 0x00, 0xFF, 0xFF});
            }
            AppendHistory(history, m);
            wire.push_back(std::move(w));
        }
    }
    auto pair = std::make_unique<Pair>();
    auto zi = std::make_unique<ZInflate>();
    TBytes out(messages[0].size() + 64);
    TBytes history;
    TBytes work;
    std::size_t plainBytes = 0, packedBytes = 0, i = 0;
    const double start = ThreadSeconds();
    for (auto _ : state)
    {
        const std::size_t k = i++ % messages.size();
        if (k == 0 && i > 1)
        {
            pair = std::make_unique<Pair>();
            zi = std::make_unique<ZInflate>();
            history.clear();
        }
        std::size_t plain = 0;
        switch (method)
        {
        case Zlib:
            plain = zi->Message(wire[k], out);
            break;
        case Primed:
            plain = PrimedInflate(history, wire[k], out);
            AppendHistory(history, messages[k]);
            break;
        case Ours:
            work.assign(wire[k].begin(), wire[k].end()); // the engine's received payload
            pair->client.ReadStream(work, true);
            plain = work.size();
            break;
        }
        if (plain != messages[k].size())
        {
            state.SkipWithError("decompressed size differs");
            break;
        }
        plainBytes += plain;
        packedBytes += wire[k].size() - (method == Ours ? 0 : 4); // as sent, without 00 00 FF FF
    }
    Report(state, false, method, plainBytes, packedBytes, ThreadSeconds() - start);
}

void Sizes(benchmark::internal::Benchmark* b)
{
    for (const int size : {128, 1024, 16 * 1024, 256 * 1024})
    {
        b->Arg(size);
    }
}

} // namespace

// zlib first: the runs of ours compare against its figure for the same size.
BENCHMARK_CAPTURE(BM_Compress, zlib, Zlib)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Compress, primed, Primed)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Compress, ours, Ours)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Decompress, zlib, Zlib)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Decompress, primed, Primed)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Decompress, ours, Ours)->Apply(Sizes);
