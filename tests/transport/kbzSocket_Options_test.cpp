#include "transport/kbzSocket_Options.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

using namespace kbz;

namespace
{

// Fills every field of a TLS base record with a value other than its default.
void FillTLSBase(TkbzSocketTLS_Options_Base& r)
{
    r.CertFile = "cert.pem";
    r.KeyFile = "key.pem";
    r.Password = "secret";
    r.RootCertFile = "root.pem";
    r.VerifyCertificate = true;
    r.VerifyDepth = 7;
    r.Version = TwsTLSVersions::tls1_3;
}

void ExpectTLSBaseFilled(const TkbzSocketTLS_Options_Base& r)
{
    EXPECT_EQ(r.CertFile, "cert.pem");
    EXPECT_EQ(r.KeyFile, "key.pem");
    EXPECT_EQ(r.Password, "secret");
    EXPECT_EQ(r.RootCertFile, "root.pem");
    EXPECT_TRUE(r.VerifyCertificate);
    EXPECT_EQ(r.VerifyDepth, 7);
    EXPECT_EQ(r.Version, TwsTLSVersions::tls1_3);
}

void ExpectTLSBaseDefault(const TkbzSocketTLS_Options_Base& r)
{
    EXPECT_EQ(r.CertFile, "");
    EXPECT_EQ(r.KeyFile, "");
    EXPECT_EQ(r.Password, "");
    EXPECT_EQ(r.RootCertFile, "");
    EXPECT_FALSE(r.VerifyCertificate);
    EXPECT_EQ(r.VerifyDepth, 0);
    EXPECT_EQ(r.Version, TwsTLSVersions::tlsUndefined);
}

void FillOpenSSL(TkbzSocketOpenSSL_Options& r)
{
    r.APIVersion = TwsOpenSSLAPI::oslAPI_3_0;
    r.LibPath = TwsOpenSSLLibPath::oslpCustomPath;
    r.LibPathCustom = "/opt/ssl";
    r.UnixSymLinks = TwsOpenSSLSymLinks::oslsSymLinksDontLoad;
}

} // namespace

TEST(kbzSocket_Options, Defaults)
{
    const TkbzTCPKeepAlive keepAlive; // the owning component sets the real defaults
    EXPECT_FALSE(keepAlive.Enabled);
    EXPECT_EQ(keepAlive.Interval, 0);
    EXPECT_EQ(keepAlive.Time, 0);

    const TkbzTCPLogFile log;
    EXPECT_FALSE(log.Enabled);
    EXPECT_EQ(log.FileName, "");

    const TkbzTCPThrottle throttle;
    EXPECT_FALSE(throttle.Enabled);
    EXPECT_EQ(throttle.BitsPerSec, 0);

    const TkbzOpenSSLServer_Options ossl;
    EXPECT_EQ(ossl.APIVersion, TwsOpenSSLAPI::oslAPI_1_0);
    EXPECT_EQ(ossl.LibPath, TwsOpenSSLLibPath::oslpNone);
    EXPECT_EQ(ossl.LibPathCustom, "");
    EXPECT_EQ(ossl.UnixSymLinks, TwsOpenSSLSymLinks::oslsSymLinksDefault);
    EXPECT_EQ(ossl.CipherList, "");
    EXPECT_FALSE(ossl.ECDHE);

    const TkbzSChannelClient_Options sch;
    EXPECT_EQ(sch.CertHash, "");
    EXPECT_EQ(sch.CertStoreName, TkbzSChannelCertStoreName::scsnMY);
    EXPECT_EQ(sch.CertStorePath, TkbzSChannelCertStorePath::scspStoreCurrentUser);
    EXPECT_EQ(sch.CipherList, "");

    const TkbzTCPTLS_Options tls;
    ExpectTLSBaseDefault(tls);
    EXPECT_TRUE(tls.ALPNProtocols.empty());
    EXPECT_EQ(tls.IOHandler, TwsTLSIOHandler::iohOpenSSL);

    const TkbzWSSSL_Options ssl;
    ExpectTLSBaseDefault(ssl);
    EXPECT_EQ(ssl.Port, 0);
    EXPECT_FALSE(ssl.VerifyCertificate_Options.FailIfNoCertificate);
    EXPECT_FALSE(ssl.VerifyCertificate_Options.VerifyClientOnce);

    const TkbzTCPProxy_Options proxy;
    EXPECT_FALSE(proxy.Enabled);
    EXPECT_EQ(proxy.Host, "");
    EXPECT_EQ(proxy.Port, 0);
    EXPECT_EQ(proxy.ProxyType, TwsProxy::pxyHTTP);
    EXPECT_EQ(proxy.Username, "");
    EXPECT_EQ(proxy.Password, "");

    const TkbzTCPWatchDog_Options watchDog;
    EXPECT_FALSE(watchDog.Enabled);
    EXPECT_EQ(watchDog.Interval, 60);
    EXPECT_EQ(watchDog.Attempts, 0);
}

