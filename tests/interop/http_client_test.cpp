// Our HTTP client against HTTP servers we did not write: python's http.server
// (lengths, keep-alive, TLS) and node's http module (chunked bodies).
#include "tests/interop/client_peers.h"
#include "tests/support/kbzTestCerts.h"
#include "transport/kbzHTTP_Client.h"

#include <gtest/gtest.h>

namespace kbz
{
namespace
{

using namespace std::chrono_literals;

bool StartHTTPPeer(test::TestProcess& process, int& port, const std::vector<std::string>& argv,
                   const test::TestProcess::Options& options = {})
{
    if (!process.Start(argv, options))
    {
        return false;
    }
    const auto at = process.WaitForLine(
        [](const std::string& l) { return l.rfind("listening ", 0) == 0; }, 30s);
    if (!at)
    {
        return false;
    }
    port = std::stoi(process.Lines()[*at].substr(10));
    return true;
}

struct PeerCase
{
    const char* name;
    std::vector<std::string> argv;
    bool node;
};

std::vector<PeerCase> PeerCases()
{
    return {{"python http.server",
             {test::client::Python, test::SourcePath("tests/interop/peers/http_peer.py")},
             false},
            {"node http",
             {test::client::Node, test::SourcePath("tests/interop/peers/http_peer.js")},
             true}};
}

TEST(HTTPClientInterop, GetPostAndKeptConnections)
{
    for (const PeerCase& c : PeerCases())
    {
        SCOPED_TRACE(c.name);
        if (!test::HaveProgram(c.argv[0]))
        {
            continue;
        }
        test::TestProcess process;
        int port = 0;
        ASSERT_TRUE(
            StartHTTPPeer(process, port, c.argv,
                          c.node ? test::client::NodeOptions() : test::TestProcess::Options{}));
        const std::string base = "http://127.0.0.1:" + std::to_string(port);
        TkbzHTTPClient client;

        const TkbzHTTPResponse hello = client.Get(base + "/hello");
        EXPECT_EQ(hello.Status(), 200);
        EXPECT_EQ(hello.Body, "hello");
        if (c.node)
        {
            EXPECT_TRUE(hello.Head.Headers.HasToken("Transfer-Encoding", "chunked"));
        }
        // Large bodies, in pieces or with a length.
        const TkbzHTTPResponse big = client.Get(base + "/big?n=1000000");
        EXPECT_EQ(big.Body, std::string(1000000, 'x'));
        const std::string body = "h\xC3\xA9llo=w&x=" + std::string(70000, 'y');
        const TkbzHTTPResponse echo =
            client.Post(base + "/echo", body, "application/x-www-form-urlencoded");
        EXPECT_EQ(echo.Body, body);
        EXPECT_EQ(echo.Head.Headers.Get("X-Method"), "POST");
        EXPECT_EQ(echo.Head.Headers.Get("x-content-type"), "application/x-www-form-urlencoded");
        // All of it on one kept connection.
        EXPECT_EQ(hello.Head.Headers.Get("X-Client-Port"), echo.Head.Headers.Get("X-Client-Port"));
        EXPECT_EQ(client.Get(base + "/missing").Status(), 404);
        EXPECT_THROW(client.Get(base + "/missing").Check(), EIdHTTPProtocolException);

        client.MaxBody = 1000;
        EXPECT_THROW(client.Get(base + "/big?n=5000"), EIdHTTPProtocolException);
        process.Stop();
    }
}

TEST(HTTPClientInterop, HttpsWithVerificationAndRedirects)
{
    if (!test::HaveProgram(test::client::Python))
    {
        GTEST_SKIP() << "python3 is not installed";
    }
    const test::TestCerts& certs = test::Certs();
    test::TestProcess process;
    int port = 0;
    ASSERT_TRUE(
        StartHTTPPeer(process, port,
                      {test::client::Python, test::SourcePath("tests/interop/peers/http_peer.py"),
                       "--tls", certs.ServerCert, certs.ServerKey}));
    const std::string base = "https://localhost:" + std::to_string(port);
    TkbzHTTPClient client;
    client.TLSOptions.VerifyCertificate = true;
    client.TLSOptions.RootCertFile = certs.CACert;
    client.MaxRedirects = 3;
    const TkbzHTTPResponse r = client.Get(base + "/redirect");
    EXPECT_EQ(r.Status(), 200);
    EXPECT_EQ(r.Body, "hello");
    EXPECT_EQ(r.URL, base + "/hello");

    // A root that does not lead to the server's certificate fails the request.
    TkbzHTTPClient strict;
    strict.TLSOptions.VerifyCertificate = true;
    strict.TLSOptions.RootCertFile = certs.OtherCACert;
    EXPECT_THROW(strict.Get(base + "/hello"), EIdTLSError);
    process.Stop();
}

} // namespace
} // namespace kbz
