// TLS sessions over OpenSSL 3: the client side that wss:// and tcps:// use and
// the accepting side of the server, both as byte channels (TkbzIOHandler) that
// run over a connected plain socket channel.
#pragma once

#include "base/kbzWebSocket_Types.h"
#include "transport/kbzSocket_Classes.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;

namespace kbz
{

class TkbzSocketTLS_Options;
class TkbzWSSSL_Options;

// What the verification callback and the accepting side learn about a certificate.
struct TkbzSSLCertificate
{
    std::string Subject;   // one-line distinguished name, e.g. "CN = localhost"
    std::string Issuer;    // one-line distinguished name of the issuer
    std::string SerialHex; // serial number in upper-case hexadecimal
    std::string SHA256Hex; // fingerprint of the DER form, upper-case hexadecimal
};

// Called for every certificate of the peer's chain while it is verified.
// preverifyOk is OpenSSL's verdict, error its X509_V_ERR_* code (0 when
// none); accept starts as preverifyOk and decides.
using TkbzSSLVerifyPeerEvent = std::function<void(
    const TkbzSSLCertificate& certificate, bool preverifyOk, int depth, int error, bool& accept)>;

// Settings of the connecting side.
struct TkbzTLSClientConfig
{
    TwsTLSVersions Version = TwsTLSVersions::tlsUndefined;
    std::string CertFile;     // PEM chain, or a PKCS#12 bundle when it ends in .p12 or .pfx
    std::string KeyFile;      // PEM key; empty: the key is in CertFile
    std::string Password;     // of the key or the PKCS#12 bundle
    std::string RootCertFile; // PEM roots; empty: the system's store
    bool VerifyCertificate = false;
    int VerifyDepth = 0; // chain depth limit, applied when above 0
    std::vector<std::string> ALPNProtocols;
    // Name sent as server name indication and checked against the certificate;
    // a bare host or a URL (its host part is used). Empty: the connection host.
    std::string HostToCheck;
    TkbzSSLVerifyPeerEvent OnSSLVerifyPeer;

    static TkbzTLSClientConfig FromOptions(const TkbzSocketTLS_Options& options);
};

// The cipher list of a server whose OpenSSL options ask for ECDHE and name no
// list: ephemeral key exchanges only (elliptic curves first), AES-GCM preferred.
inline constexpr const char* kbzECDHECipherList = "EECDH+AESGCM:EDH+AESGCM:AES256+EECDH:AES256+EDH";

// Settings of the accepting side.
struct TkbzTLSServerConfig
{
    TwsTLSVersions Version = TwsTLSVersions::tlsUndefined;
    std::string CertFile; // PEM chain, or a PKCS#12 bundle when it ends in .p12 or .pfx
    std::string KeyFile;  // PEM key; empty: the key is in CertFile
    std::string Password;
    std::string RootCertFile;       // PEM roots that client certificates must lead to
    bool VerifyCertificate = false; // ask the client for a certificate and verify it
    bool FailIfNoCertificate = false;
    bool VerifyClientOnce = false;
    int VerifyDepth = 0;
    std::string CipherList; // TLS 1.2 and below; empty: OpenSSL's default
    // Protocols this side accepts, by preference; the first one the client also
    // offers is chosen, none when there is no overlap.
    std::vector<std::string> ALPNProtocols;
    // When set, decides the protocol from the client's offer (in its order); an
    // empty answer, or a name the client did not offer, leaves the choice to
    // ALPNProtocols. Called on a connection's thread during its handshake.
    std::function<std::string(const std::vector<std::string>& offered)> OnALPNSelect;
    TkbzSSLVerifyPeerEvent OnSSLVerifyPeer;

