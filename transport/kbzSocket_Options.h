// Configuration records of the transport: keep-alive, traffic log file,
// bandwidth throttle, OpenSSL and SChannel settings, TLS (client and server),
// proxy and watchdog. They carry no behaviour; the code that opens and runs
// connections reads them. Each comes in a socket-level class, a TCP-level
// subclass and (in websocket/kbzWebSocket_Options.h) the WebSocket-level
// subclass that the components instantiate.
#pragma once

#include "base/kbzBase_Classes.h"
#include "base/kbzWebSocket_Types.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace kbz
{

// Base of every option record. Records are values: '=' copies a record whole
// (the base's own copy is protected, so no record is sliced through a base
// reference). Assign is the copy between records of one family, a TCP-level
// record from a socket-level one for instance: from a record of its own kind
// (or one derived from it) it copies what the record lists. For most records
// that is every field, and Assign is the copy assignment
// (KBZ_PERSISTENT_ASSIGN); the few that leave fields out spell it out.
class TkbzPersistent
{
public:
    TkbzPersistent() = default;
    virtual ~TkbzPersistent() = default;

    virtual std::string ClassName() const { return "TkbzPersistent"; }
    // Copies from src; raises EConvertAssign when src is of no kind this record knows.
    virtual void Assign(const TkbzPersistent& src);

protected:
    TkbzPersistent(const TkbzPersistent&) = default;
    TkbzPersistent& operator=(const TkbzPersistent&) = default;

    [[noreturn]] void AssignError(const TkbzPersistent& src) const;
};

// Declares the ClassName override of an option record.
#define KBZ_PERSISTENT_CLASS(Name)                                                                 \
    std::string ClassName() const override                                                         \
    {                                                                                              \
        return #Name;                                                                              \
    }

// Declares Assign as the copy assignment of record Name: from a Name (or a
// record derived from it) every field of Name is copied; any other source goes
// to Base's Assign (which copies the fields the two share, or raises).
#define KBZ_PERSISTENT_ASSIGN(Name, Base)                                                          \
    void Assign(const TkbzPersistent& src) override                                                \
    {                                                                                              \
        if (const auto* s = dynamic_cast<const Name*>(&src))                                       \
        {                                                                                          \
            *this = *s;                                                                            \
            return;                                                                                \
        }                                                                                          \
        Base::Assign(src);                                                                         \
    }

// An atomic field of a record that timers read while commands change it; unlike
// std::atomic it copies (value by value), so its record stays a value.
template <class T> class TkbzAtomicField : public std::atomic<T>
{
public:
    using std::atomic<T>::atomic;
    using std::atomic<T>::operator=;
    TkbzAtomicField(const TkbzAtomicField& other) noexcept : std::atomic<T>(other.load()) {}
    TkbzAtomicField& operator=(const TkbzAtomicField& other) noexcept
    {
        this->store(other.load());
        return *this;
    }
};

// ---- Keep-alive ----
// The owning component sets its defaults (Time 7200000, Interval 1000); the
// record itself starts at zero.
class TkbzSocketKeepAlive : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzSocketKeepAlive)
    KBZ_PERSISTENT_ASSIGN(TkbzSocketKeepAlive, TkbzPersistent)

    bool Enabled = false;
    std::int32_t Interval = 0; // ms between unanswered probes
    std::int32_t Time = 0;     // ms idle before the first probe
};

class TkbzTCPKeepAlive : public TkbzSocketKeepAlive
{
public:
    KBZ_PERSISTENT_CLASS(TkbzTCPKeepAlive)
};

// ---- Traffic log file ----
class TkbzSocketLogFile : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzSocketLogFile)
    KBZ_PERSISTENT_ASSIGN(TkbzSocketLogFile, TkbzPersistent)

    bool Enabled = false;
    std::string FileName;
};

class TkbzTCPLogFile : public TkbzSocketLogFile
{
public:
    KBZ_PERSISTENT_CLASS(TkbzTCPLogFile)
};

// ---- Bandwidth throttle ----
class TkbzSocketThrottle : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzSocketThrottle)
    KBZ_PERSISTENT_ASSIGN(TkbzSocketThrottle, TkbzPersistent)

    std::int32_t BitsPerSec = 0; // applied to sending and receiving alike
    bool Enabled = false;
};

class TkbzTCPThrottle : public TkbzSocketThrottle
{
public:
    KBZ_PERSISTENT_CLASS(TkbzTCPThrottle)
};

// ---- OpenSSL ----
class TkbzSocketOpenSSL_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzSocketOpenSSL_Options)
    // Copies APIVersion, LibPath and LibPathCustom; UnixSymLinks stays as it is.
    void Assign(const TkbzPersistent& src) override;

    TwsOpenSSLAPI APIVersion = TwsOpenSSLAPI::oslAPI_1_0; // stored and copied only
    TwsOpenSSLLibPath LibPath = TwsOpenSSLLibPath::oslpNone;
    std::string LibPathCustom; // folder for oslpCustomPath
    TwsOpenSSLSymLinks UnixSymLinks = TwsOpenSSLSymLinks::oslsSymLinksDefault;
};

