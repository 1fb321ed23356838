// The token source that signs its own token, and the whole chain end to end: our client with
// Authentication.Token.JWT against our server whose Authentication.JWT.JWT checks the token.
#include "auth/kbzHTTP_JWT_Client.h"
#include "auth/kbzHTTP_JWT_Server.h"
#include "client/kbzWebSocket_Client.h"
#include "server/kbzWebSocket_Server.h"
#include "tests/auth/kbzJWTTestKeys.h"

#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>

using namespace kbz;
using namespace kbz::test;
using namespace kbz::test::jwt;
using enum kbz::TkbzHTTP_JWT_Algorithm;

namespace
{

// What a token source handed over.
struct TokenRecorder
{
    std::vector<std::string> tokens; // "type token data"
    std::vector<std::string> errors; // "error|description|data"
    explicit TokenRecorder(TkbzHTTPComponentClient_JWT& jwt)
    {
        jwt.OnAuthToken = [this](TkbzHTTPComponentClientAuthToken_Base&, const std::string& type,
                                 const std::string& token, const std::string& data) {
            tokens.push_back(type + " " + token + " " + data);
        };
        jwt.OnAuthTokenError = [this](TkbzHTTPComponentClientAuthToken_Base&,
                                      const std::string& error, const std::string& description,
                                      const std::string& data) {
            errors.push_back(error + "|" + description + "|" + data);
        };
    }
};

void UseKey(TkbzHTTPComponentClient_JWT& jwt, const AlgorithmKeys& a)
{
    jwt.JWTOptions().Header.alg = a.alg;
    jwt.JWTOptions().Algorithms.HS.Secret = kSecret;
    if (!a.privateFile.empty())
    {
        auto& lines = kbzJWTFamily(a.alg) == TkbzHTTP_JWT_Family::jwfRS
                          ? jwt.JWTOptions().Algorithms.RS.PrivateKey
                          : jwt.JWTOptions().Algorithms.ES.PrivateKey;
        lines.SetText(ReadKey(a.privateFile));
    }
}

} // namespace

TEST(kbzHTTP_JWT_Client, SignsTheConfiguredTokenAndMovesItsTimes)
{
    TkbzHTTPComponentClient_JWT jwt;
    EXPECT_EQ(jwt.Sign(), ""); // jwtNone
    jwt.JWTOptions().Header.alg = jwtHS256;
    jwt.JWTOptions().Algorithms.HS.Secret = "any";
    const std::string token = jwt.Sign();
    EXPECT_EQ(token.substr(0, token.rfind('.')),
              kbzEncodeBase64URL(std::string_view(R"({"alg":"HS256","typ":"JWT"})")) + ".e30");

    jwt.JWTOptions().RefreshTokenAfter = 3600;
    const std::int64_t before = kbzJWTNow();
    jwt.Sign();
    const TkbzHTTP_JWTPayload& p = jwt.JWTOptions().Payload;
    EXPECT_GE(p.iat, before);
    EXPECT_LE(p.iat, kbzJWTNow());
    EXPECT_EQ(p.exp - p.iat, 3600);

    TkbzHTTP_JWT_Client_Options copy;
    jwt.JWTOptions().Header.kid = "k";
    copy.Assign(jwt.JWTOptions());
    EXPECT_EQ(copy.Header.alg, jwtHS256);
    EXPECT_EQ(copy.Header.kid, "k");
    EXPECT_EQ(copy.Payload.exp, p.exp);
    EXPECT_EQ(copy.RefreshTokenAfter, 3600);
    EXPECT_EQ(copy.Algorithms.HS.Secret, "any");
}

