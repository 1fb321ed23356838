// Our TLS client against `openssl s_server` on loopback: versions, echo of
// application bytes both ways, server name indication, verification of the
// server's certificate and host name, and client certificates.
#include "tests/support/kbzTestCerts.h"
#include "tests/support/kbzTestProcess.h"
#include "transport/kbzSSL_OpenSSL.h"

#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace kbz
{
namespace
{

using namespace std::chrono_literals;
using enum TwsTLSVersions;

const test::TestCerts& Certs()
{
    return test::Certs();
}

// `openssl s_server` with our throw-away server certificate. It prints what it
// receives on its standard output and sends what is written to its standard
// input; it ends when its input ends, so the pipe stays open while it runs.
class SServer
{
public:
    // Starts it with the extra arguments and waits for its "ACCEPT" line.
    bool Start(const std::vector<std::string>& extra)
    {
        // The free port may be taken again before s_server binds it: try a few.
        for (int attempt = 0; attempt < 3; ++attempt)
        {
            FProcess = std::make_unique<test::TestProcess>();
            FPort = static_cast<std::uint16_t>(test::FreePort());
            std::vector<std::string> argv = {
                "openssl", "s_server",         "-accept", "127.0.0.1:" + std::to_string(FPort),
                "-cert",   Certs().ServerCert, "-key",    Certs().ServerKey};
            argv.insert(argv.end(), extra.begin(), extra.end());
            test::TestProcess::Options options;
            options.mergeStderr = true;
            if (FPort != 0 && FProcess->Start(argv, options) &&
                FProcess->WaitForLine([](const std::string& l) { return l == "ACCEPT"; }, 10s))
            {
                return true;
            }
            FProcess->Stop();
        }
        return false;
    }

    std::uint16_t Port() const { return FPort; }
    test::TestProcess& Process() { return *FProcess; }

    std::string Output() const
    {
        std::string all;
        for (const std::string& l : FProcess->Lines())
        {
            all += l + "\n";
        }
        return all;
    }

private:
    std::unique_ptr<test::TestProcess> FProcess;
    std::uint16_t FPort = 0;
};

#define KBZ_REQUIRE_OPENSSL()                                                                      \
    if (!test::HaveProgram("openssl"))                                                             \
    {                                                                                              \
        GTEST_SKIP() << "openssl is not installed";                                                \
    }

std::unique_ptr<TkbzIOHandler> Connect(std::uint16_t port, const TkbzTLSClientConfig& cfg,
                                       const std::string& host = "localhost")
{
    auto plain = std::make_unique<TkbzSocketIOHandler>(
        kbzConnectTCP("127.0.0.1", port, TwsIPVersion::ipV4, 5000));
    return kbzStartTLSClient(std::move(plain), cfg, host, 10000);
}

TkbzTLSClientConfig VerifyingClient(TwsTLSVersions version = tlsUndefined)
{
    TkbzTLSClientConfig cfg;
    cfg.Version = version;
    cfg.VerifyCertificate = true;
    cfg.RootCertFile = Certs().CACert;
    return cfg;
}

void SendText(TkbzIOHandler& h, const std::string& text)
{
    h.Send(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Reads until text arrived in full, the stream ended, or 10 s passed.
std::string RecvUntil(TkbzIOHandler& h, const std::string& text)
{
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::uint8_t buf[4096];
    while (out.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline)
    {
        if (!h.Readable(100))
        {
            continue;
        }
        const std::size_t got = h.Recv(buf, sizeof buf);
        if (got == 0)
        {
            break;
        }
        out.append(reinterpret_cast<const char*>(buf), got);
    }
    return out;
}

// Application bytes both ways: ours appear on s_server's output, what it is
// given on its input reaches us.
void ExpectEchoBothWays(SServer& server, TkbzIOHandler& h)
{
    SendText(h, "hello from kbz\n");
    EXPECT_TRUE(server.Process().WaitForLineContaining("hello from kbz", 10s)) << server.Output();
    ASSERT_TRUE(server.Process().WriteLine("hello from s_server"));
    EXPECT_NE(RecvUntil(h, "hello from s_server\n").find("hello from s_server\n"),
              std::string::npos);
}

std::string HandshakeFailure(std::uint16_t port, const TkbzTLSClientConfig& cfg,
                             const std::string& host = "localhost")
{
    try
    {
        auto h = Connect(port, cfg, host);
        // A refusal of our certificate may come after a TLS 1.3 handshake.
        RecvUntil(*h, "\n");
        return "no failure";
    }
    catch (const EIdException& e)
    {
        return e.what();
    }
}

TEST(OpenSSLInterop, VersionsAndEcho)
{
    KBZ_REQUIRE_OPENSSL();
    struct Case
    {
        const char* name;
        std::vector<std::string> serverArgs;
        TwsTLSVersions client;
        TwsTLSVersions negotiated;
    };
    const Case cases[] = {
        {"TLS 1.3", {"-tls1_3"}, tlsUndefined, tls1_3},
        {"TLS 1.2", {"-tls1_2"}, tlsUndefined, tls1_2},
        {"TLS 1.2 asked of a server offering both", {}, tls1_2, tls1_2},
        {"TLS 1.0 at security level 0",
         {"-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"},
         tls1_0,
         tls1_0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        SServer server;
        ASSERT_TRUE(server.Start(c.serverArgs));
        auto h = Connect(server.Port(), VerifyingClient(c.client));
        auto* tls = dynamic_cast<TkbzIdSSLIOHandlerSocketOpenSSL*>(h.get());
        ASSERT_NE(tls, nullptr);
        EXPECT_EQ(tls->NegotiatedVersion(), c.negotiated);
        ExpectEchoBothWays(server, *h);
    }
}

TEST(OpenSSLInterop, Tls12AgainstA13OnlyServerFails)
{
    KBZ_REQUIRE_OPENSSL();
    SServer server;
    ASSERT_TRUE(server.Start({"-tls1_3"}));
    const std::string failure = HandshakeFailure(server.Port(), VerifyingClient(tls1_2));
    EXPECT_NE(failure.find("TLS handshake with localhost failed: "), std::string::npos) << failure;
    EXPECT_NE(failure.find("protocol version"), std::string::npos) << failure;
}

TEST(OpenSSLInterop, ServerNameIndication)
{
    KBZ_REQUIRE_OPENSSL();
    struct Case
    {
        const char* name;
        std::string host;
        std::string hostToCheck;
        bool sniSent;
    };
    const Case cases[] = {
        {"host name", "localhost", "", true},
        {"IP literal: none sent, the address is still verified", "127.0.0.1", "", false},
        {"host to check names the server", "127.0.0.1", "http://localhost:8080", true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        SServer server;
        // With -servername, s_server reports the name a client asks for.
        ASSERT_TRUE(server.Start({"-servername", "localhost", "-cert2", Certs().ServerCert, "-key2",
                                  Certs().ServerKey}));
        TkbzTLSClientConfig cfg = VerifyingClient();
        cfg.HostToCheck = c.hostToCheck;
        auto h = Connect(server.Port(), cfg, c.host);
        ExpectEchoBothWays(server, *h);
        // The name is reported during the handshake, before the echoed bytes.
        const bool reported =
            server.Output().find("Hostname in TLS extension: \"localhost\"") != std::string::npos;
        EXPECT_EQ(reported, c.sniSent) << server.Output();
    }
}

TEST(OpenSSLInterop, ServerCertificateVerification)
{
    KBZ_REQUIRE_OPENSSL();
    struct Case
    {
        const char* name;
        bool verify;
        std::string root;
        std::string hostToCheck;
        const char* error; // nullptr: accepted
    };
    const Case cases[] = {
        {"trusted root", true, Certs().CACert, "", nullptr},
        {"untrusted root refused", true, Certs().OtherCACert, "",
         "certificate verify failed: unable to get local issuer certificate"},
        {"untrusted root accepted without verification", false, Certs().OtherCACert, "", nullptr},
        {"wrong host name refused", true, Certs().CACert, "wrong.example",
         "certificate verify failed: hostname mismatch"},
        {"wrong host name accepted without verification", false, "", "wrong.example", nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        SServer server;
        ASSERT_TRUE(server.Start({}));
        TkbzTLSClientConfig cfg;
        cfg.VerifyCertificate = c.verify;
        cfg.RootCertFile = c.root;
        cfg.HostToCheck = c.hostToCheck;
        if (c.error == nullptr)
        {
            auto h = Connect(server.Port(), cfg);
            ExpectEchoBothWays(server, *h);
            continue;
        }
        const std::string failure = HandshakeFailure(server.Port(), cfg);
        EXPECT_NE(failure.find(c.error), std::string::npos) << failure;
    }
}

TEST(OpenSSLInterop, ClientCertificates)
{
    KBZ_REQUIRE_OPENSSL();
    struct Case
    {
        const char* name;
        std::string certFile;
        std::string keyFile;
        std::string password;
    };
    const Case cases[] = {
        {"PEM with an encrypted key", Certs().ClientCert, Certs().ClientKey,
         Certs().ClientKeyPassword},
        {"PKCS#12 bundle", Certs().ClientP12, "", Certs().ClientP12Password},
        {"none", "", "", ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        SServer server;
        // -Verify insists on a client certificate that leads to the CA.
        ASSERT_TRUE(server.Start({"-Verify", "1", "-CAfile", Certs().CACert}));
        TkbzTLSClientConfig cfg = VerifyingClient();
        cfg.CertFile = c.certFile;
        cfg.KeyFile = c.keyFile;
        cfg.Password = c.password;
        if (c.certFile.empty())
        {
            const std::string failure = HandshakeFailure(server.Port(), cfg);
            EXPECT_NE(failure.find("certificate required"), std::string::npos) << failure;
            continue;
        }
        auto h = Connect(server.Port(), cfg);
        ExpectEchoBothWays(server, *h);
        EXPECT_NE(server.Output().find("CN = kbz test client"), std::string::npos)
            << server.Output();
    }
}

} // namespace
} // namespace kbz
