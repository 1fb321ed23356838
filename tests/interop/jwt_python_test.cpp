// Tokens exchanged with python3-jwt in both directions, for all nine algorithms: what it signs
// we verify, what we sign it verifies, and neither accepts the other's altered or unsigned
// tokens.
#include "auth/kbzHTTP_JWT_Classes.h"
#include "tests/auth/kbzJWTTestKeys.h"
#include "tests/interop/jwt_python_peer.h"

#include <gtest/gtest.h>

using namespace kbz;
using namespace kbz::test;
using namespace kbz::test::jwt;

namespace
{

std::string Claim(const IkbzJSON& claims, const std::string& name)
{
    const auto member = claims ? detail::FindJWTMember(*claims, name) : nullptr;
    return member ? member->GetValue() : "<missing>";
}

class PythonJWTTest : public testing::Test
{
protected:
    void SetUp() override
    {
        if (!HavePythonJWT())
        {
            GTEST_SKIP() << "python3-jwt with python3-cryptography is not installed";
        }
        ASSERT_TRUE(FPeer.Start());
    }

    PythonJWT FPeer;
    detail::TJWTSigners FSigners;
};

} // namespace

TEST_F(PythonJWTTest, WeVerifyWhatItSigns)
{
    for (const AlgorithmKeys& a : kAllAlgorithms)
    {
        const std::string alg(kbzJWTAlgorithmText(a.alg));
        SCOPED_TRACE(alg);
        const std::string token = FPeer.Sign(
            alg, PythonJWT::KeyMember(a.privateFile.empty() ? "" : KeyPath(a.privateFile), kSecret),
            R"({"sub":"joe \u00e9","exp":2000000000,"admin":true,"roles":["a","b"]})");
        ASSERT_FALSE(token.empty());
        EXPECT_TRUE(SignatureHolds(FSigners, token, VerifyingKey(a)));
        const detail::TJWTParts parts = detail::SplitJWT(token);
        EXPECT_EQ(parts.alg, a.alg);
        EXPECT_EQ(kbzJSONDecodeString(Claim(parts.claims, "sub")), "joe \xc3\xa9");
        EXPECT_EQ(Claim(parts.claims, "exp"), "2000000000");
        std::string altered = token;
        altered[token.size() - 2] = altered[token.size() - 2] == 'A' ? 'B' : 'A';
        EXPECT_FALSE(SignatureHolds(FSigners, altered, VerifyingKey(a)));
    }
}

TEST_F(PythonJWTTest, ItVerifiesWhatWeSign)
{
    for (const AlgorithmKeys& a : kAllAlgorithms)
    {
        const std::string alg(kbzJWTAlgorithmText(a.alg));
        SCOPED_TRACE(alg);
        TkbzHTTP_JWTHeader header;
        header.alg = a.alg;
        header.kid = "k1";
        TkbzHTTP_JWTPayload payload;
        payload.sub = "[x \xc3\xa9\"/";
        payload.iss = "kbz";
        payload.exp = 2000000000;
        payload.iat = 1000000000;
        payload.AddKeyValue("admin", true);
        payload.AddKeyValue("count", "42");
        payload.AddKeyValue("roles", R"(["a","b"])");
        const std::string token =
            detail::SignJWT(FSigners, a.alg, header.GetJSON(), payload.GetJSON(), SigningKey(a));
        const std::string key =
            PythonJWT::KeyMember(a.publicFile.empty() ? "" : KeyPath(a.publicFile), kSecret);
        std::string error;
        const IkbzJSON claims = FPeer.Verify(alg, key, token, error);
        ASSERT_TRUE(claims) << error;
        EXPECT_EQ(kbzJSONDecodeString(Claim(claims, "sub")), "[x \xc3\xa9\"/");
        EXPECT_EQ(Claim(claims, "count"), "42");
        EXPECT_EQ(Claim(claims, "admin"), "true");
        EXPECT_EQ(Claim(claims, "roles"), R"(["a","b"])");

        // Altered in its payload, or verified with the wrong key: python refuses it too.
        std::string altered = token;
        const std::size_t dot = token.find('.');
        altered[dot + 3] = altered[dot + 3] == 'A' ? 'B' : 'A';
        EXPECT_FALSE(FPeer.Verify(alg, key, altered, error));
        EXPECT_FALSE(FPeer.Verify(alg, PythonJWT::KeyMember("", "other"), token, error));
    }
}

