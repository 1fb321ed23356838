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
