#include "transport/kbzSSL_OpenSSL.h"

#include "transport/kbzSSL_OpenSSL_Internal.h"
#include "transport/kbzSocket_Options.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kbz
{

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int kDefaultHandshakeTimeoutMs = 30000;
constexpr std::size_t kReadAheadSize = 16384;
// While a write waits for the peer's handshake data, it looks again this often,
// since the reading thread may take those bytes off the socket first.
constexpr int kWriteWantsReadSliceMs = 50;

// Every OpenSSL error queued on this thread (the queue is per thread, so each
// session reports its own), as "reason; reason", and the queue is emptied.
std::string DrainErrors()
{
    std::string text;
    while (const unsigned long e = ERR_get_error())
    {
        const char* reason = ERR_reason_error_string(e);
        std::string part;
        if (ERR_SYSTEM_ERROR(e))
        {
            part = std::strerror(ERR_GET_REASON(e));
        }
        else if (reason != nullptr)
        {
            part = reason;
        }
        else
        {
            char buf[256];
            ERR_error_string_n(e, buf, sizeof buf);
            part = buf;
        }
        if (text.find(part) == std::string::npos)
        {
            text += text.empty() ? "" : "; ";
            text += part;
        }
    }
    return text;
}

std::string WithReason(std::string what)
{
    const std::string reason = DrainErrors();
    if (!reason.empty())
    {
        what += ": " + reason;
    }
    return what;
}

[[noreturn]] void RaiseTLS(const std::string& what)
{
    throw EIdTLSError(WithReason(what));
}

bool EndsWithNoCase(const std::string& text, const std::string& suffix)
{
    if (text.size() < suffix.size())
    {
        return false;
    }
    return std::equal(suffix.rbegin(), suffix.rend(), text.rbegin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    });
}

std::string Hex(const unsigned char* data, std::size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i)
    {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

std::string NameText(const X509_NAME* name)
{
    if (name == nullptr)
    {
        return {};
    }
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr)
    {
        return {};
    }
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    std::string text(data, data + std::max(0L, len));
    BIO_free(bio);
    return text;
}

