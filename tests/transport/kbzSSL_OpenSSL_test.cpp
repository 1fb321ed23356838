// TLS sessions between our own client and server modes over loopback: versions,
// verification, server name indication, client certificates, ALPN, and the
// threading rules (a blocked reader never stalls writers; Shutdown wakes it).
#include "tests/support/kbzTestCerts.h"
#include "tests/support/kbzTestProcess.h"
#include "transport/kbzSSL_OpenSSL.h"
#include "transport/kbzSSL_OpenSSL_Internal.h"
#include "transport/kbzSSL_SChannel.h"
#include "transport/kbzSocket_Options.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
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

// A listening socket on 127.0.0.1 (port 0) whose accept can be woken.
class TestListener
{
public:
    TestListener()
    {
        FSocket = TkbzSocket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (!FSocket.Valid() ||
            ::bind(FSocket.Handle(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::listen(FSocket.Handle(), 8) != 0 ||
            ::getsockname(FSocket.Handle(), reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
            ::pipe(FWake) != 0)
        {
            throw std::runtime_error("listener set-up failed");
        }
        FPort = ntohs(addr.sin_port);
    }
    ~TestListener()
    {
        ::close(FWake[0]);
        ::close(FWake[1]);
    }
    std::uint16_t Port() const { return FPort; }
    // The next connection; invalid after Wake or when none came within 10 s.
    TkbzSocket Accept()
    {
        pollfd fds[2] = {{FSocket.Handle(), POLLIN, 0}, {FWake[0], POLLIN, 0}};
        if (::poll(fds, 2, 10000) <= 0 || (fds[0].revents & POLLIN) == 0)
        {
            return TkbzSocket();
        }
        return TkbzSocket(::accept4(FSocket.Handle(), nullptr, nullptr, SOCK_CLOEXEC));
    }
    void Wake() { [[maybe_unused]] const auto w = ::write(FWake[1], "x", 1); }

private:
    TkbzSocket FSocket;
    int FWake[2] = {-1, -1};
    std::uint16_t FPort = 0;
};

// What the accepting side saw of one connection.
struct ServerSeen
{
    bool HandshakeOk = false;
    std::string Error;
    std::string ServerName;
    std::optional<TkbzSSLCertificate> PeerCertificate;
    std::string ALPN;
    TwsTLSVersions Version = tlsUndefined;
};

// Our server mode on one accepted connection, run on its own thread.
class TestTLSServer
{
public:
    enum class TMode
    {
        Echo,       // TLS, then echo every byte back until the client ends
        Hold,       // TLS, then read without answering until the client ends
        SilentTCP,  // accept TCP and never speak TLS
        PlainText,  // answer with plain HTTP and close
        ByeAndClose // TLS, then send "bye" and close
    };

    explicit TestTLSServer(const TkbzTLSServerConfig& config, TMode mode = TMode::Echo)
        : FContext(mode == TMode::SilentTCP || mode == TMode::PlainText
                       ? nullptr
                       : TkbzSSLContext::CreateServer(config)),
          FMode(mode), FThread([this] { Run(); })
    {}
    ~TestTLSServer()
    {
        FStop = true;
        FListener.Wake();
        {
            std::lock_guard lock(FLock);
            if (FHandler)
            {
                FHandler->Shutdown();
            }
            if (FRaw)
            {
                ::shutdown(FRaw->Handle(), SHUT_RDWR);
            }
        }
        FThread.join();
    }

    std::uint16_t Port() const { return FListener.Port(); }

    // The outcome of the handshake, waited for with a deadline.
    ServerSeen Seen()
    {
        if (FSeenFuture.wait_for(10s) != std::future_status::ready)
        {
            ServerSeen none;
            none.Error = "no handshake within the deadline";
            return none;
        }
        return FSeenFuture.get();
    }

private:
    void Run()
    {
        try
        {
            TkbzSocket socket = FListener.Accept();
            if (!socket.Valid() || FStop)
            {
                FSeen.set_value({});
                return;
            }
            if (FMode == TMode::SilentTCP || FMode == TMode::PlainText)
            {
                RunRaw(std::move(socket));
                return;
            }
            auto handler = std::make_unique<TkbzIdSSLIOHandlerSocketOpenSSL>(
                std::make_unique<TkbzSocketIOHandler>(std::move(socket)), FContext);
            {
                std::lock_guard lock(FLock);
                FHandler = handler.get();
            }
            ServerSeen seen;
            try
            {
                handler->AcceptTLS(10000);
                seen.HandshakeOk = true;
                seen.ALPN = handler->NegotiatedALPN();
                seen.Version = handler->NegotiatedVersion();
                seen.PeerCertificate = handler->PeerCertificate();
            }
            catch (const std::exception& e)
            {
                seen.Error = e.what();
            }
            seen.ServerName = handler->RequestedServerName();
            const bool ok = seen.HandshakeOk;
            FSeen.set_value(seen);
            if (ok && FMode == TMode::ByeAndClose)
            {
                SendBye(*handler);
            }
            else if (ok)
            {
                Serve(*handler);
            }
            std::lock_guard lock(FLock);
            FHandler = nullptr;
        }
        catch (...)
        {
            // The test sees the failure through Seen() or its own reads.
        }
    }

    void Serve(TkbzIOHandler& h)
    {
        std::vector<std::uint8_t> buf(65536);
        try
        {
            while (!FStop && h.Readable(-1))
            {
                const std::size_t n = h.Recv(buf.data(), buf.size());
                if (n == 0)
                {
                    break;
                }
                if (FMode == TMode::Echo)
                {
                    h.Send(buf.data(), n);
                }
            }
            h.Close();
        }
        catch (...)
        {}
    }

    static void SendBye(TkbzIOHandler& h)
    {
        try
        {
            const std::string bye = "bye";
            h.Send(reinterpret_cast<const std::uint8_t*>(bye.data()), bye.size());
            h.Close();
        }
        catch (...)
        {}
    }

    void RunRaw(TkbzSocket socket)
    {
        {
            std::lock_guard lock(FLock);
            FRaw = &socket;
        }
        FSeen.set_value({});
        if (FMode == TMode::PlainText)
        {
            const std::string answer = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
            [[maybe_unused]] const auto w =
                ::send(socket.Handle(), answer.data(), answer.size(), MSG_NOSIGNAL);
            // Let the client read the answer before the connection goes.
            pollfd p{socket.Handle(), POLLIN, 0};
            ::poll(&p, 1, 10000);
        }
        else
        {
            pollfd p{socket.Handle(), POLLIN, 0};
            while (!FStop && ::poll(&p, 1, 10000) > 0)
            {
                char sink[4096];
                if (::recv(socket.Handle(), sink, sizeof sink, 0) <= 0)
                {
                    break;
                }
            }
        }
        std::lock_guard lock(FLock);
        FRaw = nullptr;
    }

    TestListener FListener;
    std::shared_ptr<TkbzSSLContext> FContext;
    TMode FMode;
    std::atomic<bool> FStop{false};
    std::promise<ServerSeen> FSeen;
    std::future<ServerSeen> FSeenFuture = FSeen.get_future();
    std::mutex FLock;
    TkbzIOHandler* FHandler = nullptr;
    TkbzSocket* FRaw = nullptr;
    std::thread FThread; // last: it uses everything above
};

TkbzTLSServerConfig ServerConfig(TwsTLSVersions version = tlsUndefined)
{
    TkbzTLSServerConfig cfg;
    cfg.Version = version;
    cfg.CertFile = Certs().ServerCert;
    cfg.KeyFile = Certs().ServerKey;
    return cfg;
}

TkbzTLSClientConfig VerifyingClient(TwsTLSVersions version = tlsUndefined)
{
    TkbzTLSClientConfig cfg;
    cfg.Version = version;
    cfg.VerifyCertificate = true;
    cfg.RootCertFile = Certs().CACert;
    return cfg;
}

std::unique_ptr<TkbzSocketIOHandler> ConnectPlain(std::uint16_t port)
{
    return std::make_unique<TkbzSocketIOHandler>(
        kbzConnectTCP("127.0.0.1", port, TwsIPVersion::ipV4, 5000));
}

std::unique_ptr<TkbzIOHandler> ConnectTLS(std::uint16_t port, const TkbzTLSClientConfig& cfg,
                                          const std::string& host = "localhost",
                                          int timeoutMs = 10000)
{
    return kbzStartTLSClient(ConnectPlain(port), cfg, host, timeoutMs);
}

void SendText(TkbzIOHandler& h, const std::string& text)
{
    h.Send(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Reads until n bytes came, the stream ended, or 10 s passed.
std::string RecvText(TkbzIOHandler& h, std::size_t n)
{
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::vector<std::uint8_t> buf(65536);
    while (out.size() < n && std::chrono::steady_clock::now() < deadline)
    {
        if (!h.Readable(100))
        {
            continue;
        }
        const std::size_t got = h.Recv(buf.data(), std::min(buf.size(), n - out.size()));
        if (got == 0)
        {
            break;
        }
        out.append(reinterpret_cast<const char*>(buf.data()), got);
    }
    return out;
}

void ExpectEcho(TkbzIOHandler& h, const std::string& text)
{
    SendText(h, text);
    EXPECT_EQ(RecvText(h, text.size()), text);
}

// ---- Versions ----

struct VersionCase
{
    const char* name;
    TwsTLSVersions client;
    TwsTLSVersions server;
    std::optional<TwsTLSVersions> negotiated; // nothing: the handshake fails
};

TEST(TkbzSSLOpenSSL, VersionRules)
{
    const VersionCase cases[] = {
        {"undefined prefers 1.3", tlsUndefined, tlsUndefined, tls1_3},
        {"undefined takes 1.2 from a 1.2 server", tlsUndefined, tls1_2, tls1_2},
        {"1.2 exactly", tls1_2, tlsUndefined, tls1_2},
        {"1.3 exactly", tls1_3, tlsUndefined, tls1_3},
        {"1.2 against a 1.3-only server", tls1_2, tls1_3, std::nullopt},
        {"1.3 against a 1.2-only server", tls1_3, tls1_2, std::nullopt},
        {"1.0 where both allow it", tls1_0, tls1_0, tls1_0},
        {"1.1 where both allow it", tls1_1, tls1_1, tls1_1},
        {"1.0 against a modern server", tls1_0, tlsUndefined, std::nullopt},
        {"undefined never falls back to 1.1", tlsUndefined, tls1_1, std::nullopt},
    };
    for (const VersionCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        TestTLSServer server(ServerConfig(c.server));
        if (c.negotiated)
        {
            auto h = ConnectTLS(server.Port(), VerifyingClient(c.client));
            auto* tls = dynamic_cast<TkbzIdSSLIOHandlerSocketOpenSSL*>(h.get());
            ASSERT_NE(tls, nullptr);
            EXPECT_TRUE(tls->IsTLS());
            EXPECT_EQ(tls->NegotiatedVersion(), *c.negotiated);
            EXPECT_EQ(server.Seen().Version, *c.negotiated);
            ExpectEcho(*h, "hello over " + tls->ProtocolName());
        }
        else
        {
            try
            {
                ConnectTLS(server.Port(), VerifyingClient(c.client));
                ADD_FAILURE() << "the handshake succeeded";
            }
            catch (const EIdTLSError& e)
            {
                EXPECT_NE(std::string(e.what()).find("TLS handshake with localhost failed: "),
                          std::string::npos)
                    << e.what();
            }
            EXPECT_FALSE(server.Seen().HandshakeOk);
        }
    }
}

// ---- Verification, host names and server name indication ----

struct VerifyCase
{
    const char* name;
    bool verify;
    std::string root;        // RootCertFile; empty: the system store
    std::string host;        // the connection host given to the handshake
    std::string hostToCheck; // TkbzTLSClientConfig::HostToCheck
    const char* error;       // expected text of the failure, nullptr: succeeds
    const char* sni;         // the server name the server saw on success
};

TEST(TkbzSSLOpenSSL, VerificationAndServerName)
{
    const auto& c = Certs();
    const VerifyCase cases[] = {
        {"trusted root, matching name", true, c.CACert, "localhost", "", nullptr, "localhost"},
        {"IP literal: checked against the certificate, no SNI", true, c.CACert, "127.0.0.1", "",
         nullptr, ""},
        {"IPv6 literal in brackets is an address too", true, c.CACert, "[::1]", "", nullptr, ""},
        {"host to check wins over the connection host", true, c.CACert, "127.0.0.1",
         "http://localhost:8080/", nullptr, "localhost"},
        {"root that did not sign the chain", true, c.OtherCACert, "localhost", "",
         "certificate verify failed: unable to get local issuer certificate", nullptr},
        {"system store does not know our CA", true, "", "localhost", "",
         "certificate verify failed: unable to get local issuer certificate", nullptr},
        {"wrong host name", true, c.CACert, "localhost", "wrong.example",
         "certificate verify failed: hostname mismatch", nullptr},
        {"wrong IP address", true, c.CACert, "127.0.0.2", "",
         "certificate verify failed: IP address mismatch", nullptr},
        {"no verification accepts an unknown root", false, c.OtherCACert, "localhost", "", nullptr,
         "localhost"},
        {"no verification accepts a wrong name", false, "", "wrong.example", "", nullptr,
         "wrong.example"},
    };
    for (const VerifyCase& v : cases)
    {
        SCOPED_TRACE(v.name);
        TestTLSServer server(ServerConfig());
        TkbzTLSClientConfig cfg;
        cfg.VerifyCertificate = v.verify;
        cfg.RootCertFile = v.root;
        cfg.HostToCheck = v.hostToCheck;
        if (v.error == nullptr)
        {
            auto h = ConnectTLS(server.Port(), cfg, v.host);
            const ServerSeen seen = server.Seen();
            EXPECT_TRUE(seen.HandshakeOk) << seen.Error;
            EXPECT_EQ(seen.ServerName, v.sni);
            ExpectEcho(*h, "verified");
            continue;
        }
        try
        {
            ConnectTLS(server.Port(), cfg, v.host);
            ADD_FAILURE() << "the handshake succeeded";
        }
        catch (const EIdTLSError& e)
        {
            EXPECT_NE(std::string(e.what()).find(v.error), std::string::npos) << e.what();
            // The refused certificate is named.
            EXPECT_NE(std::string(e.what()).find("depth "), std::string::npos) << e.what();
        }
        EXPECT_FALSE(server.Seen().HandshakeOk);
    }
}

TEST(TkbzSSLOpenSSL, OnSSLVerifyPeerSeesTheChainAndDecides)
{
    struct Step
    {
        std::string subject;
        std::string issuer;
        bool ok;
        int depth;
        int error;
    };
    struct Case
    {
        const char* name;
        std::string root;
        std::function<bool(const Step&)> decide;
        const char* error; // nullptr: succeeds
    };
    const Case cases[] = {
        {"keeps the library's verdict", Certs().CACert, [](const Step& s) { return s.ok; },
         nullptr},
        {"accepts an unknown root", Certs().OtherCACert, [](const Step&) { return true; }, nullptr},
        {"refuses a valid leaf", Certs().CACert, [](const Step& s) { return s.depth != 0; },
         "certificate rejected by OnSSLVerifyPeer (depth 0"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TestTLSServer server(ServerConfig());
        std::vector<Step> steps;
        TkbzTLSClientConfig cfg = VerifyingClient();
        cfg.RootCertFile = c.root;
        cfg.OnSSLVerifyPeer = [&](const TkbzSSLCertificate& cert, bool ok, int depth, int error,
                                  bool& accept) {
            EXPECT_EQ(accept, ok);
            steps.push_back({cert.Subject, cert.Issuer, ok, depth, error});
            accept = c.decide(steps.back());
        };
        if (c.error == nullptr)
        {
            auto h = ConnectTLS(server.Port(), cfg);
            ExpectEcho(*h, "decided");
        }
        else
        {
            try
            {
                ConnectTLS(server.Port(), cfg);
                ADD_FAILURE() << "the handshake succeeded";
            }
            catch (const EIdTLSError& e)
            {
                EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
            }
        }
        ASSERT_FALSE(steps.empty());
        const Step& leaf = steps.back();
        EXPECT_EQ(leaf.depth, 0);
        EXPECT_NE(leaf.subject.find("CN = localhost"), std::string::npos) << leaf.subject;
        EXPECT_NE(leaf.issuer.find("test CA"), std::string::npos) << leaf.issuer;
    }
}

// ---- Client certificates ----

TEST(TkbzSSLOpenSSL, ClientCertificates)
{
    const auto& c = Certs();
    struct Case
    {
        const char* name;
        std::string certFile;
        std::string keyFile;
        std::string password;
        bool presented;
    };
    const Case cases[] = {
        {"PEM with an encrypted key", c.ClientCert, c.ClientKey, c.ClientKeyPassword, true},
        {"PKCS#12 bundle", c.ClientP12, "", c.ClientP12Password, true},
        {"none", "", "", "", false},
    };
    for (const Case& k : cases)
    {
        SCOPED_TRACE(k.name);
        TkbzTLSServerConfig scfg = ServerConfig();
        scfg.VerifyCertificate = true;
        scfg.FailIfNoCertificate = true;
        scfg.RootCertFile = c.CACert;
        TestTLSServer server(scfg);
        TkbzTLSClientConfig cfg = VerifyingClient();
        cfg.CertFile = k.certFile;
        cfg.KeyFile = k.keyFile;
        cfg.Password = k.password;
        if (k.presented)
        {
            auto h = ConnectTLS(server.Port(), cfg);
            const ServerSeen seen = server.Seen();
            ASSERT_TRUE(seen.HandshakeOk) << seen.Error;
            ASSERT_TRUE(seen.PeerCertificate.has_value());
            EXPECT_NE(seen.PeerCertificate->Subject.find("CN = kbz test client"),
                      std::string::npos);
            EXPECT_EQ(seen.PeerCertificate->SHA256Hex.size(), 64u);
            ExpectEcho(*h, "with a certificate");
            continue;
        }
        // With TLS 1.3 the client may finish first and learn of the refusal
        // only from the alert that follows, on its first read.
        std::string failure;
        try
        {
            auto h = ConnectTLS(server.Port(), cfg);
            RecvText(*h, 1);
            failure = "the connection ended without an error";
        }
        catch (const EIdException& e)
        {
            failure = e.what();
        }
        EXPECT_NE(failure.find("certificate required"), std::string::npos) << failure;
        const ServerSeen seen = server.Seen();
        EXPECT_FALSE(seen.HandshakeOk);
        EXPECT_NE(seen.Error.find("peer did not return a certificate"), std::string::npos)
            << seen.Error;
    }
}

TEST(TkbzSSLOpenSSL, BadCredentialFilesFailWithTheirName)
{
    const auto& c = Certs();
    struct Case
    {
        const char* name;
        std::string certFile;
        std::string keyFile;
        std::string password;
        const char* error;
    };
    const Case cases[] = {
        {"wrong PKCS#12 password", c.ClientP12, "", "not the password",
         "Cannot import PKCS#12 file"},
        {"wrong key password", c.ClientCert, c.ClientKey, "not the password",
         "Cannot load key file"},
        {"key of another certificate", c.ClientCert, c.ServerKey, "", "key values mismatch"},
        {"missing certificate file", c.Dir + "/missing.pem", "", "",
         "Cannot load certificate file"},
    };
    for (const Case& k : cases)
    {
        SCOPED_TRACE(k.name);
        TkbzTLSClientConfig cfg;
        cfg.CertFile = k.certFile;
        cfg.KeyFile = k.keyFile;
        cfg.Password = k.password;
        try
        {
            TkbzSSLContext::CreateClient(cfg);
            ADD_FAILURE() << "the context was created";
        }
        catch (const EIdTLSError& e)
        {
            EXPECT_NE(std::string(e.what()).find(k.error), std::string::npos) << e.what();
        }
    }
}

// ---- ALPN ----

TEST(TkbzSSLOpenSSL, ALPNChoosesTheServersPreference)
{
    struct Case
    {
        const char* name;
        std::vector<std::string> offered;
        std::vector<std::string> accepted;
        std::string chosen;
    };
    const Case cases[] = {
        {"server preference wins", {"kbz.test", "http/1.1"}, {"http/1.1", "kbz.test"}, "http/1.1"},
        {"no overlap: no protocol", {"kbz.test"}, {"http/1.1"}, ""},
        {"client offers none", {}, {"http/1.1"}, ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzTLSServerConfig scfg = ServerConfig();
        scfg.ALPNProtocols = c.accepted;
        TestTLSServer server(scfg);
        TkbzTLSClientConfig cfg = VerifyingClient();
        cfg.ALPNProtocols = c.offered;
        auto h = ConnectTLS(server.Port(), cfg);
        EXPECT_EQ(h->NegotiatedALPN(), c.chosen);
        EXPECT_EQ(server.Seen().ALPN, c.chosen);
    }
    TkbzTLSClientConfig bad;
    bad.ALPNProtocols = {""};
    EXPECT_THROW(TkbzSSLContext::CreateClient(bad), EIdTLSError);
}

// ---- Failures of the peer ----

TEST(TkbzSSLOpenSSL, HandshakeWithAPeerThatIsNotTLS)
{
    {
        TestTLSServer server({}, TestTLSServer::TMode::SilentTCP);
        try
        {
            ConnectTLS(server.Port(), VerifyingClient(), "localhost", 300);
            ADD_FAILURE() << "the handshake succeeded";
        }
        catch (const EIdTLSError& e)
        {
            EXPECT_NE(std::string(e.what()).find("no answer within 300 ms"), std::string::npos)
                << e.what();
        }
    }
    {
        TestTLSServer server({}, TestTLSServer::TMode::PlainText);
        try
        {
            ConnectTLS(server.Port(), VerifyingClient());
            ADD_FAILURE() << "the handshake succeeded";
        }
        catch (const EIdTLSError& e)
        {
            EXPECT_NE(std::string(e.what()).find("wrong version number"), std::string::npos)
                << e.what();
        }
    }
}

TEST(TkbzSSLOpenSSL, EndsOfTheStream)
{
    {
        SCOPED_TRACE("the peer closes: its data first, then the end");
        TestTLSServer server(ServerConfig(), TestTLSServer::TMode::ByeAndClose);
        auto h = ConnectTLS(server.Port(), VerifyingClient());
        EXPECT_EQ(RecvText(*h, 3), "bye");
        ASSERT_TRUE(h->Readable(10000));
        std::uint8_t b[16];
        EXPECT_EQ(h->Recv(b, sizeof b), 0u);
        EXPECT_EQ(h->Recv(b, sizeof b), 0u);
        EXPECT_FALSE(h->Connected());
    }
    {
        SCOPED_TRACE("we close: later use raises");
        TestTLSServer server(ServerConfig());
        auto h = ConnectTLS(server.Port(), VerifyingClient());
        ExpectEcho(*h, "last words");
        EXPECT_TRUE(h->Connected());
        EXPECT_FALSE(h->Readable(0));
        h->Close();
        EXPECT_FALSE(h->Connected());
        std::uint8_t b[16];
        EXPECT_THROW(h->Recv(b, sizeof b), EIdClosedSocket);
        EXPECT_THROW(SendText(*h, "late"), EIdClosedSocket);
    }
}

// ---- Threads ----

// The reader blocks in Recv while another thread writes: if the read held the
// session lock while waiting, the write (and so the echo) could never happen.
TEST(TkbzSSLOpenSSL, BlockedReaderDoesNotStallWriters)
{
    TestTLSServer server(ServerConfig());
    auto h = ConnectTLS(server.Port(), VerifyingClient());
    std::promise<std::string> received;
    std::jthread reader([&] {
        try
        {
            std::uint8_t buf[64];
            const std::size_t n = h->Recv(buf, sizeof buf); // blocks: nothing sent yet
            received.set_value(std::string(reinterpret_cast<char*>(buf), n));
        }
        catch (const std::exception& e)
        {
            received.set_value(std::string("raised: ") + e.what());
        }
    });
    SendText(*h, "ping");
    auto f = received.get_future();
    ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(f.get(), "ping");
}

// Both directions at full speed at once: the echo server only reads on when
// its writes drain, so this completes only if our writer and reader progress
// independently.
TEST(TkbzSSLOpenSSL, FullDuplexBulkTransfer)
{
    TestTLSServer server(ServerConfig());
    auto h = ConnectTLS(server.Port(), VerifyingClient());
    std::string data(4 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
    {
        data[i] = static_cast<char>((i * 131) ^ (i >> 9));
    }
    std::promise<std::string> echoed;
    std::jthread reader([&] {
        try
        {
            echoed.set_value(RecvText(*h, data.size()));
        }
        catch (const std::exception& e)
        {
            echoed.set_value(std::string("raised: ") + e.what());
        }
    });
    const std::size_t piece = 100000; // not a multiple of the record size
    for (std::size_t off = 0; off < data.size(); off += piece)
    {
        h->Send(reinterpret_cast<const std::uint8_t*>(data.data()) + off,
                std::min(piece, data.size() - off));
    }
    auto f = echoed.get_future();
    ASSERT_EQ(f.wait_for(30s), std::future_status::ready);
    const std::string got = f.get();
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
}

TEST(TkbzSSLOpenSSL, ShutdownWakesABlockedReader)
{
    struct Case
    {
        const char* name;
        std::function<std::string(TkbzIOHandler&)> wait;
        std::string expected;
    };
    const Case cases[] = {
        {"Recv",
         [](TkbzIOHandler& h) {
             try
             {
                 std::uint8_t b[16];
                 h.Recv(b, sizeof b);
                 return std::string("returned");
             }
             catch (const EIdClosedSocket&)
             {
                 return std::string("EIdClosedSocket");
             }
         },
         "EIdClosedSocket"},
        {"Readable without limit",
         [](TkbzIOHandler& h) { return std::string(h.Readable(-1) ? "readable" : "not"); },
         "readable"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TestTLSServer server(ServerConfig(), TestTLSServer::TMode::Hold);
        auto h = ConnectTLS(server.Port(), VerifyingClient());
        std::promise<std::string> result;
        std::atomic<bool> started{false};
        std::jthread reader([&] {
            started = true;
            result.set_value(c.wait(*h));
        });
        ASSERT_TRUE(test::WaitUntil([&] { return started.load(); }, 5s));
        h->Shutdown();
        auto f = result.get_future();
        ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(f.get(), c.expected);
        EXPECT_FALSE(h->Connected());
    }
}

TEST(TkbzSSLOpenSSL, WakeEndsOneWaitForRecords)
{
    TestTLSServer server(ServerConfig(), TestTLSServer::TMode::Hold);
    auto h = ConnectTLS(server.Port(), VerifyingClient());
    auto woken = std::async(std::launch::async, [&] { return h->Readable(-1); });
    EXPECT_NE(woken.wait_for(20ms), std::future_status::ready);
    h->Wake();
    ASSERT_EQ(woken.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(woken.get());

    auto again = std::async(std::launch::async, [&] { return h->Readable(-1); });
    EXPECT_NE(again.wait_for(20ms), std::future_status::ready); // the wake was used up
    h->Shutdown();
    ASSERT_EQ(again.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(again.get());
}

// ---- Configuration from the option records; the SChannel choice ----

TEST(TkbzSSLOpenSSL, StartFromOptionRecords)
{
    struct Case
    {
        const char* name;
        TwsTLSIOHandler handler;
        std::string certHash;
        const char* errorStart; // nullptr: succeeds
    };
    const Case cases[] = {
        {"OpenSSL", TwsTLSIOHandler::iohOpenSSL, "", nullptr},
        {"SChannel kind over OpenSSL", TwsTLSIOHandler::iohSChannel, "", nullptr},
        {"SChannel store lookup", TwsTLSIOHandler::iohSChannel,
         "0123456789ABCDEF0123456789ABCDEF01234567", "SChannel initialization error: "},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzTLSServerConfig scfg = ServerConfig();
        scfg.ALPNProtocols = {"kbz.test"};
        TestTLSServer server(scfg);
        TkbzSocketTLS_Options options;
        options.IOHandler = c.handler;
        options.Version = tls1_2;
        options.VerifyCertificate = true;
        options.RootCertFile = Certs().CACert;
        options.ALPNProtocols = {"kbz.test"};
        options.SChannel_Options.CertHash = c.certHash;
        bool verified = false;
        const auto onVerify = [&](const TkbzSSLCertificate&, bool ok, int, int, bool& accept) {
            verified = true;
            accept = ok;
        };
        if (c.errorStart == nullptr)
        {
            auto h = kbzStartTLSClientFromOptions(ConnectPlain(server.Port()), options, "127.0.0.1",
                                                  10000, "localhost", onVerify);
            auto* tls = dynamic_cast<TkbzIdSSLIOHandlerSocketOpenSSL*>(h.get());
            ASSERT_NE(tls, nullptr);
            EXPECT_EQ(tls->NegotiatedVersion(), tls1_2);
            EXPECT_EQ(tls->NegotiatedALPN(), "kbz.test");
            EXPECT_TRUE(verified);
            EXPECT_EQ(server.Seen().ServerName, "localhost");
            ExpectEcho(*h, "configured");
            continue;
        }
        try
        {
            kbzStartTLSClientFromOptions(ConnectPlain(server.Port()), options, "localhost", 10000);
            ADD_FAILURE() << "the start succeeded";
        }
        catch (const SChannelError& e)
        {
            EXPECT_EQ(std::string(e.what()).rfind(c.errorStart, 0), 0u) << e.what();
            EXPECT_EQ(e.ClassName(), "SChannelError");
        }
    }
}

TEST(TkbzSSLOpenSSL, SChannelFailuresCarryThePrefix)
{
    TestTLSServer server(ServerConfig());
    TkbzSChannelClientConfig cfg;
    cfg.VerifyCertificate = true;
    cfg.RootCertFile = Certs().OtherCACert;
    try
    {
        kbzStartSChannelClient(ConnectPlain(server.Port()), cfg, "localhost", 10000);
        ADD_FAILURE() << "the start succeeded";
    }
    catch (const SChannelError& e)
    {
        EXPECT_EQ(std::string(e.what()).rfind("SChannel initialization error: TLS handshake", 0),
                  0u)
            << e.what();
        EXPECT_NE(std::string(e.what()).find("unable to get local issuer certificate"),
                  std::string::npos);
    }
}

// ---- Helpers ----

TEST(TkbzSSLOpenSSL, HostNamesForTLS)
{
    const struct
    {
        const char* input;
        const char* host;
        bool ip;
    } cases[] = {
        {"localhost", "localhost", false},
        {"127.0.0.1", "127.0.0.1", true},
        {"::1", "::1", true},
        {"[::1]", "::1", true},
        {"http://example.org:8080/path?q=1", "example.org", false},
        {"https://user:pw@example.org/", "example.org", false},
        {"http://[2001:db8::1]:443/", "2001:db8::1", true},
        {"http://10.0.0.1", "10.0.0.1", true},
        {"1.2.3", "1.2.3", false},
        {"", "", false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(detail::TLSHostOf(c.input), c.host);
        EXPECT_EQ(detail::IsIPLiteral(detail::TLSHostOf(c.input)), c.ip);
    }
    EXPECT_EQ(detail::EncodeALPN({"h2", "http/1.1"}),
              (std::vector<std::uint8_t>{2, 'h', '2', 8, 'h', 't', 't', 'p', '/', '1', '.', '1'}));
    EXPECT_THROW(detail::EncodeALPN({std::string(256, 'a')}), EIdTLSError);
}

} // namespace
} // namespace kbz