TEST(kbzHTTP_JWT_Client, StartHandsOverTheTokenOrWhyNot)
{
    struct Case
    {
        std::string name;
        TkbzHTTP_JWT_Algorithm alg;
        std::string privateKey; // PEM text for RS/ES
        std::string error;      // empty: a token is expected
    };
    const Case cases[] = {
        {"HS256", jwtHS256, "", ""},
        {"ES256", jwtES256, ReadKey("ec_p256_private.pem"), ""},
        {"none", jwtNone, "", "JWT Error|JWT Token cannot be empty.|"},
        {"no RS key", jwtRS256, "", "JWT Error|Unable to load private key|"},
        {"EC key for ES512", jwtES512, ReadKey("ec_p256_private.pem"),
         "JWT Error|Unable to get EC Key|"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzHTTPComponentClient_JWT jwt;
        TokenRecorder r(jwt);
        jwt.JWTOptions().Header.alg = c.alg;
        jwt.JWTOptions().Algorithms.HS.Secret = kSecret;
        jwt.JWTOptions().Algorithms.RS.PrivateKey.SetText(c.privateKey);
        jwt.JWTOptions().Algorithms.ES.PrivateKey.SetText(c.privateKey);
        jwt.Start();
        if (c.error.empty())
        {
            ASSERT_EQ(r.tokens.size(), 1u);
            EXPECT_EQ(r.tokens[0].rfind("Bearer ey", 0), 0u);
            EXPECT_EQ(r.tokens[0].back(), ' '); // empty Data
            EXPECT_TRUE(r.errors.empty());
        }
        else
        {
            EXPECT_TRUE(r.tokens.empty());
            EXPECT_EQ(r.errors, std::vector<std::string>{c.error});
        }
    }
}

namespace
{

// Our server on 127.0.0.1 with a JWT check holding every family's test key, echoing texts.
struct JWTServer
{
    std::mutex lock;
    std::vector<std::string> refusals;
    TkbzHTTPComponentServer_JWT jwt;
    TkbzWSHTTPServer server; // after jwt: stops before the check it refers to goes

    JWTServer()
    {
        jwt.JWTOptions().Algorithms.HS.Secret = kSecret;
        jwt.JWTOptions().Algorithms.RS.PublicKey.SetText(ReadKey("rsa_public.pem"));
        jwt.JWTOptions().Algorithms.ES.PublicKey.SetText(ReadKey("ec_p256_public.pem"));
        jwt.OnJWTAfterValidateToken = [this](TkbzHTTPComponentServer_JWT&,
                                             const TkbzWSConnectionServerPtr&, const std::string&,
                                             const std::string&, const std::string&,
                                             const std::string& error, bool& valid) {
            if (!valid)
            {
                std::lock_guard guard(lock);
                refusals.push_back(error);
            }
        };
        server.Authentication().Enabled = true;
        server.Authentication().JWT.JWT = &jwt;
        server.Bindings().push_back({"127.0.0.1", 0, TwsIPVersion::ipV4});
        server.SetPort(0);
        server.OnMessage = [](const TkbzWSConnectionPtr& c, const std::string& text) {
            c->WriteData(text);
        };
        server.SetActive(true);
    }
    ~JWTServer() { server.SetActive(false); }
    std::string Url() { return "ws://127.0.0.1:" + std::to_string(server.GetBoundPort()) + "/"; }
    std::vector<std::string> Refusals()
    {
        std::lock_guard guard(lock);
        return refusals;
    }
};

// Our client with a JWT token source.
struct JWTClient
{
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> errors;
    std::vector<std::string> messages;
    TkbzHTTPComponentClient_JWT jwt;
    TkbzWebSocketClient client; // after jwt: goes first

    explicit JWTClient(const std::string& url)
    {
        client.SetURL(url);
        client.Authentication.Enabled = true;
        client.Authentication.Token.Enabled = true;
        client.Authentication.Token.JWT = &jwt;
        client.OnError = [this](const TkbzWSConnectionPtr&, const std::string& text) {
            std::lock_guard guard(lock);
            errors.push_back(text);
            changed.notify_all();
        };
        // A refused handshake arrives as an exception of the reading thread.
        client.OnException = [this](const TkbzWSConnectionPtr&, const std::exception& e) {
            std::lock_guard guard(lock);
            errors.push_back(e.what());
            changed.notify_all();
        };
        client.OnMessage = [this](const TkbzWSConnectionPtr&, const std::string& text) {
            std::lock_guard guard(lock);
            messages.push_back(text);
            changed.notify_all();
        };
    }
    template <class P> bool WaitFor(P pred)
    {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(20), pred);
    }
};

} // namespace