TkbzSSLCertificate DescribeCertificate(X509* cert)
{
    TkbzSSLCertificate info;
    if (cert == nullptr)
    {
        return info;
    }
    info.Subject = NameText(X509_get_subject_name(cert));
    info.Issuer = NameText(X509_get_issuer_name(cert));
    if (const ASN1_INTEGER* serial = X509_get0_serialNumber(cert))
    {
        info.SerialHex = Hex(serial->data, static_cast<std::size_t>(serial->length));
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    if (X509_digest(cert, EVP_sha256(), md, &mdLen) == 1)
    {
        info.SHA256Hex = Hex(md, mdLen);
    }
    return info;
}

int HandlerIndex()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

extern "C" int VerifyCallback(int preverifyOk, X509_STORE_CTX* storeCtx)
{
    auto* ssl = static_cast<SSL*>(
        X509_STORE_CTX_get_ex_data(storeCtx, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* handler =
        ssl == nullptr
            ? nullptr
            : static_cast<TkbzIdSSLIOHandlerSocketOpenSSL*>(SSL_get_ex_data(ssl, HandlerIndex()));
    return handler == nullptr ? preverifyOk : handler->DoVerify(preverifyOk, storeCtx);
}

extern "C" int PasswordCallback(char* buf, int size, int /*rwflag*/, void* userdata)
{
    const auto* password = static_cast<const std::string*>(userdata);
    if (password == nullptr || size <= 0)
    {
        return 0;
    }
    const int n =
        static_cast<int>(std::min<std::size_t>(password->size(), static_cast<std::size_t>(size)));
    std::memcpy(buf, password->data(), static_cast<std::size_t>(n));
    return n;
}

extern "C" int ALPNSelectCallback(SSL* /*ssl*/, const unsigned char** out, unsigned char* outlen,
                                  const unsigned char* in, unsigned int inlen, void* arg)
{
    const auto* context = static_cast<const TkbzSSLContext*>(arg);
    // The offer as names, each remembered with its place in the client's list.
    std::vector<std::string> offered;
    std::vector<unsigned int> at;
    for (unsigned int i = 0; i < inlen;)
    {
        const unsigned int n = in[i];
        if (n == 0 || i + 1 + n > inlen)
        {
            return SSL_TLSEXT_ERR_NOACK; // a malformed offer gets no protocol
        }
        offered.emplace_back(reinterpret_cast<const char*>(in + i + 1), n);
        at.push_back(i);
        i += 1 + n;
    }
    std::string chosen;
    try
    {
        chosen = context->SelectALPN(offered);
    }
    catch (...)
    {
        return SSL_TLSEXT_ERR_NOACK;
    }
    for (std::size_t k = 0; k < offered.size(); ++k)
    {
        if (!chosen.empty() && offered[k] == chosen)
        {
            // Points into the client's list, which outlives the handshake step.
            *out = in + at[k] + 1;
            *outlen = static_cast<unsigned char>(offered[k].size());
            return SSL_TLSEXT_ERR_OK;
        }
    }
    return SSL_TLSEXT_ERR_NOACK;
}

void ApplyVersion(SSL_CTX* ctx, TwsTLSVersions version)
{
    using enum TwsTLSVersions;
    int minVersion = TLS1_2_VERSION;
    int maxVersion = TLS1_3_VERSION;
    switch (version)
    {
    case tlsUndefined:
        break;
    case tls1_0:
        minVersion = maxVersion = TLS1_VERSION;
        break;
    case tls1_1:
        minVersion = maxVersion = TLS1_1_VERSION;
        break;
    case tls1_2:
        minVersion = maxVersion = TLS1_2_VERSION;
        break;
    case tls1_3:
        minVersion = maxVersion = TLS1_3_VERSION;
        break;
    }
    if (SSL_CTX_set_min_proto_version(ctx, minVersion) != 1 ||
        SSL_CTX_set_max_proto_version(ctx, maxVersion) != 1)
    {
        RaiseTLS("Cannot set the TLS version");
    }
}

// TLS 1.0 and 1.1 only work at security level 0 on OpenSSL 3.
std::string CipherListFor(TwsTLSVersions version, const std::string& cipherList)
{
    const bool legacy = version == TwsTLSVersions::tls1_0 || version == TwsTLSVersions::tls1_1;
    if (!legacy)
    {
        return cipherList;
    }
    return (cipherList.empty() ? std::string("DEFAULT") : cipherList) + ":@SECLEVEL=0";
}

struct BioCloser
{
    void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioCloser>;

void LoadPKCS12(SSL_CTX* ctx, const std::string& file, const std::string& password)
{
    BioPtr bio(BIO_new_file(file.c_str(), "rb"));
    if (!bio)
    {
        RaiseTLS("Cannot open PKCS#12 file '" + file + "'");
    }
    PKCS12* p12 = d2i_PKCS12_bio(bio.get(), nullptr);
    if (p12 == nullptr)
    {
        RaiseTLS("Cannot read PKCS#12 file '" + file + "'");
    }
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    STACK_OF(X509)* chain = nullptr;
    int ok = PKCS12_parse(p12, password.c_str(), &key, &cert, &chain);
    if (ok != 1 && password.empty())
    {
        // An empty password and no password are different things in PKCS#12.
        ERR_clear_error();
        ok = PKCS12_parse(p12, nullptr, &key, &cert, &chain);
    }
    PKCS12_free(p12);
    if (ok != 1 || cert == nullptr || key == nullptr)
    {
        EVP_PKEY_free(key);
        X509_free(cert);
        sk_X509_pop_free(chain, X509_free);
        RaiseTLS("Cannot import PKCS#12 file '" + file + "' (wrong password?)");
    }
    const bool used =
        SSL_CTX_use_certificate(ctx, cert) == 1 && SSL_CTX_use_PrivateKey(ctx, key) == 1;
    X509_free(cert);
    EVP_PKEY_free(key);
    bool chained = true;
    while (chain != nullptr && sk_X509_num(chain) > 0)
    {
        X509* extra = sk_X509_shift(chain);
        if (SSL_CTX_add0_chain_cert(ctx, extra) != 1)
        {
            X509_free(extra);
            chained = false;
        }
    }
    sk_X509_free(chain);
    if (!used || !chained)
    {
        RaiseTLS("Cannot use the certificate of PKCS#12 file '" + file + "'");
    }
}

void LoadCertificateAndKey(SSL_CTX* ctx, const std::string& certFile, const std::string& keyFile,
                           const std::string& password)
{
    if (certFile.empty())
    {
        if (!keyFile.empty())
        {
            throw EIdTLSError("A key file was given without a certificate file");
        }
        return;
    }
    if (EndsWithNoCase(certFile, ".p12") || EndsWithNoCase(certFile, ".pfx"))
    {
        LoadPKCS12(ctx, certFile, password);
    }
    else
    {
        if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1)
        {
            RaiseTLS("Cannot load certificate file '" + certFile + "'");
        }
        const std::string& keyPath = keyFile.empty() ? certFile : keyFile;
        BioPtr bio(BIO_new_file(keyPath.c_str(), "r"));
        if (!bio)
        {
            RaiseTLS("Cannot open key file '" + keyPath + "'");
        }
        std::string pass = password; // the callback reads it during the call only
        EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, PasswordCallback, &pass);
        if (key == nullptr)
        {
            RaiseTLS("Cannot load key file '" + keyPath + "'");
        }
        const int used = SSL_CTX_use_PrivateKey(ctx, key);
        EVP_PKEY_free(key);
        if (used != 1)
        {
            RaiseTLS("Cannot use key file '" + keyPath + "'");
        }
    }
    if (SSL_CTX_check_private_key(ctx) != 1)
    {
        RaiseTLS("The certificate in '" + certFile + "' does not match its private key");
    }
}

void LoadRoots(SSL_CTX* ctx, const std::string& rootFile, bool verify)
{
    if (!rootFile.empty())
    {
        if (SSL_CTX_load_verify_locations(ctx, rootFile.c_str(), nullptr) != 1)
        {
            RaiseTLS("Cannot load root certificate file '" + rootFile + "'");
        }
    }
    else if (verify && SSL_CTX_set_default_verify_paths(ctx) != 1)
    {
        RaiseTLS("Cannot load the system's root certificates");
    }
}

// No renegotiation: a write must never have to read handshake bytes that the
// reading thread is waiting for. A peer that ends the TCP connection without a
// close notification counts as a normal end: the protocols above carry their
// own close messages.
constexpr std::uint64_t kSessionOptions = SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF;

} // namespace

// ---- Configuration ----

TkbzTLSClientConfig TkbzTLSClientConfig::FromOptions(const TkbzSocketTLS_Options& options)
{
    TkbzTLSClientConfig cfg;
    cfg.Version = options.Version;
    cfg.CertFile = options.CertFile;
    cfg.KeyFile = options.KeyFile;
    cfg.Password = options.Password;
    cfg.RootCertFile = options.RootCertFile;
    cfg.VerifyCertificate = options.VerifyCertificate;
    cfg.VerifyDepth = options.VerifyDepth;
    cfg.ALPNProtocols = options.ALPNProtocols;
    return cfg;
}

TkbzTLSServerConfig TkbzTLSServerConfig::FromOptions(const TkbzWSSSL_Options& options)
{
    TkbzTLSServerConfig cfg;
    cfg.Version = options.Version;
    cfg.CertFile = options.CertFile;
    cfg.KeyFile = options.KeyFile;
    cfg.Password = options.Password;
    cfg.RootCertFile = options.RootCertFile;
    cfg.VerifyCertificate = options.VerifyCertificate;
    cfg.VerifyDepth = options.VerifyDepth;
    cfg.FailIfNoCertificate = options.VerifyCertificate_Options.FailIfNoCertificate;
    cfg.VerifyClientOnce = options.VerifyCertificate_Options.VerifyClientOnce;
    cfg.CipherList = options.OpenSSL_Options.CipherList;
    if (cfg.CipherList.empty() && options.OpenSSL_Options.ECDHE)
    {
        cfg.CipherList = kbzECDHECipherList;
    }
    return cfg;
}

// ---- Context ----

TkbzSSLContext::~TkbzSSLContext()
{
    SSL_CTX_free(FCtx);
}

std::shared_ptr<TkbzSSLContext> TkbzSSLContext::CreateClient(const TkbzTLSClientConfig& config)
{
    ERR_clear_error();
    std::shared_ptr<TkbzSSLContext> self(new TkbzSSLContext());
    self->FCtx = SSL_CTX_new(TLS_client_method());
    if (self->FCtx == nullptr)
    {
        RaiseTLS("Cannot create a TLS context");
    }
    SSL_CTX* ctx = self->FCtx;
    SSL_CTX_set_options(ctx, kSessionOptions);
    ApplyVersion(ctx, config.Version);
    const std::string ciphers = CipherListFor(config.Version, {});
    if (!ciphers.empty() && SSL_CTX_set_cipher_list(ctx, ciphers.c_str()) != 1)
    {
        RaiseTLS("Cannot set the cipher list '" + ciphers + "'");
    }
    LoadCertificateAndKey(ctx, config.CertFile, config.KeyFile, config.Password);
    LoadRoots(ctx, config.RootCertFile, config.VerifyCertificate);
    self->FVerify = config.VerifyCertificate;
    self->FOnVerify = config.OnSSLVerifyPeer;
    if (config.VerifyCertificate)
    {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, VerifyCallback);
        if (config.VerifyDepth > 0)
        {
            SSL_CTX_set_verify_depth(ctx, config.VerifyDepth);
        }
    }
    else
    {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    }
    if (!config.ALPNProtocols.empty())
    {
        const std::vector<std::uint8_t> wire = detail::EncodeALPN(config.ALPNProtocols);
        // Unlike most of OpenSSL, 0 means success here.
        if (SSL_CTX_set_alpn_protos(ctx, wire.data(), static_cast<unsigned int>(wire.size())) != 0)
        {
            RaiseTLS("Cannot set the ALPN protocols");
        }
    }
    return self;
}