class TkbzOpenSSLClient_Options : public TkbzSocketOpenSSL_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzOpenSSLClient_Options)
};

class TkbzTCPOpenSSL_Options : public TkbzSocketOpenSSL_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzTCPOpenSSL_Options)
};

// The listening side's OpenSSL settings.
class TkbzOpenSSLServer_Options : public TkbzSocketOpenSSL_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzOpenSSLServer_Options)
    // The base copy, plus CipherList and ECDHE from another server record.
    void Assign(const TkbzPersistent& src) override;

    std::string CipherList;
    bool ECDHE = false;
};

// ---- SChannel ----
class TkbzSocketSChannel_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzSocketSChannel_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzSocketSChannel_Options, TkbzPersistent)

    std::string CertHash; // hexadecimal SHA-1 thumbprint of the client certificate
    TkbzSChannelCertStoreName CertStoreName = TkbzSChannelCertStoreName::scsnMY;
    TkbzSChannelCertStorePath CertStorePath = TkbzSChannelCertStorePath::scspStoreCurrentUser;
    std::string CipherList;
};

class TkbzSChannelClient_Options : public TkbzSocketSChannel_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzSChannelClient_Options)
};

// ---- TLS ----
// Certificate and verification settings common to the client and server records.
class TkbzSocketTLS_Options_Base : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzSocketTLS_Options_Base)
    KBZ_PERSISTENT_ASSIGN(TkbzSocketTLS_Options_Base, TkbzPersistent)

    std::string CertFile; // certificate to present (a PFX file with SChannel)
    std::string KeyFile;
    std::string Password; // of the key or PFX file
    std::string RootCertFile;
    bool VerifyCertificate = false;
    std::int32_t VerifyDepth = 0; // used only when >= 0
    TwsTLSVersions Version = TwsTLSVersions::tlsUndefined;
};

class TkbzTCPTLS_Options_Base : public TkbzSocketTLS_Options_Base
{
public:
    KBZ_PERSISTENT_CLASS(TkbzTCPTLS_Options_Base)
};

// The client's TLS record. From another full TLS record Assign copies
// everything, certificate and verification settings included, so that a copied
// configuration never loses its certificate checks; from a base record it
// copies the base fields.
class TkbzSocketTLS_Options : public TkbzSocketTLS_Options_Base
{
public:
    KBZ_PERSISTENT_CLASS(TkbzSocketTLS_Options)
    void Assign(const TkbzPersistent& src) override;

    std::vector<std::string> ALPNProtocols; // offered in this order
    TwsTLSIOHandler IOHandler = TwsTLSIOHandler::iohOpenSSL;
    TkbzOpenSSLClient_Options OpenSSL_Options;
    TkbzSChannelClient_Options SChannel_Options;
};

class TkbzTCPTLS_Options : public TkbzSocketTLS_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzTCPTLS_Options)
};

class TkbzSSL_Verify_Certificate_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzSSL_Verify_Certificate_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzSSL_Verify_Certificate_Options, TkbzPersistent)

    bool FailIfNoCertificate = false; // refuse a client without a certificate
    bool VerifyClientOnce = false;    // verify only on the first handshake
};

// The server's TLS record. From another server record Assign copies the base
// fields, Port, OpenSSL_Options and VerifyCertificate_Options.
class TkbzWSSSL_Options : public TkbzTCPTLS_Options_Base
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSSSL_Options)
    void Assign(const TkbzPersistent& src) override;

    TkbzOpenSSLServer_Options OpenSSL_Options;
    std::int32_t Port = 0; // TLS port of the server
    TkbzSSL_Verify_Certificate_Options VerifyCertificate_Options;
};

// ---- Proxy ----
class TkbzSocketProxy_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzSocketProxy_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzSocketProxy_Options, TkbzPersistent)

    bool Enabled = false;
    std::string Host;
    std::int32_t Port = 0; // the client component sets 8080
    TwsProxy ProxyType = TwsProxy::pxyHTTP;
    std::string Username; // empty: no proxy authentication
    std::string Password;
    // SOCKS 5: resolve the target's name here and send its address; otherwise the proxy
    // resolves it. (SOCKS 4 always resolves here, 4A never.)
    bool ResolveLocally = false;
};

class TkbzTCPProxy_Options : public TkbzSocketProxy_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzTCPProxy_Options)
};

// ---- Watchdog ----
class TkbzTCPWatchDog_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzTCPWatchDog_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzTCPWatchDog_Options, TkbzPersistent)

    // Atomic: commands change them while the watchdog's timer reads them.
    TkbzAtomicField<bool> Enabled{false};
    TkbzAtomicField<std::int32_t> Interval{60}; // seconds; the client component sets 10
    TkbzAtomicField<std::int32_t> Attempts{0};  // 0 or less: unlimited
};

} // namespace kbz
