// Token verifications per second: the server-side check (signature and time checks) on HS256
// and ES256 tokens. bench/bench_jwt.py runs it next to python3-jwt and prints the ratios.
#include "auth/kbzHTTP_JWT_Server.h"

#include <benchmark/benchmark.h>
#include <fstream>
#include <sstream>

namespace
{

using namespace kbz;

std::string ReadKeyFile(const std::string& name)
{
    std::ifstream in(std::string(KBZ_SOURCE_DIR) + "/tests/auth/keys/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

const std::string kSecret = "a secret of the benchmark, 32 bytes";

void Verify(benchmark::State& state, TkbzHTTP_JWT_Algorithm alg)
{
    TkbzHTTPComponentServer_JWT check;
    check.JWTOptions().Algorithms.HS.Secret = kSecret;
    check.JWTOptions().Algorithms.ES.PublicKey.SetText(ReadKeyFile("ec_p256_public.pem"));
    TkbzHTTP_JWTHeader header;
    header.alg = alg;
    TkbzHTTP_JWTPayload payload;
    payload.sub = "1234567890";
    payload.iat = kbzJWTNow();
    payload.exp = payload.iat + 3600;
    payload.AddKeyValue("name", "John Doe");
    payload.AddKeyValue("admin", true);
    detail::TJWTSigners signers;
    const std::string key =
        alg == TkbzHTTP_JWT_Algorithm::jwtHS256 ? kSecret : ReadKeyFile("ec_p256_private.pem");
    const std::string token =
        detail::SignJWT(signers, alg, header.GetJSON(), payload.GetJSON(), key);
    if (!check.IsJWTTokenValid(nullptr, token))
    {
        state.SkipWithError("the token does not verify");
        return;
    }
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(check.IsJWTTokenValid(nullptr, token));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void JWT_Verify_HS256(benchmark::State& state)
{
    Verify(state, TkbzHTTP_JWT_Algorithm::jwtHS256);
}

void JWT_Verify_ES256(benchmark::State& state)
{
    Verify(state, TkbzHTTP_JWT_Algorithm::jwtES256);
}

} // namespace

BENCHMARK(JWT_Verify_HS256)->Name("JWT/verify/HS256");
BENCHMARK(JWT_Verify_ES256)->Name("JWT/verify/ES256");