std::shared_ptr<TkbzSSLContext> TkbzSSLContext::CreateServer(const TkbzTLSServerConfig& config)
{
    ERR_clear_error();
    if (config.CertFile.empty())
    {
        throw EIdTLSError("A TLS server needs a certificate file");
    }
    std::shared_ptr<TkbzSSLContext> self(new TkbzSSLContext());
    self->FServer = true;
    self->FCtx = SSL_CTX_new(TLS_server_method());
    if (self->FCtx == nullptr)
    {
        RaiseTLS("Cannot create a TLS context");
    }
    SSL_CTX* ctx = self->FCtx;
    SSL_CTX_set_options(ctx, kSessionOptions | SSL_OP_CIPHER_SERVER_PREFERENCE);
    ApplyVersion(ctx, config.Version);
    const std::string ciphers = CipherListFor(config.Version, config.CipherList);
    if (!ciphers.empty() && SSL_CTX_set_cipher_list(ctx, ciphers.c_str()) != 1)
    {
        RaiseTLS("Cannot set the cipher list '" + ciphers + "'");
    }
    LoadCertificateAndKey(ctx, config.CertFile, config.KeyFile, config.Password);
    LoadRoots(ctx, config.RootCertFile, config.VerifyCertificate);
    // Resumed sessions of verified clients need a context id.
    static const unsigned char sessionContext[] = "kbzWebSockets";
    SSL_CTX_set_session_id_context(ctx, sessionContext, sizeof sessionContext - 1);
    self->FVerify = config.VerifyCertificate;
    self->FOnVerify = config.OnSSLVerifyPeer;
    if (config.VerifyCertificate)
    {
        int mode = SSL_VERIFY_PEER;
        if (config.FailIfNoCertificate)
        {
            mode |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
        }
        if (config.VerifyClientOnce)
        {
            mode |= SSL_VERIFY_CLIENT_ONCE;
        }
        SSL_CTX_set_verify(ctx, mode, VerifyCallback);
        if (config.VerifyDepth > 0)
        {
            SSL_CTX_set_verify_depth(ctx, config.VerifyDepth);
        }
        if (!config.RootCertFile.empty())
        {
            // Tell clients which issuers we accept.
            if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(config.RootCertFile.c_str()))
            {
                SSL_CTX_set_client_CA_list(ctx, names);
            }
            ERR_clear_error();
        }
    }
    else
    {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    }
    if (!config.ALPNProtocols.empty() || config.OnALPNSelect)
    {
        self->FServerALPN = detail::EncodeALPN(config.ALPNProtocols);
        self->FServerALPNNames = config.ALPNProtocols;
        self->FOnALPNSelect = config.OnALPNSelect;
        SSL_CTX_set_alpn_select_cb(ctx, ALPNSelectCallback, self.get());
    }
    return self;
}