    // From the server's record. With OpenSSL_Options.ECDHE and no cipher list of
    // its own, the list is kbzECDHECipherList (forward secrecy only).
    static TkbzTLSServerConfig FromOptions(const TkbzWSSSL_Options& options);
};

// One OpenSSL context (certificates, roots, versions, verification mode) that
// sessions are created from. A server keeps one for all its connections; a
// client makes one per connection. Thread-safe once built.
class TkbzSSLContext
{
public:
    // Raise EIdTLSError when a file cannot be loaded or a setting is refused.
    static std::shared_ptr<TkbzSSLContext> CreateClient(const TkbzTLSClientConfig& config);
    static std::shared_ptr<TkbzSSLContext> CreateServer(const TkbzTLSServerConfig& config);

    TkbzSSLContext(const TkbzSSLContext&) = delete;
    TkbzSSLContext& operator=(const TkbzSSLContext&) = delete;
    ~TkbzSSLContext();

    bool IsServer() const noexcept { return FServer; }
    ssl_ctx_st* Handle() const noexcept { return FCtx; }
    const TkbzSSLVerifyPeerEvent& OnSSLVerifyPeer() const noexcept { return FOnVerify; }
    bool VerifyCertificate() const noexcept { return FVerify; }
    const std::vector<std::uint8_t>& ServerALPN() const noexcept { return FServerALPN; }
    // The accepting side's choice among the offered protocols (wire form):
    // OnALPNSelect first, then ALPNProtocols; empty for none.
    std::string SelectALPN(const std::vector<std::string>& offered) const;

private:
    TkbzSSLContext() = default;

    ssl_ctx_st* FCtx = nullptr;
    bool FServer = false;
    bool FVerify = false;
    TkbzSSLVerifyPeerEvent FOnVerify;
    std::vector<std::uint8_t> FServerALPN; // wire form of the accepted protocols
    std::vector<std::string> FServerALPNNames;
    std::function<std::string(const std::vector<std::string>&)> FOnALPNSelect;
};

// A TLS session over a connected plain socket channel. Until StartTLS/AcceptTLS
// the channel passes bytes through unencrypted (a proxy tunnel is opened that
// way first). The socket is switched to non-blocking mode for the session: the
// reading thread waits for the socket without any lock and only the short
// OpenSSL calls run under FCS, so writers are never held up by an idle reader.
class TkbzIdSSLIOHandlerSocketOpenSSL : public TkbzIOHandler
{
public:
    TkbzIdSSLIOHandlerSocketOpenSSL(std::unique_ptr<TkbzSocketIOHandler> plain,
                                    std::shared_ptr<TkbzSSLContext> context);
    TkbzIdSSLIOHandlerSocketOpenSSL(TkbzSocket socket, std::shared_ptr<TkbzSSLContext> context);
    ~TkbzIdSSLIOHandlerSocketOpenSSL() override;

    // Client handshake. serverName is sent as server name indication (unless it
    // is an IP literal) and, with verification, checked against the certificate.
    // Raises EIdTLSError (with OpenSSL's reason and, for a refused certificate,
    // the verification error); EIdClosedSocket when shut down meanwhile.
    void StartTLS(const std::string& serverName, int timeoutMs);
    // Server handshake on an accepted socket; raises EIdTLSError.
    void AcceptTLS(int timeoutMs);
    // Server session whose handshake the caller drives without waiting
    // (ContinueHandshake), for an engine that owns the non-blocking socket.
    void BeginAcceptTLS();
    TkbzHandshakeStep ContinueHandshake() override;
    std::size_t TrySend(const std::uint8_t* data, std::size_t n) override;
    bool PassThrough() const noexcept { return !FSessionUp; }

    bool Readable(int ms) override;
    std::size_t Recv(std::uint8_t* buffer, std::size_t n) override;
    void Send(const std::uint8_t* data, std::size_t n) override;
    void Shutdown() noexcept override;
    void Wake() noexcept override;
    // Sends the TLS close notification (when no write is in progress), then Shutdown.
    void Close() noexcept override;
    void ShutdownWrite() noexcept override;
    bool Connected() const noexcept override;
    TkbzSocketBinding Binding() const override;
    bool IsTLS() const noexcept override { return FSessionUp; }
    std::string NegotiatedALPN() const override;
    void SetSendTimeout(int ms) override;
    void SetKeepAlive(bool enabled, int timeMs, int intervalMs) override;
    void SetNoDelay(bool noDelay) override;

