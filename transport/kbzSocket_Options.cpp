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
        SChannel_Options = s->SChannel_Options;
    }
}

void TkbzWSSSL_Options::Assign(const TkbzPersistent& src)
{
    TkbzTCPTLS_Options_Base::Assign(src);
    if (const auto* s = dynamic_cast<const TkbzWSSSL_Options*>(&src))
    {
        Port = s->Port;
        OpenSSL_Options.Assign(s->OpenSSL_Options);
        // The client-certificate demands are part of the checks: copy them too.
        VerifyCertificate_Options = s->VerifyCertificate_Options;
    }
}

} // namespace kbz