TEST(kbzHTTP_JWT_EndToEnd, SignedTokensOpenTheConnection)
{
    JWTServer s;
    for (const AlgorithmKeys& a : {kAllAlgorithms[0], kAllAlgorithms[3], kAllAlgorithms[6]})
    {
        SCOPED_TRACE(std::string(kbzJWTAlgorithmText(a.alg)));
        JWTClient c(s.Url());
        UseKey(c.jwt, a);
        c.jwt.JWTOptions().Payload.sub = "joe";
        c.jwt.JWTOptions().RefreshTokenAfter = 60;
        ASSERT_TRUE(c.client.Connect(20000)) << testing::PrintToString(c.errors);
        c.client.WriteData("hello");
        EXPECT_TRUE(c.WaitFor([&] { return !c.messages.empty(); }));
        EXPECT_EQ(c.messages, std::vector<std::string>{"hello"});
        const auto connection = s.server.GetConnectionByIndex(0);
        ASSERT_TRUE(connection);
        EXPECT_EQ(connection->Authentication().AuthType, TwsAuthentication::authJWT);
        c.client.Disconnect(5000);
        ASSERT_TRUE(WaitUntil([&] { return s.server.Count() == 0; }, 20s));
    }
    EXPECT_TRUE(s.Refusals().empty());
}

TEST(kbzHTTP_JWT_EndToEnd, WrongOrExpiredTokensGet401AndTheClientSaysSo)
{
    JWTServer s;
    struct Case
    {
        std::string name;
        std::function<void(TkbzHTTPComponentClient_JWT&)> configure;
        std::string refusal; // the server's error text
    };
    const Case cases[] = {
        {"wrong secret",
         [](TkbzHTTPComponentClient_JWT& jwt) {
             jwt.JWTOptions().Header.alg = jwtHS256;
             jwt.JWTOptions().Algorithms.HS.Secret = "not the server's";
         },
         "Invalid signature"},
        {"expired",
         [](TkbzHTTPComponentClient_JWT& jwt) {
             jwt.JWTOptions().Header.alg = jwtHS256;
             jwt.JWTOptions().Algorithms.HS.Secret = kSecret;
             jwt.JWTOptions().Payload.exp = kbzJWTNow() - 10;
         },
         "Invalid exp value. "},
        {"other EC key",
         [](TkbzHTTPComponentClient_JWT& jwt) {
             jwt.JWTOptions().Header.alg = jwtES256;
             jwt.JWTOptions().Algorithms.ES.PrivateKey.SetText(ReadKey("rfc7515_a3_private.pem"));
         },
         "Invalid signature"},
    };
    for (const Case& k : cases)
    {
        SCOPED_TRACE(k.name);
        const std::size_t refusedBefore = s.Refusals().size();
        JWTClient c(s.Url());
        k.configure(c.jwt);
        EXPECT_FALSE(c.client.Connect(20000));
        EXPECT_TRUE(c.WaitFor([&] { return !c.errors.empty(); }));
        ASSERT_FALSE(c.errors.empty());
        EXPECT_NE(c.errors[0].find("401 Unauthorized"), std::string::npos) << c.errors[0];
        const auto refusals = s.Refusals();
        ASSERT_EQ(refusals.size(), refusedBefore + 1);
        EXPECT_EQ(refusals.back(), k.refusal);
    }
    // A token the source cannot make never reaches the server.
    JWTClient c(s.Url());
    c.jwt.JWTOptions().Header.alg = jwtRS256;
    EXPECT_FALSE(c.client.Connect(5000));
    EXPECT_TRUE(c.WaitFor([&] { return !c.errors.empty(); }));
    EXPECT_NE(c.errors.at(0).find("Unable to load private key"), std::string::npos)
        << c.errors.at(0);
}