std::string TkbzSSLContext::SelectALPN(const std::vector<std::string>& offered) const
{
    if (FOnALPNSelect)
    {
        std::string chosen = FOnALPNSelect(offered);
        if (!chosen.empty() && std::find(offered.begin(), offered.end(), chosen) != offered.end())
        {
            return chosen;
        }
    }
    // Our own list comes first, so the choice follows this side's preference.
    for (const std::string& name : FServerALPNNames)
    {
        if (std::find(offered.begin(), offered.end(), name) != offered.end())
        {
            return name;
        }
    }
    return {};
}

// ---- Handler ----

TkbzIdSSLIOHandlerSocketOpenSSL::TkbzIdSSLIOHandlerSocketOpenSSL(
    std::unique_ptr<TkbzSocketIOHandler> plain, std::shared_ptr<TkbzSSLContext> context)
    : FPlain(std::move(plain)), FContext(std::move(context))
{
    if (!FPlain || !FContext)
    {
        throw EIdTLSError("A TLS handler needs a socket and a TLS context");
    }
    FFd = FPlain->Handle();
}

TkbzIdSSLIOHandlerSocketOpenSSL::TkbzIdSSLIOHandlerSocketOpenSSL(
    TkbzSocket socket, std::shared_ptr<TkbzSSLContext> context)
    : TkbzIdSSLIOHandlerSocketOpenSSL(std::make_unique<TkbzSocketIOHandler>(std::move(socket)),
                                      std::move(context))
{}

TkbzIdSSLIOHandlerSocketOpenSSL::~TkbzIdSSLIOHandlerSocketOpenSSL()
{
    if (FSSL != nullptr)
    {
        SSL_free(FSSL);
    }
}

void TkbzIdSSLIOHandlerSocketOpenSSL::CreateSession()
{
    if (FSSL != nullptr)
    {
        throw EIdTLSError("The TLS session was already started");
    }
    ERR_clear_error();
    FSSL = SSL_new(FContext->Handle());
    if (FSSL == nullptr)
    {
        RaiseTLS("Cannot create a TLS session");
    }
    SSL_set_ex_data(FSSL, HandlerIndex(), this);
    if (SSL_set_fd(FSSL, FFd) != 1)
    {
        RaiseTLS("Cannot attach the TLS session to the socket");
    }
    const int flags = ::fcntl(FFd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(FFd, F_SETFL, flags | O_NONBLOCK) < 0)
    {
        throw EIdSocketError(std::string("Cannot make the socket non-blocking: ") +
                             std::strerror(errno));
    }
}

void TkbzIdSSLIOHandlerSocketOpenSSL::StartTLS(const std::string& serverName, int timeoutMs)
{
    if (FContext->IsServer())
    {
        throw EIdTLSError("A server TLS context cannot start a client session");
    }
    Handshake(true, timeoutMs, serverName);
}

void TkbzIdSSLIOHandlerSocketOpenSSL::AcceptTLS(int timeoutMs)
{
    if (!FContext->IsServer())
    {
        throw EIdTLSError("A client TLS context cannot accept a session");
    }
    Handshake(false, timeoutMs, {});
}

bool TkbzIdSSLIOHandlerSocketOpenSSL::WaitSocket(TWait what, int ms, bool wakeable) const
{
    pollfd p[2] = {};
    p[0].fd = FFd;
    p[0].events = what == TWait::Read ? POLLIN : POLLOUT;
    p[1].fd = FPlain->WakeHandle();
    p[1].events = POLLIN;
    const nfds_t count = wakeable ? 2 : 1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
    while (!FShutdown.load())
    {
        int wait = -1;
        if (ms >= 0)
        {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = static_cast<int>(std::max<std::int64_t>(0, left.count()));
        }
        const int r = ::poll(p, count, wait);
        if (r > 0)
        {
            if (wakeable && p[1].revents != 0)
            {
                // The wake ends this wait even when bytes came with it: they may be a record
                // without data (a session ticket), after which the caller would wait again
                // with the wake already used up.
                FPlain->ClearWake();
                return false;
            }
            return true; // ready, or hung up / failed: the next OpenSSL call tells
        }
        if (r == 0)
        {
            return false;
        }
        if (errno != EINTR)
        {
            return true;
        }
    }
    return false;
}