// Each case fills a source record of one kind, assigns it into a fresh target
// (of a sibling level of the same family) and checks what arrived.
TEST(kbzSocket_Options, AssignCopiesTheListedFields)
{
    struct Case
    {
        const char* name;
        std::function<std::unique_ptr<TkbzPersistent>()> makeSource;
        std::function<std::unique_ptr<TkbzPersistent>()> makeTarget;
        std::function<void(const TkbzPersistent&)> check;
    };
    const std::vector<Case> cases = {
        {"keep-alive",
         [] {
             auto r = std::make_unique<TkbzSocketKeepAlive>();
             r->Enabled = true;
             r->Interval = 1000;
             r->Time = 7200000;
             return r;
         },
         [] { return std::make_unique<TkbzTCPKeepAlive>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzTCPKeepAlive&>(p);
             EXPECT_TRUE(r.Enabled);
             EXPECT_EQ(r.Interval, 1000);
             EXPECT_EQ(r.Time, 7200000);
         }},
        {"log file",
         [] {
             auto r = std::make_unique<TkbzTCPLogFile>();
             r->Enabled = true;
             r->FileName = "/tmp/x.log";
             return r;
         },
         [] { return std::make_unique<TkbzSocketLogFile>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzSocketLogFile&>(p);
             EXPECT_TRUE(r.Enabled);
             EXPECT_EQ(r.FileName, "/tmp/x.log");
         }},
        {"throttle",
         [] {
             auto r = std::make_unique<TkbzSocketThrottle>();
             r->Enabled = true;
             r->BitsPerSec = 56000;
             return r;
         },
         [] { return std::make_unique<TkbzTCPThrottle>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzTCPThrottle&>(p);
             EXPECT_TRUE(r.Enabled);
             EXPECT_EQ(r.BitsPerSec, 56000);
         }},
        {"OpenSSL keeps the target's UnixSymLinks",
         [] {
             auto r = std::make_unique<TkbzOpenSSLClient_Options>();
             FillOpenSSL(*r);
             return r;
         },
         [] { return std::make_unique<TkbzTCPOpenSSL_Options>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzTCPOpenSSL_Options&>(p);
             EXPECT_EQ(r.APIVersion, TwsOpenSSLAPI::oslAPI_3_0);
             EXPECT_EQ(r.LibPath, TwsOpenSSLLibPath::oslpCustomPath);
             EXPECT_EQ(r.LibPathCustom, "/opt/ssl");
             EXPECT_EQ(r.UnixSymLinks, TwsOpenSSLSymLinks::oslsSymLinksDefault);
         }},
        {"OpenSSL server from server copies the library location too",
         [] {
             auto r = std::make_unique<TkbzOpenSSLServer_Options>();
             FillOpenSSL(*r);
             r->CipherList = "HIGH:!aNULL";
             r->ECDHE = true;
             return r;
         },
         [] { return std::make_unique<TkbzOpenSSLServer_Options>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzOpenSSLServer_Options&>(p);
             EXPECT_EQ(r.CipherList, "HIGH:!aNULL");
             EXPECT_TRUE(r.ECDHE);
             EXPECT_EQ(r.APIVersion, TwsOpenSSLAPI::oslAPI_3_0);
             EXPECT_EQ(r.LibPath, TwsOpenSSLLibPath::oslpCustomPath);
             EXPECT_EQ(r.LibPathCustom, "/opt/ssl");
             EXPECT_EQ(r.UnixSymLinks, TwsOpenSSLSymLinks::oslsSymLinksDefault);
         }},
        {"OpenSSL server from a client record gets the base copy",
         [] {
             auto r = std::make_unique<TkbzOpenSSLClient_Options>();
             FillOpenSSL(*r);
             return r;
         },
         [] {
             auto r = std::make_unique<TkbzOpenSSLServer_Options>();
             r->CipherList = "kept";
             r->ECDHE = true;
             return r;
         },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzOpenSSLServer_Options&>(p);
             EXPECT_EQ(r.LibPathCustom, "/opt/ssl");
             EXPECT_EQ(r.CipherList, "kept");
             EXPECT_TRUE(r.ECDHE);
         }},
        {"SChannel",
         [] {
             auto r = std::make_unique<TkbzSChannelClient_Options>();
             r->CertHash = "A1B2";
             r->CertStoreName = TkbzSChannelCertStoreName::scsnCA;
             r->CertStorePath = TkbzSChannelCertStorePath::scspStoreLocalMachine;
             r->CipherList = "AES";
             return r;
         },
         [] { return std::make_unique<TkbzSocketSChannel_Options>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzSocketSChannel_Options&>(p);
             EXPECT_EQ(r.CertHash, "A1B2");
             EXPECT_EQ(r.CertStoreName, TkbzSChannelCertStoreName::scsnCA);
             EXPECT_EQ(r.CertStorePath, TkbzSChannelCertStorePath::scspStoreLocalMachine);
             EXPECT_EQ(r.CipherList, "AES");
         }},
        {"verify certificate",
         [] {
             auto r = std::make_unique<TkbzSSL_Verify_Certificate_Options>();
             r->FailIfNoCertificate = true;
             r->VerifyClientOnce = true;
             return r;
         },
         [] { return std::make_unique<TkbzSSL_Verify_Certificate_Options>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzSSL_Verify_Certificate_Options&>(p);
             EXPECT_TRUE(r.FailIfNoCertificate);
             EXPECT_TRUE(r.VerifyClientOnce);
         }},
        {"proxy",
         [] {
             auto r = std::make_unique<TkbzTCPProxy_Options>();
             r->Enabled = true;
             r->Host = "proxy.local";
             r->Port = 3128;
             r->ProxyType = TwsProxy::pxySocks5;
             r->Username = "u";
             r->Password = "p";
             return r;
         },
         [] { return std::make_unique<TkbzTCPProxy_Options>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzTCPProxy_Options&>(p);
             EXPECT_TRUE(r.Enabled);
             EXPECT_EQ(r.Host, "proxy.local");
             EXPECT_EQ(r.Port, 3128);
             EXPECT_EQ(r.ProxyType, TwsProxy::pxySocks5);
             EXPECT_EQ(r.Username, "u");
             EXPECT_EQ(r.Password, "p");
         }},
        {"watchdog",
         [] {
             auto r = std::make_unique<TkbzTCPWatchDog_Options>();
             r->Enabled = true;
             r->Interval = 10;
             r->Attempts = 3;
             return r;
         },
         [] { return std::make_unique<TkbzTCPWatchDog_Options>(); },
         [](const TkbzPersistent& p) {
             const auto& r = dynamic_cast<const TkbzTCPWatchDog_Options&>(p);
             EXPECT_TRUE(r.Enabled);
             EXPECT_EQ(r.Interval, 10);
             EXPECT_EQ(r.Attempts, 3);
         }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const auto source = c.makeSource();
        const auto target = c.makeTarget();
        target->Assign(*source);
        c.check(*target);
    }
}

