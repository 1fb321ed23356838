// The server-side token check: signature, families and keys, the time checks, the five events,
// the header form with its Bearer parsing, and the server's upgrade refusing a bad token.
#include "auth/kbzHTTP_JWT_Server.h"
#include "tests/auth/kbzJWTTestKeys.h"
#include "tests/server/kbzServerHarness.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace kbz;
using namespace kbz::test;
using namespace kbz::test::jwt;
using enum kbz::TkbzHTTP_JWT_Algorithm;

namespace
{

// A token with the given header and payload texts, signed with the secret of the tests.
std::string HS256(const std::string& payload, const std::string& secret = kSecret,
                  const std::string& header = R"({"alg":"HS256","typ":"JWT"})")
{
    detail::TJWTSigners signers;
    return detail::SignJWT(signers, jwtHS256, header, payload, secret);
}

std::string Times(std::int64_t iat, std::int64_t nbf, std::int64_t exp)
{
    TkbzHTTP_JWTPayload p;
    p.sub = "joe";
    p.iat = iat;
    p.nbf = nbf;
    p.exp = exp;
    return p.GetJSON();
}

// A component configured with every family's test key, recording what its events saw.
struct Checker
{
    TkbzHTTPComponentServer_JWT jwt;
    std::string afterError;
    std::string afterPayload;
    std::vector<std::string> exceptions;
    bool afterRaised = false;

    Checker()
    {
        jwt.JWTOptions().Algorithms.HS.Secret = kSecret;
        jwt.JWTOptions().Algorithms.RS.PublicKey.SetText(ReadKey("rsa_public.pem"));
        jwt.JWTOptions().Algorithms.ES.PublicKey.SetText(ReadKey("ec_p256_public.pem"));
        jwt.OnJWTAfterValidateToken = [this](TkbzHTTPComponentServer_JWT&,
                                             const TkbzWSConnectionServerPtr&, const std::string&,
                                             const std::string&, const std::string& payload,
                                             const std::string& error, bool&) {
            afterRaised = true;
            afterError = error;
            afterPayload = payload;
        };
        jwt.OnJWTException = [this](TkbzHTTPComponentServer_JWT&, const TkbzWSConnectionServerPtr&,
                                    const std::exception& e) { exceptions.push_back(e.what()); };
    }

    bool Check(const std::string& token) { return jwt.IsJWTTokenValid(nullptr, token); }
};

} // namespace

TEST(kbzHTTP_JWT_Server, Defaults)
{
    TkbzHTTPComponentServer_JWT jwt;
    EXPECT_TRUE(jwt.JWTOptions().Algorithms.HS.Enabled);
    EXPECT_TRUE(jwt.JWTOptions().Algorithms.RS.Enabled);
    EXPECT_TRUE(jwt.JWTOptions().Algorithms.ES.Enabled);
    EXPECT_TRUE(jwt.JWTOptions().Validations.Expiration);
    EXPECT_TRUE(jwt.JWTOptions().Validations.Issued);
    EXPECT_TRUE(jwt.JWTOptions().Validations.NotBefore);
    EXPECT_EQ(jwt.Version(), kbzLibraryVersion);
    TkbzHTTP_JWT_Server_Options copy;
    jwt.JWTOptions().Algorithms.HS.Secret = "s";
    jwt.JWTOptions().Algorithms.RS.Enabled = false;
    jwt.JWTOptions().Validations.Issued = false;
    copy.Assign(jwt.JWTOptions());
    EXPECT_EQ(copy.Algorithms.HS.Secret, "s");
    EXPECT_FALSE(copy.Algorithms.RS.Enabled);
    EXPECT_FALSE(copy.Validations.Issued);
}