std::string TkbzIdSSLIOHandlerSocketOpenSSL::TakeErrors(const char* what, int sslError) const
{
    std::string text = what;
    const std::string reasons = DrainErrors();
    if (!reasons.empty())
    {
        return text + ": " + reasons;
    }
    if (sslError == SSL_ERROR_SYSCALL && errno != 0)
    {
        return text + ": " + std::strerror(errno);
    }
    return text + ": the connection was closed by the peer";
}

void TkbzIdSSLIOHandlerSocketOpenSSL::Handshake(bool client, int timeoutMs,
                                                const std::string& peerName)
{
    CreateSession();
    if (client)
    {
        if (!peerName.empty() && !detail::IsIPLiteral(peerName))
        {
            // Server name indication carries host names only, never addresses.
            SSL_set_tlsext_host_name(FSSL, peerName.c_str());
        }
        if (FContext->VerifyCertificate() && !peerName.empty())
        {
            X509_VERIFY_PARAM* param = SSL_get0_param(FSSL);
            X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            const int set = detail::IsIPLiteral(peerName)
                                ? X509_VERIFY_PARAM_set1_ip_asc(param, peerName.c_str())
                                : X509_VERIFY_PARAM_set1_host(param, peerName.c_str(), 0);
            if (set != 1)
            {
                RaiseTLS("Cannot check the certificate for '" + peerName + "'");
            }
        }
        SSL_set_connect_state(FSSL);
    }
    else
    {
        SSL_set_accept_state(FSSL);
    }

    const std::string prefix =
        client ? "TLS handshake with " + peerName + " failed" : std::string("TLS handshake failed");
    const int limit = timeoutMs > 0 ? timeoutMs : kDefaultHandshakeTimeoutMs;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limit);
    while (true)
    {
        int r = 0;
        int err = SSL_ERROR_NONE;
        std::string failure;
        {
            std::lock_guard lock(FCS);
            ERR_clear_error();
            errno = 0;
            r = SSL_do_handshake(FSSL);
            if (r != 1)
            {
                err = SSL_get_error(FSSL, r);
                if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
                {
                    failure = HandshakeFailure(prefix, err);
                }
            }
        }
        if (r == 1)
        {
            break;
        }
        if (FShutdown.load())
        {
            throw EIdClosedSocket(prefix + ": the connection was shut down");
        }
        if (!failure.empty())
        {
            throw EIdTLSError(failure);
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 ||
            !WaitSocket(err == SSL_ERROR_WANT_READ ? TWait::Read : TWait::Write,
                        static_cast<int>(left.count())))
        {
            if (FShutdown.load())
            {
                throw EIdClosedSocket(prefix + ": the connection was shut down");
            }
            throw EIdTLSError(prefix + ": no answer within " + std::to_string(limit) + " ms");
        }
    }
    FSessionUp = true;
}

std::string TkbzIdSSLIOHandlerSocketOpenSSL::HandshakeFailure(const std::string& prefix, int err)
{
    std::string failure;
    if (FRejectedByHandler)
    {
        failure = prefix + ": certificate rejected by OnSSLVerifyPeer (depth " +
                  std::to_string(FVerifyDepth) + ", " + FVerifySubject + ")";
        DrainErrors();
    }
    else if (FVerifyDepth >= 0)
    {
        failure = prefix +
                  ": certificate verify failed: " + X509_verify_cert_error_string(FVerifyError) +
                  " (depth " + std::to_string(FVerifyDepth) + ", " + FVerifySubject + ")";
        DrainErrors();
    }
    else
    {
        failure = TakeErrors(prefix.c_str(), err);
    }
    return failure;
}