TEST(kbzSocket_Options, FullTLSRecordCopiesCertificatesVerificationAndSubRecords)
{
    TkbzTCPTLS_Options source;
    FillTLSBase(source);
    source.ALPNProtocols = {"h2", "http/1.1"};
    source.IOHandler = TwsTLSIOHandler::iohSChannel;
    FillOpenSSL(source.OpenSSL_Options);
    source.SChannel_Options.CertHash = "FF00";

    TkbzSocketTLS_Options target;
    target.ALPNProtocols = {"old"}; // replaced, not appended to
    target.OpenSSL_Options.UnixSymLinks = TwsOpenSSLSymLinks::oslsSymLinksLoad;
    const TkbzOpenSSLClient_Options* const ownedOpenSSL = &target.OpenSSL_Options;
    target.Assign(source);

    ExpectTLSBaseFilled(target);
    EXPECT_EQ(target.ALPNProtocols, (std::vector<std::string>{"h2", "http/1.1"}));
    EXPECT_EQ(target.IOHandler, TwsTLSIOHandler::iohSChannel);
    EXPECT_EQ(target.OpenSSL_Options.LibPathCustom, "/opt/ssl");
    EXPECT_EQ(target.OpenSSL_Options.UnixSymLinks, TwsOpenSSLSymLinks::oslsSymLinksLoad);
    EXPECT_EQ(target.SChannel_Options.CertHash, "FF00");
    EXPECT_EQ(&target.OpenSSL_Options, ownedOpenSSL);

    // Assigning a record to itself leaves it as it is.
    target.Assign(target);
    ExpectTLSBaseFilled(target);
    EXPECT_EQ(target.ALPNProtocols.size(), 2u);
}