TEST(kbzHTTP_JWT_Server, TokenTable)
{
    const std::int64_t now = kbzJWTNow();
    struct Case
    {
        std::string name;
        std::string token;
        bool valid;
        std::string error;     // as OnJWTAfterValidateToken saw it
        std::string exception; // as OnJWTException saw it (then no after-event)
    };
    const std::string good = HS256(Times(now - 10, now - 10, now + 600));
    std::string altered = good;
    altered.back() = altered.back() == 'A' ? 'B' : 'A';
    const std::string rsaPublic = ReadKey("rsa_public.pem");
    const Case cases[] = {
        {"valid", good, true, "", ""},
        {"no time claims", HS256(R"({"sub":"joe"})"), true, "", ""},
        {"expired a second ago", HS256(Times(0, 0, now - 1)), false, "Invalid exp value. ", ""},
        {"expires this second", HS256(Times(0, 0, now)), false, "Invalid exp value. ", ""},
        {"issued in the future", HS256(Times(now + 100, 0, 0)), false, "Invalid iat value. ", ""},
        {"not yet valid", HS256(Times(0, now + 100, 0)), false, "Invalid nbf value. ", ""},
        {"all three", HS256(Times(now + 100, now + 100, now - 100)), false,
         "Invalid iat value. Invalid nbf value. Invalid exp value. ", ""},
        {"exp as a string", HS256(R"({"exp":"9999999999"})"), false, "Invalid exp value. ", ""},
        {"exp with a fraction", HS256(R"({"exp":9999999999.5})"), false, "Invalid exp value. ", ""},
        {"nbf as null", HS256(R"({"nbf":null})"), false, "Invalid nbf value. ", ""},
        {"iat too big", HS256(R"({"iat":99999999999999999999})"), false, "Invalid iat value. ", ""},
        {"altered signature", altered, false, "Invalid signature", ""},
        {"wrong secret", HS256(R"({})", "other"), false, "Invalid signature", ""},
        {"an RS key used as HMAC secret", HS256(R"({})", rsaPublic), false, "Invalid signature",
         ""},
        {"lower-case alg", HS256(R"({})", kSecret, R"({"alg":"hs256"})"), false, "",
         "JWT cannot be validated"},
        {"alg none", HS256(R"({})", kSecret, R"({"alg":"none"})"), false, "",
         "JWT cannot be validated"},
        {"two dots too many", good + ".x.y", false, "", "JWT is invalid, cannot be splitted."},
        {"no dot", "abc", false, "", "JWT is invalid, cannot be splitted."},
        {"empty", "", false, "", "JWT is invalid, cannot be splitted."},
        {"payload no object", HS256("[1]"), false, "", "JWT is invalid, cannot be decoded."},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Checker checker;
        EXPECT_EQ(checker.Check(c.token), c.valid);
        EXPECT_EQ(checker.afterRaised, c.exception.empty());
        EXPECT_EQ(checker.afterError, c.error);
        EXPECT_EQ(checker.exceptions, c.exception.empty() ? std::vector<std::string>{}
                                                          : std::vector<std::string>{c.exception});
    }
}

TEST(kbzHTTP_JWT_Server, ValidationsCanBeTurnedOff)
{
    const std::int64_t now = kbzJWTNow();
    Checker checker;
    const std::string stale = HS256(Times(now + 100, now + 100, now - 100));
    checker.jwt.JWTOptions().Validations.Expiration = false;
    EXPECT_FALSE(checker.Check(stale));
    EXPECT_EQ(checker.afterError, "Invalid iat value. Invalid nbf value. ");
    checker.jwt.JWTOptions().Validations.Issued = false;
    checker.jwt.JWTOptions().Validations.NotBefore = false;
    EXPECT_TRUE(checker.Check(stale));
    // A malformed time stays malformed whether or not it is checked.
    EXPECT_FALSE(checker.Check(HS256(R"({"exp":"soon"})")));
}

TEST(kbzHTTP_JWT_Server, FamiliesAndKeys)
{
    const std::int64_t now = kbzJWTNow();
    TkbzHTTP_JWTPayload payload;
    payload.exp = now + 600;
    for (const AlgorithmKeys& a : kAllAlgorithms)
    {
        const std::string name(kbzJWTAlgorithmText(a.alg));
        SCOPED_TRACE(name);
        TkbzHTTP_JWTHeader header;
        header.alg = a.alg;
        detail::TJWTSigners signers;
        const std::string token =
            detail::SignJWT(signers, a.alg, header.GetJSON(), payload.GetJSON(), SigningKey(a));
        Checker checker;
        if (!a.publicFile.empty())
        {
            auto& keyed = kbzJWTFamily(a.alg) == TkbzHTTP_JWT_Family::jwfRS
                              ? checker.jwt.JWTOptions().Algorithms.RS.PublicKey
                              : checker.jwt.JWTOptions().Algorithms.ES.PublicKey;
            keyed.SetText(VerifyingKey(a));
        }
        EXPECT_TRUE(checker.Check(token)) << checker.afterError;

        auto& algorithms = checker.jwt.JWTOptions().Algorithms;
        const std::string family = name.substr(0, 2);
        TkbzHTTP_JWT_Server_Algorithm_Options& options =
            family == "HS"   ? static_cast<TkbzHTTP_JWT_Server_Algorithm_Options&>(algorithms.HS)
            : family == "RS" ? static_cast<TkbzHTTP_JWT_Server_Algorithm_Options&>(algorithms.RS)
                             : algorithms.ES;
        options.Enabled = false;
        EXPECT_FALSE(checker.Check(token));
        EXPECT_EQ(checker.afterError, family + " Algorithm not supported");
        options.Enabled = true;

        // Enabled with no key: accepts nothing (the default for every family).
        TkbzHTTPComponentServer_JWT bare;
        EXPECT_FALSE(bare.IsJWTTokenValid(nullptr, token));
        std::string h, p, error;
        EXPECT_FALSE(bare.Validate(token, h, p, error));
        EXPECT_EQ(error, family + " Algorithm has no key");
    }
}