void TkbzIdSSLIOHandlerSocketOpenSSL::BeginAcceptTLS()
{
    if (!FContext->IsServer())
    {
        throw EIdTLSError("A client TLS context cannot accept a session");
    }
    CreateSession();
    SSL_set_accept_state(FSSL);
    // Writes leave as the socket takes them (TrySend), never waiting for all of them.
    SSL_set_mode(FSSL, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    FHandshakePending = true;
}

TkbzHandshakeStep TkbzIdSSLIOHandlerSocketOpenSSL::ContinueHandshake()
{
    if (!FHandshakePending)
    {
        return TkbzHandshakeStep::hsDone;
    }
    const std::string prefix = "TLS handshake failed";
    if (FShutdown.load())
    {
        throw EIdClosedSocket(prefix + ": the connection was shut down");
    }
    std::string failure;
    {
        std::lock_guard lock(FCS);
        ERR_clear_error();
        errno = 0;
        const int r = SSL_do_handshake(FSSL);
        if (r == 1)
        {
            FHandshakePending = false;
            FSessionUp = true;
            return TkbzHandshakeStep::hsDone;
        }
        const int err = SSL_get_error(FSSL, r);
        if (err == SSL_ERROR_WANT_READ)
        {
            return TkbzHandshakeStep::hsWantRead;
        }
        if (err == SSL_ERROR_WANT_WRITE)
        {
            return TkbzHandshakeStep::hsWantWrite;
        }
        failure = HandshakeFailure(prefix, err);
    }
    throw EIdTLSError(failure);
}

std::size_t TkbzIdSSLIOHandlerSocketOpenSSL::TrySend(const std::uint8_t* data, std::size_t n)
{
    if (!FSessionUp)
    {
        if (FSSL != nullptr)
        {
            throw EIdNotConnected("The TLS session is not open");
        }
        return FPlain->TrySend(data, n);
    }
    std::lock_guard writeLock(FWriteLock);
    std::size_t sent = 0;
    while (sent < n)
    {
        if (FShutdown.load())
        {
            throw EIdClosedSocket("Disconnected.");
        }
        int err = SSL_ERROR_NONE;
        std::string failure;
        {
            std::lock_guard lock(FCS);
            SSL_set_mode(FSSL, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
            ERR_clear_error();
            errno = 0;
            std::size_t written = 0;
            const int r = SSL_write_ex(FSSL, data + sent, n - sent, &written);
            if (r == 1)
            {
                sent += written;
                continue;
            }
            err = SSL_get_error(FSSL, r);
            if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE)
            {
                break;
            }
            failure = TakeErrors("TLS write failed", err);
        }
        if (FShutdown.load())
        {
            throw EIdClosedSocket("Disconnected.");
        }
        if (err == SSL_ERROR_SYSCALL)
        {
            throw EIdSocketError(failure);
        }
        throw EIdTLSError(failure);
    }
    return sent;
}

int TkbzIdSSLIOHandlerSocketOpenSSL::DoVerify(int preverifyOk, void* storeCtx) noexcept
{
    auto* ctx = static_cast<X509_STORE_CTX*>(storeCtx);
    const int depth = X509_STORE_CTX_get_error_depth(ctx);
    const int error = X509_STORE_CTX_get_error(ctx);
    X509* cert = X509_STORE_CTX_get_current_cert(ctx);
    bool accept = preverifyOk != 0;
    const TkbzSSLVerifyPeerEvent& handler = FContext->OnSSLVerifyPeer();
    if (handler)
    {
        try
        {
            handler(DescribeCertificate(cert), preverifyOk != 0, depth, error, accept);
        }
        catch (...)
        {
            // A failing check refuses the certificate rather than passing it.
            accept = false;
        }
    }
    if (!accept && FVerifyDepth < 0)
    {
        FVerifyDepth = depth;
        FVerifySubject = NameText(cert == nullptr ? nullptr : X509_get_subject_name(cert));
        FVerifyError = error;
        if (error == X509_V_OK)
        {
            FRejectedByHandler = true;
            X509_STORE_CTX_set_error(ctx, X509_V_ERR_APPLICATION_VERIFICATION);
        }
    }
    return accept ? 1 : 0;
}

std::size_t TkbzIdSSLIOHandlerSocketOpenSSL::ReadOnce(std::uint8_t* buffer, std::size_t n,
                                                      TWait& want)
{
    std::lock_guard lock(FCS);
    ERR_clear_error();
    errno = 0;
    std::size_t got = 0;
    const int r = SSL_read_ex(FSSL, buffer, n, &got);
    if (r == 1)
    {
        return got;
    }
    const int err = SSL_get_error(FSSL, r);
    switch (err)
    {
    case SSL_ERROR_WANT_READ:
        want = TWait::Read;
        break;
    case SSL_ERROR_WANT_WRITE:
        want = TWait::Write;
        break;
    case SSL_ERROR_ZERO_RETURN:
        FEof = true;
        break;
    default:
        if (FShutdown.load())
        {
            FEof = true;
        }
        else
        {
            FReadError = TakeErrors("TLS read failed", err);
        }
        break;
    }
    return 0;
}

void TkbzIdSSLIOHandlerSocketOpenSSL::RaiseReadState()
{
    if (FShutdown.load())
    {
        throw EIdClosedSocket("Disconnected.");
    }
    throw EIdTLSError(FReadError);
}

bool TkbzIdSSLIOHandlerSocketOpenSSL::Readable(int ms)
{
    if (!FSessionUp)
    {
        return FSSL == nullptr && FPlain->Readable(ms);
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
    while (true)
    {
        if (FAheadPos < FAhead.size() || FEof.load() || !FReadError.empty() || FShutdown.load())
        {
            return true;
        }
        // Decrypt what has arrived: raw bytes alone may be half a record, and a
        // record may hold no application data at all.
        FAhead.resize(kReadAheadSize);
        FAheadPos = 0;
        TWait want = TWait::Read;
        FAhead.resize(ReadOnce(FAhead.data(), FAhead.size(), want));
        if (!FAhead.empty() || FEof.load() || !FReadError.empty())
        {
            return true;
        }
        int wait = -1;
        if (ms >= 0)
        {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = static_cast<int>(std::max<std::int64_t>(0, left.count()));
        }
        if (!WaitSocket(want, wait, true))
        {
            return FShutdown.load();
        }
    }
}

std::size_t TkbzIdSSLIOHandlerSocketOpenSSL::Recv(std::uint8_t* buffer, std::size_t n)
{
    if (!FSessionUp)
    {
        if (FSSL != nullptr)
        {
            throw EIdNotConnected("The TLS session is not open");
        }
        return FPlain->Recv(buffer, n);
    }
    if (FShutdown.load())
    {
        throw EIdClosedSocket("Disconnected.");
    }
    if (n == 0)
    {
        return 0;
    }
    if (FAheadPos < FAhead.size())
    {
        const std::size_t take = std::min(n, FAhead.size() - FAheadPos);
        std::memcpy(buffer, FAhead.data() + FAheadPos, take);
        FAheadPos += take;
        return take;
    }
    while (true)
    {
        if (!FReadError.empty())
        {
            RaiseReadState();
        }
        if (FEof.load())
        {
            if (FShutdown.load())
            {
                throw EIdClosedSocket("Disconnected.");
            }
            return 0;
        }
        TWait want = TWait::Read;
        const std::size_t got = ReadOnce(buffer, n, want);
        if (got > 0)
        {
            return got;
        }
        if (FShutdown.load())
        {
            throw EIdClosedSocket("Disconnected.");
        }
        if (FEof.load() || !FReadError.empty())
        {
            continue;
        }
        WaitSocket(want, -1);
    }
}

void TkbzIdSSLIOHandlerSocketOpenSSL::Send(const std::uint8_t* data, std::size_t n)
{
    if (!FSessionUp)
    {
        if (FSSL != nullptr)
        {
            throw EIdNotConnected("The TLS session is not open");
        }
        FPlain->Send(data, n);
        return;
    }
    std::lock_guard writeLock(FWriteLock);
    const int timeout = FSendTimeout.load();
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout, 0));
    while (true)
    {
        if (FShutdown.load())
        {
            throw EIdClosedSocket("Disconnected.");
        }
        if (n == 0)
        {
            return;
        }
        int err = SSL_ERROR_NONE;
        std::string failure;
        {
            std::lock_guard lock(FCS);
            ERR_clear_error();
            errno = 0;
            std::size_t written = 0;
            // Without partial writes this returns only once all n bytes are
            // taken; a retry after WANT_* must repeat the same arguments. A
            // session that writes partially (see BeginAcceptTLS) goes on with the rest.
            const int r = SSL_write_ex(FSSL, data, n, &written);
            if (r == 1)
            {
                data += written;
                n -= written;
                continue;
            }
            err = SSL_get_error(FSSL, r);
            if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
            {
                failure = TakeErrors("TLS write failed", err);
            }
        }
        if (FShutdown.load())
        {
            throw EIdClosedSocket("Disconnected.");
        }
        if (!failure.empty())
        {
            if (err == SSL_ERROR_SYSCALL)
            {
                throw EIdSocketError(failure);
            }
            throw EIdTLSError(failure);
        }
        int wait = -1;
        if (timeout > 0)
        {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
            {
                throw EIdSocketError("TLS write failed: send time-out of " +
                                     std::to_string(timeout) + " ms passed");
            }
            wait = static_cast<int>(left.count());
        }
        if (err == SSL_ERROR_WANT_READ)
        {
            WaitSocket(TWait::Read,
                       wait < 0 ? kWriteWantsReadSliceMs : std::min(wait, kWriteWantsReadSliceMs));
        }
        else if (!WaitSocket(TWait::Write, wait) && !FShutdown.load())
        {
            throw EIdSocketError("TLS write failed: send time-out of " + std::to_string(timeout) +
                                 " ms passed");
        }
    }
}