TEST(kbzSocket_Options, TLSRecordsFromABaseRecordGetTheBaseCopyOnly)
{
    TkbzTCPTLS_Options_Base base;
    FillTLSBase(base);

    TkbzTCPTLS_Options client;
    client.ALPNProtocols = {"kept"};
    client.IOHandler = TwsTLSIOHandler::iohSChannel;
    client.Assign(base);
    ExpectTLSBaseFilled(client);
    EXPECT_EQ(client.ALPNProtocols, std::vector<std::string>{"kept"});
    EXPECT_EQ(client.IOHandler, TwsTLSIOHandler::iohSChannel);

    TkbzWSSSL_Options server;
    server.Port = 443;
    server.VerifyCertificate_Options.FailIfNoCertificate = true;
    server.Assign(client); // a client record is a TLS base record to the server
    ExpectTLSBaseFilled(server);
    EXPECT_EQ(server.Port, 443);
    EXPECT_TRUE(server.VerifyCertificate_Options.FailIfNoCertificate);
}

TEST(kbzSocket_Options, ServerTLSRecordCopiesPortOpenSSLAndClientCertificateDemands)
{
    TkbzWSSSL_Options source;
    FillTLSBase(source);
    source.Port = 8443;
    FillOpenSSL(source.OpenSSL_Options);
    source.OpenSSL_Options.ECDHE = true;
    source.OpenSSL_Options.CipherList = "HIGH";
    source.VerifyCertificate_Options.FailIfNoCertificate = true;
    source.VerifyCertificate_Options.VerifyClientOnce = true;

    TkbzWSSSL_Options target;
    target.Assign(source);
    ExpectTLSBaseFilled(target);
    EXPECT_EQ(target.Port, 8443);
    EXPECT_TRUE(target.OpenSSL_Options.ECDHE);
    EXPECT_EQ(target.OpenSSL_Options.CipherList, "HIGH");
    EXPECT_EQ(target.OpenSSL_Options.LibPathCustom, "/opt/ssl");
    EXPECT_TRUE(target.VerifyCertificate_Options.FailIfNoCertificate);
    EXPECT_TRUE(target.VerifyCertificate_Options.VerifyClientOnce);
}

TEST(kbzSocket_Options, AssignFromAnUnrelatedRecordRaises)
{
    struct Case
    {
        std::function<std::unique_ptr<TkbzPersistent>()> makeTarget;
        std::function<std::unique_ptr<TkbzPersistent>()> makeSource;
        const char* message;
    };
    const std::vector<Case> cases = {
        {[] { return std::make_unique<TkbzTCPKeepAlive>(); },
         [] { return std::make_unique<TkbzTCPProxy_Options>(); },
         "Cannot assign a TkbzTCPProxy_Options to a TkbzTCPKeepAlive"},
        // A base-level TLS record is not an OpenSSL record.
        {[] { return std::make_unique<TkbzOpenSSLServer_Options>(); },
         [] { return std::make_unique<TkbzTCPTLS_Options_Base>(); },
         "Cannot assign a TkbzTCPTLS_Options_Base to a TkbzOpenSSLServer_Options"},
        // Sub-records are not their parents.
        {[] { return std::make_unique<TkbzWSSSL_Options>(); },
         [] { return std::make_unique<TkbzSSL_Verify_Certificate_Options>(); },
         "Cannot assign a TkbzSSL_Verify_Certificate_Options to a TkbzWSSSL_Options"},
        {[] { return std::make_unique<TkbzSocketTLS_Options>(); },
         [] { return std::make_unique<TkbzSChannelClient_Options>(); },
         "Cannot assign a TkbzSChannelClient_Options to a TkbzSocketTLS_Options"},
        {[] { return std::make_unique<TkbzTCPLogFile>(); },
         [] { return std::make_unique<TkbzTCPThrottle>(); },
         "Cannot assign a TkbzTCPThrottle to a TkbzTCPLogFile"},
        {[] { return std::make_unique<TkbzTCPWatchDog_Options>(); },
         [] { return std::make_unique<TkbzPersistent>(); },
         "Cannot assign a TkbzPersistent to a TkbzTCPWatchDog_Options"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.message);
        const auto target = c.makeTarget();
        const auto source = c.makeSource();
        try
        {
            target->Assign(*source);
            ADD_FAILURE() << "no exception";
        }
        catch (const EConvertAssign& e)
        {
            EXPECT_EQ(e.Message(), c.message);
            EXPECT_EQ(e.ClassName(), "EConvertAssign");
        }
    }
}