TEST(kbzHTTP_JWT_Server, EventsCanSupplyKeysCancelAndOverrule)
{
    const std::string token = HS256(R"({"sub":"joe"})");
    TkbzHTTPComponentServer_JWT jwt; // no secret configured
    std::string seenHeader, seenPayload;
    jwt.OnJWTBeforeValidateSignature =
        [&](TkbzHTTPComponentServer_JWT&, const TkbzWSConnectionServerPtr&,
            const std::string& header, const std::string& payload, std::string& secret) {
            seenHeader = header;
            seenPayload = payload;
            secret = kSecret;
        };
    EXPECT_TRUE(jwt.IsJWTTokenValid(nullptr, token));
    EXPECT_EQ(seenHeader, R"({"alg":"HS256","typ":"JWT"})");
    EXPECT_EQ(seenPayload, R"({"sub":"joe"})");

    jwt.OnJWTBeforeValidateToken = [](TkbzHTTPComponentServer_JWT&,
                                      const TkbzWSConnectionServerPtr&, const std::string&,
                                      bool& cancel) { cancel = true; };
    EXPECT_FALSE(jwt.IsJWTTokenValid(nullptr, token));
    jwt.OnJWTBeforeValidateToken = nullptr;

    jwt.OnJWTAfterValidateToken = [](TkbzHTTPComponentServer_JWT&, const TkbzWSConnectionServerPtr&,
                                     const std::string&, const std::string&, const std::string&,
                                     const std::string&, bool& valid) { valid = !valid; };
    EXPECT_FALSE(jwt.IsJWTTokenValid(nullptr, token));
    EXPECT_TRUE(jwt.IsJWTTokenValid(nullptr, HS256("{}", "wrong")));

    // A handler that raises: the check answers false and the error reaches OnJWTException.
    std::vector<std::string> exceptions;
    jwt.OnJWTException = [&](TkbzHTTPComponentServer_JWT&, const TkbzWSConnectionServerPtr&,
                             const std::exception& e) { exceptions.push_back(e.what()); };
    jwt.OnJWTAfterValidateToken = [](TkbzHTTPComponentServer_JWT&, const TkbzWSConnectionServerPtr&,
                                     const std::string&, const std::string&, const std::string&,
                                     const std::string&,
                                     bool&) { throw std::runtime_error("handler failed"); };
    EXPECT_FALSE(jwt.IsJWTTokenValid(nullptr, token));
    EXPECT_EQ(exceptions, std::vector<std::string>{"handler failed"});
}

TEST(kbzHTTP_JWT_Server, ValidateChecksOnlyTheSignature)
{
    Checker checker;
    const std::string expired = HS256(Times(0, 0, 1000));
    std::string header, payload, error;
    EXPECT_TRUE(checker.jwt.Validate(expired, header, payload, error));
    EXPECT_EQ(header, R"({"alg":"HS256","typ":"JWT"})");
    EXPECT_EQ(payload, R"({"sub":"joe","exp":1000})");
    EXPECT_TRUE(error.empty());
    EXPECT_FALSE(checker.Check(expired));
    EXPECT_THROW(checker.jwt.Validate("a.b", header, payload, error), TkbzJWTException);
    EXPECT_FALSE(checker.jwt.Validate(HS256("{}", "wrong"), header, payload, error));
}