void TkbzIdSSLIOHandlerSocketOpenSSL::Wake() noexcept
{
    FPlain->Wake();
}

void TkbzIdSSLIOHandlerSocketOpenSSL::Shutdown() noexcept
{
    // The plain channel shuts the socket down, which wakes our own polls too.
    FShutdown = true;
    FPlain->Shutdown();
}

void TkbzIdSSLIOHandlerSocketOpenSSL::Close() noexcept
{
    if (FSessionUp && !FShutdown.load())
    {
        // A close notification in the middle of another thread's record would
        // corrupt the stream; skip it then, the peer still sees the end.
        std::unique_lock writeLock(FWriteLock, std::try_to_lock);
        if (writeLock.owns_lock())
        {
            std::lock_guard lock(FCS);
            SSL_shutdown(FSSL);
            ERR_clear_error();
        }
    }
    Shutdown();
}

void TkbzIdSSLIOHandlerSocketOpenSSL::ShutdownWrite() noexcept
{
    if (FSessionUp && !FShutdown.load())
    {
        std::unique_lock writeLock(FWriteLock, std::try_to_lock);
        if (writeLock.owns_lock())
        {
            std::lock_guard lock(FCS);
            SSL_shutdown(FSSL);
            ERR_clear_error();
        }
    }
    FPlain->ShutdownWrite();
}

bool TkbzIdSSLIOHandlerSocketOpenSSL::Connected() const noexcept
{
    if (FShutdown.load() || FEof.load())
    {
        return false;
    }
    return FPlain->Connected();
}

TkbzSocketBinding TkbzIdSSLIOHandlerSocketOpenSSL::Binding() const
{
    return FPlain->Binding();
}

std::string TkbzIdSSLIOHandlerSocketOpenSSL::NegotiatedALPN() const
{
    std::lock_guard lock(FCS);
    if (!FSessionUp)
    {
        return {};
    }
    const unsigned char* data = nullptr;
    unsigned int len = 0;
    SSL_get0_alpn_selected(FSSL, &data, &len);
    return data == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(data), len);
}

void TkbzIdSSLIOHandlerSocketOpenSSL::SetSendTimeout(int ms)
{
    FSendTimeout = ms;
    FPlain->SetSendTimeout(ms);
}

void TkbzIdSSLIOHandlerSocketOpenSSL::SetKeepAlive(bool enabled, int timeMs, int intervalMs)
{
    FPlain->SetKeepAlive(enabled, timeMs, intervalMs);
}

void TkbzIdSSLIOHandlerSocketOpenSSL::SetNoDelay(bool noDelay)
{
    FPlain->SetNoDelay(noDelay);
}

