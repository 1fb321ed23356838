// Signs and verifies tokens with the library's JWT components, and shows them at work on a
// connection:
//   kbzJWT sign ALG KEY [CLAIMS_JSON]      prints the token
//   kbzJWT verify ALG KEY TOKEN            prints the claims (exit 0) or the error (stderr, 1)
//   kbzJWT serve ALG KEY [PORT]            an echo server on 127.0.0.1 that wants such tokens
//   kbzJWT connect ALG KEY URL [CLAIMS]    our client with a signed token: connects, echoes
// KEY is the secret for HS256/384/512 and a PEM file (private to sign and connect, public to
// verify and serve) for RS and ES. Usage errors exit 2.
#include "auth/kbzHTTP_JWT_Client.h"
#include "auth/kbzHTTP_JWT_Server.h"
#include "kbzWebSocket.h"

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <unistd.h>

using namespace kbz;

namespace
{

int StopPipe[2] = {-1, -1};

void OnStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(StopPipe[1], &byte, 1);
}

int Usage()
{
    std::fprintf(stderr, "usage: kbzJWT sign ALG KEY [CLAIMS_JSON]\n"
                         "       kbzJWT verify ALG KEY TOKEN\n"
                         "       kbzJWT serve ALG KEY [PORT]\n"
                         "       kbzJWT connect ALG KEY URL [CLAIMS_JSON]\n"
                         "ALG: HS256 HS384 HS512 RS256 RS384 RS512 ES256 ES384 ES512; KEY: the "
                         "secret (HS) or a PEM file (RS, ES)\n");
    return 2;
}

int Fail(const std::string& message)
{
    std::fprintf(stderr, "%s\n", message.c_str());
    return 1;
}