    // Negotiated protocol version (tlsUndefined before the handshake).
    TwsTLSVersions NegotiatedVersion() const;
    // OpenSSL's names of the protocol and cipher, e.g. "TLSv1.3", "TLS_AES_256_GCM_SHA384".
    std::string ProtocolName() const;
    std::string CipherName() const;
    // Accepting side: the server name the client asked for (empty without one).
    std::string RequestedServerName() const;
    // The certificate the peer presented, if any.
    std::optional<TkbzSSLCertificate> PeerCertificate() const;

    // Called by the verification callback of OpenSSL (public for that only).
    int DoVerify(int preverifyOk, void* storeCtx) noexcept;

private:
    enum class TWait
    {
        Read,
        Write
    };
    void CreateSession();
    void Handshake(bool client, int timeoutMs, const std::string& peerName);
    // The text of a failed handshake step (under FCS).
    std::string HandshakeFailure(const std::string& prefix, int err);
    // Waits for the socket without any lock; false on time-out or shutdown,
    // and on a Wake when wakeable.
    bool WaitSocket(TWait what, int ms, bool wakeable = false) const;
    // One SSL_read under FCS into the caller's buffer. Returns the count, 0
    // when nothing is there yet (want says what to wait for), and records a
    // peer close or failure in FEof / FReadError.
    std::size_t ReadOnce(std::uint8_t* buffer, std::size_t n, TWait& want);
    [[noreturn]] void RaiseReadState();
    std::string TakeErrors(const char* what, int sslError) const;

    std::unique_ptr<TkbzSocketIOHandler> FPlain;
    std::shared_ptr<TkbzSSLContext> FContext;
    int FFd = -1;
    ssl_st* FSSL = nullptr;
    bool FSessionUp = false;
    bool FHandshakePending = false; // BeginAcceptTLS until ContinueHandshake is done
    // Serialises every OpenSSL call on the session; held only for the call.
    mutable std::mutex FCS;
    // Keeps each Send whole: held for a whole Send, waits included.
    std::mutex FWriteLock;
    std::atomic<bool> FShutdown{false};
    std::atomic<bool> FEof{false};
    std::string FReadError; // a failure met while testing readability, raised by the next Recv
    // Plaintext read ahead by Readable, handed out by Recv (reading thread only).
    std::vector<std::uint8_t> FAhead;
    std::size_t FAheadPos = 0;
    std::atomic<int> FSendTimeout{0};
    // Verification trace of this session, for the error text.
    int FVerifyError = 0;
    int FVerifyDepth = -1;
    std::string FVerifySubject;
    bool FRejectedByHandler = false;
};

// Connects TLS over plain: builds a client context from config and runs the
// handshake within timeoutMs (0 or less: 30 seconds). Raises EIdTLSError.
std::unique_ptr<TkbzIOHandler> kbzStartTLSClient(std::unique_ptr<TkbzSocketIOHandler> plain,
                                                 const TkbzTLSClientConfig& config,
                                                 const std::string& host, int timeoutMs);

// A server session on an accepted socket whose handshake is left to
// ContinueHandshake (non-blocking engines).
std::unique_ptr<TkbzIdSSLIOHandlerSocketOpenSSL>
kbzBeginTLSServer(std::unique_ptr<TkbzSocketIOHandler> plain,
                  std::shared_ptr<TkbzSSLContext> context);

// Accepts TLS on an accepted socket with a shared server context. Raises EIdTLSError.
std::unique_ptr<TkbzIdSSLIOHandlerSocketOpenSSL>
kbzStartTLSServer(std::unique_ptr<TkbzSocketIOHandler> plain,
                  std::shared_ptr<TkbzSSLContext> context, int timeoutMs);

} // namespace kbz