TEST(kbzHTTP_JWT_Server, RequestHeaders)
{
    const std::string token = HS256(R"({"sub":"joe"})");
    struct Case
    {
        std::string name;
        TkbzHeaderList headers;
        bool accepted;
    };
    const Case cases[] = {
        {"bearer", {"GET / HTTP/1.1", "Authorization: Bearer " + token}, true},
        {"scheme in another case", {"GET / HTTP/1.1", "authorization: bearer " + token}, true},
        {"basic", {"GET / HTTP/1.1", "Authorization: Basic " + kbzEncodeBase64("a:b")}, false},
        {"none", {"GET / HTTP/1.1", "Host: x"}, false},
        {"empty bearer", {"GET / HTTP/1.1", "Authorization: Bearer "}, false},
        {"wrong token", {"GET / HTTP/1.1", "Authorization: Bearer " + HS256("{}", "x")}, false},
        {"other header name", {"GET / HTTP/1.1", "X-Authorization: Bearer " + token}, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Checker checker;
        EXPECT_EQ(checker.jwt.IsJWTTokenValid(nullptr, c.headers), c.accepted);
    }
    // A handler that cancels accepts a request without any token, as designed.
    Checker checker;
    checker.jwt.OnJWTBeforeRequest = [](TkbzHTTPComponentServer_JWT&,
                                        const TkbzWSConnectionServerPtr&, const TkbzHeaderList&,
                                        bool& cancel) { cancel = true; };
    EXPECT_TRUE(checker.jwt.IsJWTTokenValid(nullptr, TkbzHeaderList{"GET / HTTP/1.1"}));
    EXPECT_FALSE(checker.afterRaised);
}

// The server consults the component for upgrades: a valid Bearer token opens the connection and
// makes it a JWT one; a refused token gets a 401 answer and "Authentication Denied".
TEST(kbzHTTP_JWT_Server, ServerUpgradeAsksTheComponent)
{
    const std::string request = "GET /chat HTTP/1.1\r\n"
                                "Host: server.example.com\r\n"
                                "Upgrade: websocket\r\n"
                                "Connection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n"
                                "Authorization: Bearer ";
    const std::int64_t now = kbzJWTNow();
    struct Case
    {
        std::string name;
        std::string token;
        bool granted;
    };
    const Case cases[] = {
        {"valid", HS256(Times(now, now, now + 600)), true},
        {"expired", HS256(Times(0, 0, now - 5)), false},
        {"wrong secret", HS256("{}", "other"), false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Checker checker;
        RecordingServer rs;
        rs.server.Authentication().Enabled = true;
        rs.server.Authentication().JWT.JWT = &checker.jwt;
        MemoryPeer p(rs.server);
        p.Send(request + c.token + "\r\n\r\n");
        p.RunUntil([&] { return p.connection->Enabled() || !rs.Errors().empty(); });
        EXPECT_EQ(p.connection->Enabled(), c.granted);
        if (c.granted)
        {
            EXPECT_EQ(p.connection->Authentication().AuthType, TwsAuthentication::authJWT);
            EXPECT_TRUE(p.connection->Authentication().Authenticated);
            EXPECT_EQ(p.Read(12), "HTTP/1.1 101");
        }
        else
        {
            EXPECT_EQ(rs.Errors(), std::vector<std::string>{"Authentication Denied"});
            const std::string answer = p.ReadAll(1000);
            EXPECT_EQ(answer.rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u) << answer;
            EXPECT_NE(answer.find("WWW-Authenticate: Bearer\r\n"), std::string::npos);
        }
    }
}

// Plain HTTP requests on a server with a JWT check need a valid Bearer token: with one the
// request goes on to the server's HTTP handling, without one it is answered 401.
TEST(kbzHTTP_JWT_Server, PlainRequestsNeedABearerToken)
{
    const std::int64_t now = kbzJWTNow();
    struct Case
    {
        std::string name;
        std::string authorization; // the header line, or empty
        bool granted;
        std::string challenge;
    };
    const Case cases[] = {
        {"valid", "Authorization: Bearer " + HS256(Times(now, now, now + 60)), true, ""},
        {"expired", "Authorization: Bearer " + HS256(Times(0, 0, now - 60)), false,
         "WWW-Authenticate: Bearer error=\"invalid_token\"\r\n"},
        {"none", "", false, "WWW-Authenticate: Bearer\r\n"},
        {"basic", "Authorization: Basic " + kbzEncodeBase64("a:b"), false,
         "WWW-Authenticate: Bearer\r\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Checker checker;
        RecordingServer rs;
        rs.server.Authentication().Enabled = true;
        rs.server.Authentication().JWT.JWT = &checker.jwt;
        MemoryPeer p(rs.server);
        p.Send("GET /index.html HTTP/1.1\r\nHost: a\r\n" +
               (c.authorization.empty() ? "" : c.authorization + "\r\n") + "\r\n");
        p.RunUntil([] { return false; }, std::chrono::milliseconds(1000));
        const std::string answer = p.ReadAll(500);
        EXPECT_EQ(p.connection->Authentication().Authenticated, c.granted);
        if (c.granted)
        {
            EXPECT_EQ(p.connection->Authentication().AuthType, TwsAuthentication::authJWT);
            EXPECT_EQ(answer.find("401"), std::string::npos) << answer;
        }
        else
        {
            EXPECT_EQ(answer.rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u) << answer;
            EXPECT_NE(answer.find(c.challenge), std::string::npos) << answer;
        }
    }
}