TwsTLSVersions TkbzIdSSLIOHandlerSocketOpenSSL::NegotiatedVersion() const
{
    using enum TwsTLSVersions;
    std::lock_guard lock(FCS);
    if (!FSessionUp)
    {
        return tlsUndefined;
    }
    switch (SSL_version(FSSL))
    {
    case TLS1_VERSION:
        return tls1_0;
    case TLS1_1_VERSION:
        return tls1_1;
    case TLS1_2_VERSION:
        return tls1_2;
    case TLS1_3_VERSION:
        return tls1_3;
    default:
        return tlsUndefined;
    }
}

std::string TkbzIdSSLIOHandlerSocketOpenSSL::ProtocolName() const
{
    std::lock_guard lock(FCS);
    return FSessionUp ? std::string(SSL_get_version(FSSL)) : std::string();
}

std::string TkbzIdSSLIOHandlerSocketOpenSSL::CipherName() const
{
    std::lock_guard lock(FCS);
    if (!FSessionUp)
    {
        return {};
    }
    const char* name = SSL_get_cipher_name(FSSL);
    return name == nullptr ? std::string() : std::string(name);
}

std::string TkbzIdSSLIOHandlerSocketOpenSSL::RequestedServerName() const
{
    std::lock_guard lock(FCS);
    if (FSSL == nullptr)
    {
        return {};
    }
    const char* name = SSL_get_servername(FSSL, TLSEXT_NAMETYPE_host_name);
    return name == nullptr ? std::string() : std::string(name);
}

std::optional<TkbzSSLCertificate> TkbzIdSSLIOHandlerSocketOpenSSL::PeerCertificate() const
{
    std::lock_guard lock(FCS);
    if (FSSL == nullptr)
    {
        return std::nullopt;
    }
    X509* cert = SSL_get1_peer_certificate(FSSL);
    if (cert == nullptr)
    {
        return std::nullopt;
    }
    TkbzSSLCertificate info = DescribeCertificate(cert);
    X509_free(cert);
    return info;
}

// ---- Entry points ----

std::unique_ptr<TkbzIOHandler> kbzStartTLSClient(std::unique_ptr<TkbzSocketIOHandler> plain,
                                                 const TkbzTLSClientConfig& config,
                                                 const std::string& host, int timeoutMs)
{
    auto handler = std::make_unique<TkbzIdSSLIOHandlerSocketOpenSSL>(
        std::move(plain), TkbzSSLContext::CreateClient(config));
    const std::string checked = detail::TLSHostOf(config.HostToCheck);
    handler->StartTLS(checked.empty() ? detail::TLSHostOf(host) : checked, timeoutMs);
    return handler;
}

std::unique_ptr<TkbzIdSSLIOHandlerSocketOpenSSL>
kbzBeginTLSServer(std::unique_ptr<TkbzSocketIOHandler> plain,
                  std::shared_ptr<TkbzSSLContext> context)
{
    auto handler =
        std::make_unique<TkbzIdSSLIOHandlerSocketOpenSSL>(std::move(plain), std::move(context));
    handler->BeginAcceptTLS();
    return handler;
}

std::unique_ptr<TkbzIdSSLIOHandlerSocketOpenSSL>
kbzStartTLSServer(std::unique_ptr<TkbzSocketIOHandler> plain,
                  std::shared_ptr<TkbzSSLContext> context, int timeoutMs)
{
    auto handler =
        std::make_unique<TkbzIdSSLIOHandlerSocketOpenSSL>(std::move(plain), std::move(context));
    handler->AcceptTLS(timeoutMs);
    return handler;
}

namespace detail
{

std::string TLSHostOf(const std::string& hostOrUrl)
{
    std::string rest = hostOrUrl;
    const std::size_t scheme = rest.find("://");
    const bool isUrl = scheme != std::string::npos;
    if (isUrl)
    {
        rest = rest.substr(scheme + 3);
        rest = rest.substr(0, rest.find_first_of("/?#"));
        const std::size_t at = rest.rfind('@');
        if (at != std::string::npos)
        {
            rest = rest.substr(at + 1);
        }
    }
    if (!rest.empty() && rest.front() == '[')
    {
        const std::size_t close = rest.find(']');
        return close == std::string::npos ? rest.substr(1) : rest.substr(1, close - 1);
    }
    if (isUrl)
    {
        // host:port; a bare IPv6 literal without brackets keeps its colons.
        const std::size_t colon = rest.find(':');
        if (colon != std::string::npos && rest.find(':', colon + 1) == std::string::npos)
        {
            rest.resize(colon);
        }
    }
    return rest;
}

bool IsIPLiteral(const std::string& host)
{
    unsigned char addr[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), addr) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), addr) == 1;
}

std::vector<std::uint8_t> EncodeALPN(const std::vector<std::string>& protocols)
{
    std::vector<std::uint8_t> wire;
    for (const std::string& p : protocols)
    {
        if (p.empty() || p.size() > 255)
        {
            throw EIdTLSError("Invalid ALPN protocol name '" + p +
                              "' (1 to 255 bytes are allowed)");
        }
        wire.push_back(static_cast<std::uint8_t>(p.size()));
        wire.insert(wire.end(), p.begin(), p.end());
    }
    return wire;
}

} // namespace detail

} // namespace kbz