TEST_F(PythonJWTTest, UnsignedAndWronglyKeyedTokensAreRefused)
{
    const std::string none = FPeer.Sign("none", "\"key\":\"\"", R"({"sub":"joe"})");
    ASSERT_FALSE(none.empty());
    EXPECT_EQ(detail::SplitJWT(none).alg, TkbzHTTP_JWT_Algorithm::jwtNone);
    EXPECT_FALSE(SignatureHolds(FSigners, none, kSecret));
    EXPECT_FALSE(SignatureHolds(FSigners, none, ""));
    // Signed by python with another key of the right kind.
    const std::string es = FPeer.Sign(
        "ES256", PythonJWT::KeyMember(KeyPath("rfc7515_a3_private.pem"), ""), R"({"sub":"joe"})");
    EXPECT_TRUE(SignatureHolds(FSigners, es, ReadKey("rfc7515_a3_public.pem")));
    EXPECT_FALSE(SignatureHolds(FSigners, es, ReadKey("ec_p256_public.pem")));
}

namespace
{

// kbzJWT run to its end: exit code, standard output and error lines.
struct ToolRun
{
    int code = -1;
    std::vector<std::string> out;
    std::vector<std::string> err;
};

ToolRun RunTool(const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv{BinaryPath("kbzJWT")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    TestProcess p;
    ToolRun run;
    if (p.Start(argv))
    {
        run.code = p.WaitForExit(30s).value_or(-1);
        run.out = p.Lines();
        run.err = p.StderrLines();
    }
    return run;
}

} // namespace

TEST_F(PythonJWTTest, TheCommandLineToolSignsAndVerifies)
{
    for (const AlgorithmKeys& a : {kAllAlgorithms[1], kAllAlgorithms[5], kAllAlgorithms[8]})
    {
        const std::string alg(kbzJWTAlgorithmText(a.alg));
        SCOPED_TRACE(alg);
        const std::string signKey = a.privateFile.empty() ? kSecret : KeyPath(a.privateFile);
        const std::string verifyKey = a.publicFile.empty() ? kSecret : KeyPath(a.publicFile);
        const ToolRun signed_ =
            RunTool({"sign", alg, signKey, R"({"sub":"joe","exp":2000000000,"n":7})"});
        ASSERT_EQ(signed_.code, 0);
        ASSERT_EQ(signed_.out.size(), 1u);
        std::string error;
        const IkbzJSON claims =
            FPeer.Verify(alg, PythonJWT::KeyMember(a.publicFile.empty() ? "" : verifyKey, kSecret),
                         signed_.out[0], error);
        ASSERT_TRUE(claims) << error;
        EXPECT_EQ(Claim(claims, "n"), "7");

        const std::string theirs =
            FPeer.Sign(alg, PythonJWT::KeyMember(a.privateFile.empty() ? "" : signKey, kSecret),
                       R"({"sub":"ann","exp":2000000000})");
        const ToolRun verified = RunTool({"verify", alg, verifyKey, theirs});
        EXPECT_EQ(verified.code, 0);
        EXPECT_EQ(verified.out, std::vector<std::string>{R"({"sub":"ann","exp":2000000000})"});

        const std::string expired =
            FPeer.Sign(alg, PythonJWT::KeyMember(a.privateFile.empty() ? "" : signKey, kSecret),
                       R"({"sub":"ann","exp":1000})");
        const ToolRun refused = RunTool({"verify", alg, verifyKey, expired});
        EXPECT_EQ(refused.code, 1);
        EXPECT_TRUE(refused.out.empty());
        EXPECT_EQ(refused.err, std::vector<std::string>{"Invalid exp value."});
    }
    EXPECT_EQ(RunTool({"sign", "hs256", "k"}).code, 2);
    EXPECT_EQ(RunTool({"verify", "HS256", "k", "not-a-token"}).code, 1);
}

// python3-websockets with a python3-jwt token against our server's check (kbzJWT serve).
TEST_F(PythonJWTTest, PythonClientsWithTokensAgainstOurServer)
{
    TestProcess server;
    ASSERT_TRUE(
        server.Start({BinaryPath("kbzJWT"), "serve", "ES256", KeyPath("ec_p256_public.pem")}));
    const auto at = server.WaitForLineContaining("listening on 127.0.0.1:", 20s);
    ASSERT_TRUE(at);
    const std::string url = "ws://" + server.Lines()[*at].substr(13) + "/";
    struct Case
    {
        std::string name;
        std::string alg;
        std::string key;
        std::string claims;
        std::string outcome;
    };
    const Case cases[] = {
        {"valid", "ES256", KeyPath("ec_p256_private.pem"), R"({"sub":"joe","exp":2000000000})",
         "echo hello"},
        {"expired", "ES256", KeyPath("ec_p256_private.pem"), R"({"exp":1000})", "refused 401"},
        {"other key", "ES256", KeyPath("rfc7515_a3_private.pem"), "{}", "refused 401"},
        {"other algorithm", "HS256", "secret", "{}", "refused 401"},
        {"unsigned", "none", "", "{}", "refused 401"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TestProcess client;
        ASSERT_TRUE(client.Start({kPython, SourcePath("tests/interop/peers/jwt_ws_client.py"), url,
                                  c.alg, c.key, c.claims}));
        EXPECT_EQ(client.WaitForExit(30s), 0);
        EXPECT_EQ(client.Lines(), std::vector<std::string>{c.outcome})
            << testing::PrintToString(client.StderrLines());
    }
    server.Stop();
}

// curl with a Bearer token on plain HTTP requests to our server's check (kbzJWT serve).
TEST(JWTCurl, BearerTokensOnHTTPRequests)
{
    if (!HaveProgram("curl"))
    {
        GTEST_SKIP() << "curl is not installed";
    }
    TestProcess server;
    ASSERT_TRUE(server.Start({BinaryPath("kbzJWT"), "serve", "HS256", kSecret}));
    const auto at = server.WaitForLineContaining("listening on 127.0.0.1:", 20s);
    ASSERT_TRUE(at);
    const std::string url = "http://" + server.Lines()[*at].substr(13) + "/index.html";
    const std::string valid =
        RunTool({"sign", "HS256", kSecret, R"({"exp":2000000000})"}).out.at(0);
    const std::string expired = RunTool({"sign", "HS256", kSecret, R"({"exp":1000})"}).out.at(0);
    const std::string other = RunTool({"sign", "HS256", "other", "{}"}).out.at(0);
    struct Case
    {
        std::string name;
        std::vector<std::string> options;
        std::string status; // what curl reports
    };
    const Case cases[] = {
        {"valid", {"-H", "Authorization: Bearer " + valid}, "200"}, // past the check
        {"oauth2-bearer option", {"--oauth2-bearer", valid}, "200"},
        {"expired", {"-H", "Authorization: Bearer " + expired}, "401"},
        {"wrong secret", {"-H", "Authorization: Bearer " + other}, "401"},
        {"none", {}, "401"},
        {"basic", {"-u", "joe:secret"}, "401"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::vector<std::string> argv{"curl", "-s",           "-o",         "/dev/null",
                                      "-w",   "%{http_code}", "--max-time", "20"};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.push_back(url);
        TestProcess curl;
        ASSERT_TRUE(curl.Start(argv));
        curl.WaitForExit(30s);
        EXPECT_EQ(curl.Lines(), std::vector<std::string>{c.status});
    }
    server.Stop();
}
