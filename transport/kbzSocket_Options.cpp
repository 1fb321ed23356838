#include "transport/kbzSocket_Options.h"

namespace kbz
{

void TkbzPersistent::Assign(const TkbzPersistent& src)
{
    AssignError(src);
}

void TkbzPersistent::AssignError(const TkbzPersistent& src) const
{
    throw EConvertAssign("Cannot assign a " + src.ClassName() + " to a " + ClassName());
}

void TkbzSocketKeepAlive::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzSocketKeepAlive*>(&src))
    {
        Enabled = s->Enabled;
        Interval = s->Interval;
        Time = s->Time;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzSocketLogFile::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzSocketLogFile*>(&src))
    {
        Enabled = s->Enabled;
        FileName = s->FileName;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzSocketThrottle::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzSocketThrottle*>(&src))
    {
        Enabled = s->Enabled;
        BitsPerSec = s->BitsPerSec;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzSocketOpenSSL_Options::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzSocketOpenSSL_Options*>(&src))
    {
        APIVersion = s->APIVersion;
        LibPath = s->LibPath;
        LibPathCustom = s->LibPathCustom;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzOpenSSLServer_Options::Assign(const TkbzPersistent& src)
{
    // The library location travels with the server settings: a copied server
    // record that kept the old LibPath would load OpenSSL from elsewhere.
    TkbzSocketOpenSSL_Options::Assign(src);
    if (const auto* s = dynamic_cast<const TkbzOpenSSLServer_Options*>(&src))
    {
        ECDHE = s->ECDHE;
        CipherList = s->CipherList;
    }
}

void TkbzSocketSChannel_Options::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzSocketSChannel_Options*>(&src))
    {
        CertHash = s->CertHash;
        CertStoreName = s->CertStoreName;
        CertStorePath = s->CertStorePath;
        CipherList = s->CipherList;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzSocketTLS_Options_Base::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzSocketTLS_Options_Base*>(&src))
    {
        CertFile = s->CertFile;
        KeyFile = s->KeyFile;
        Password = s->Password;
        RootCertFile = s->RootCertFile;
        Version = s->Version;
        VerifyCertificate = s->VerifyCertificate;
        VerifyDepth = s->VerifyDepth;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzSocketTLS_Options::Assign(const TkbzPersistent& src)
{
    // Certificates and verification are always copied: a copied client record
    // must not silently drop its peer checks.
    TkbzSocketTLS_Options_Base::Assign(src);
    if (const auto* s = dynamic_cast<const TkbzSocketTLS_Options*>(&src))
    {
        IOHandler = s->IOHandler;
        ALPNProtocols = s->ALPNProtocols;
        OpenSSL_Options.Assign(s->OpenSSL_Options);
        SChannel_Options.Assign(s->SChannel_Options);
    }
}

void TkbzSSL_Verify_Certificate_Options::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzSSL_Verify_Certificate_Options*>(&src))
    {
        FailIfNoCertificate = s->FailIfNoCertificate;
        VerifyClientOnce = s->VerifyClientOnce;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzWSSSL_Options::Assign(const TkbzPersistent& src)
{
    TkbzTCPTLS_Options_Base::Assign(src);
    if (const auto* s = dynamic_cast<const TkbzWSSSL_Options*>(&src))
    {
        Port = s->Port;
        OpenSSL_Options.Assign(s->OpenSSL_Options);
        // The client-certificate demands are part of the checks: copy them too.
        VerifyCertificate_Options.Assign(s->VerifyCertificate_Options);
    }
}

void TkbzSocketProxy_Options::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzSocketProxy_Options*>(&src))
    {
        Enabled = s->Enabled;
        Host = s->Host;
        Port = s->Port;
        Username = s->Username;
        Password = s->Password;
        ProxyType = s->ProxyType;
        ResolveLocally = s->ResolveLocally;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzTCPWatchDog_Options::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzTCPWatchDog_Options*>(&src))
    {
        Enabled = s->Enabled.load();
        Interval = s->Interval.load();
        Attempts = s->Attempts.load();
        return;
    }
    TkbzPersistent::Assign(src);
}

} // namespace kbz