// The secret itself for HS, the content of the PEM file otherwise.
std::string KeyOf(TkbzHTTP_JWT_Algorithm alg, const std::string& key)
{
    if (kbzJWTFamily(alg) == TkbzHTTP_JWT_Family::jwfHS)
    {
        return key;
    }
    std::ifstream in(key, std::ios::binary);
    if (!in)
    {
        throw Exception("Cannot read the key file " + key);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Claims of a JSON object into the payload: the registered texts and times to their fields,
// everything else as extra claims (their values follow the payload's rules).
void ApplyClaims(const std::string& json, TkbzHTTP_JWTPayload& payload)
{
    if (!detail::IsStrictJSON(json, true))
    {
        throw Exception("The claims are not a JSON object: " + json);
    }
    TkbzJSON doc;
    doc.Read(json);
    for (std::size_t i = 0; i < doc.GetCount(); ++i)
    {
        const IkbzObjectJSON member = doc.GetItem(i);
        const std::string name = kbzJSONDecodeString(member->GetName());
        const TkbzJSONtype kind = member->GetJSONType();
        const std::string text = kind == TkbzJSONtype::kbzJSONString
                                     ? kbzJSONDecodeString(member->GetRawValue())
                                     : member->GetValue();
        std::string* field = name == "iss"   ? &payload.iss
                             : name == "sub" ? &payload.sub
                             : name == "aud" ? &payload.aud
                             : name == "jti" ? &payload.jti
                                             : nullptr;
        std::int64_t* time = name == "iat"   ? &payload.iat
                             : name == "exp" ? &payload.exp
                             : name == "nbf" ? &payload.nbf
                                             : nullptr;
        const auto integer = detail::ParseJSONInteger(text);
        if (field)
        {
            *field = text;
        }
        else if (time && kind == TkbzJSONtype::kbzJSONNumber && integer && *integer > 0)
        {
            *time = *integer;
        }
        else
        {
            payload.AddKeyValue(name, text);
        }
    }
}

void ConfigureSigner(TkbzHTTPComponentClient_JWT& jwt, TkbzHTTP_JWT_Algorithm alg,
                     const std::string& key)
{
    auto& o = jwt.JWTOptions();
    o.Header.alg = alg;
    const std::string k = KeyOf(alg, key);
    o.Algorithms.HS.Secret = k;
    o.Algorithms.RS.PrivateKey.SetText(k);
    o.Algorithms.ES.PrivateKey.SetText(k);
}

// Only the family of alg is enabled, with its key.
void ConfigureCheck(TkbzHTTPComponentServer_JWT& jwt, TkbzHTTP_JWT_Algorithm alg,
                    const std::string& key)
{
    auto& a = jwt.JWTOptions().Algorithms;
    const TkbzHTTP_JWT_Family family = kbzJWTFamily(alg);
    a.HS.Enabled = family == TkbzHTTP_JWT_Family::jwfHS;
    a.RS.Enabled = family == TkbzHTTP_JWT_Family::jwfRS;
    a.ES.Enabled = family == TkbzHTTP_JWT_Family::jwfES;
    const std::string k = KeyOf(alg, key);
    a.HS.Secret = a.HS.Enabled ? k : std::string();
    a.RS.PublicKey.SetText(a.RS.Enabled ? k : std::string());
    a.ES.PublicKey.SetText(a.ES.Enabled ? k : std::string());
    // A token of the same family with another digest is refused too.
    jwt.OnJWTBeforeValidateSignature =
        [alg](TkbzHTTPComponentServer_JWT&, const TkbzWSConnectionServerPtr&,
              const std::string& header, const std::string&, std::string& secret) {
            TkbzJSON doc;
            doc.Read(header);
            const IkbzObjectJSON member = detail::FindJWTMember(doc, "alg");
            if (!member || kbzJSONDecodeString(member->GetRawValue()) != kbzJWTAlgorithmText(alg))
            {
                secret.clear();
            }
        };
}

int Sign(TkbzHTTP_JWT_Algorithm alg, const std::string& key, const std::string& claims)
{
    TkbzHTTPComponentClient_JWT jwt;
    ConfigureSigner(jwt, alg, key);
    ApplyClaims(claims, jwt.JWTOptions().Payload);
    std::printf("%s\n", jwt.Sign().c_str());
    return 0;
}

int Verify(TkbzHTTP_JWT_Algorithm alg, const std::string& key, const std::string& token)
{
    if (const TkbzHTTP_JWT_Algorithm signedWith = detail::SplitJWT(token).alg; signedWith != alg)
    {
        return Fail("The token is signed with " +
                    std::string(signedWith == TkbzHTTP_JWT_Algorithm::jwtNone
                                    ? "no known algorithm"
                                    : kbzJWTAlgorithmText(signedWith)) +
                    ", not " + std::string(kbzJWTAlgorithmText(alg)));
    }
    TkbzHTTPComponentServer_JWT jwt;
    ConfigureCheck(jwt, alg, key);
    std::string payload;
    std::string error;
    jwt.OnJWTAfterValidateToken =
        [&](TkbzHTTPComponentServer_JWT&, const TkbzWSConnectionServerPtr&, const std::string&,
            const std::string&, const std::string& p, const std::string& e, bool&) {
            payload = p;
            error = e;
        };
    jwt.OnJWTException = [&](TkbzHTTPComponentServer_JWT&, const TkbzWSConnectionServerPtr&,
                             const std::exception& e) { error = e.what(); };
    if (!jwt.IsJWTTokenValid(nullptr, token))
    {
        return Fail(error.empty() ? "Invalid token" : kbzTrim(error));
    }
    std::printf("%s\n", payload.c_str());
    return 0;
}

int Serve(TkbzHTTP_JWT_Algorithm alg, const std::string& key, const std::string& port)
{
    if (::pipe(StopPipe) != 0)
    {
        return 1;
    }
    struct sigaction stop = {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    TkbzHTTPComponentServer_JWT jwt;
    ConfigureCheck(jwt, alg, key);
    std::mutex printLock;
    auto print = [&](const std::string& line) {
        std::lock_guard guard(printLock);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };
    jwt.OnJWTAfterValidateToken =
        [&](TkbzHTTPComponentServer_JWT&, const TkbzWSConnectionServerPtr&, const std::string&,
            const std::string&, const std::string& payload, const std::string& error,
            bool& valid) { print(valid ? "accepted " + payload : "refused: " + kbzTrim(error)); };
    jwt.OnJWTException = [&](TkbzHTTPComponentServer_JWT&, const TkbzWSConnectionServerPtr&,
                             const std::exception& e) {
        print(std::string("refused: ") + e.what());
    };
    TkbzWebSocketHTTPServer server;
    server.Authentication().Enabled = true;
    server.Authentication().JWT.JWT = &jwt;
    server.OnMessage = [](const TkbzWSConnectionPtr& c, const std::string& text) {
        c->WriteData(text);
    };
    const int portNumber = kbzStrToInt(port);
    server.SetPort(portNumber);
    server.Bindings().push_back(
        {"127.0.0.1", static_cast<std::uint16_t>(portNumber), TwsIPVersion::ipV4});
    server.SetActive(true);
    print("listening on 127.0.0.1:" + std::to_string(server.GetBoundPort()));
    char byte = 0;
    while (::read(StopPipe[0], &byte, 1) < 0 && errno == EINTR)
    {}
    server.SetActive(false);
    return 0;
}

int Connect(TkbzHTTP_JWT_Algorithm alg, const std::string& key, const std::string& url,
            const std::string& claims)
{
    TkbzHTTPComponentClient_JWT jwt;
    ConfigureSigner(jwt, alg, key);
    ApplyClaims(claims, jwt.JWTOptions().Payload);
    if (jwt.JWTOptions().Payload.exp == 0)
    {
        jwt.JWTOptions().RefreshTokenAfter = 300;
    }
    std::mutex lock;
    std::condition_variable changed;
    std::string error;
    std::string echo;
    TkbzWebSocketClient client;
    client.OnError = [&](const TkbzWSConnectionPtr&, const std::string& text) {
        std::lock_guard guard(lock);
        error = text;
        changed.notify_all();
    };
    client.OnException = [&](const TkbzWSConnectionPtr&, const std::exception& e) {
        std::lock_guard guard(lock);
        error = e.what();
        changed.notify_all();
    };
    client.OnMessage = [&](const TkbzWSConnectionPtr&, const std::string& text) {
        std::lock_guard guard(lock);
        echo = text;
        changed.notify_all();
    };
    client.SetURL(url);
    client.Authentication.Enabled = true;
    client.Authentication.Token.Enabled = true;
    client.Authentication.Token.JWT = &jwt;
    if (!client.Connect(10000))
    {
        std::unique_lock guard(lock);
        changed.wait_for(guard, std::chrono::seconds(5), [&] { return !error.empty(); });
        return Fail("refused: " + (error.empty() ? std::string("no connection") : error));
    }
    std::printf("connected\n");
    client.WriteData("hello");
    std::unique_lock guard(lock);
    if (changed.wait_for(guard, std::chrono::seconds(10), [&] { return !echo.empty(); }))
    {
        std::printf("message %s\n", echo.c_str());
    }
    guard.unlock();
    client.Disconnect(5000);
    return echo.empty() ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4)
    {
        return Usage();
    }
    const std::string command = argv[1];
    const TkbzHTTP_JWT_Algorithm alg = kbzJWTAlgorithmFromText(argv[2]);
    const std::string key = argv[3];
    if (alg == TkbzHTTP_JWT_Algorithm::jwtNone)
    {
        return Usage();
    }
    try
    {
        if (command == "sign" && argc <= 5)
        {
            return Sign(alg, key, argc == 5 ? argv[4] : "{}");
        }
        if (command == "verify" && argc == 5)
        {
            return Verify(alg, key, argv[4]);
        }
        if (command == "serve" && argc <= 5)
        {
            return Serve(alg, key, argc == 5 ? argv[4] : "0");
        }
        if (command == "connect" && (argc == 5 || argc == 6))
        {
            return Connect(alg, key, argv[4], argc == 6 ? argv[5] : "{}");
        }
    }
    catch (const std::exception& e)
    {
        return Fail(e.what());
    }
    return Usage();
}
