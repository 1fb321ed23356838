// The SChannel choice of the client's TLS options (iohSChannel). There is no
// SChannel on this platform: the same TLS contract is met over OpenSSL, so the
// console's choice of SChannel with TLS 1.2 works unchanged. What only the
// Windows certificate store could provide (a certificate chosen by thumbprint)
// is refused with the SChannel start error.
#pragma once

#include "transport/kbzSSL_OpenSSL.h"

#include <memory>
#include <string>

namespace kbz
{

class TkbzSocketTLS_Options;

KBZ_DECLARE_EXCEPTION(SChannelError, EIdTLSError);

// Prefix of every failed SChannel start.
inline constexpr const char* kbzSChannelErrorPrefix = "SChannel initialization error: ";

struct TkbzSChannelClientConfig : TkbzTLSClientConfig
{
    // SHA-1 thumbprint of a client certificate in the Windows store; any value
    // fails the start here. Certificates come from CertFile (PKCS#12 or PEM).
    std::string CertHash;

    static TkbzSChannelClientConfig FromOptions(const TkbzSocketTLS_Options& options);
};

class TkbzIdSSLIOHandlerSocketSChannel : public TkbzIdSSLIOHandlerSocketOpenSSL
{
public:
    using TkbzIdSSLIOHandlerSocketOpenSSL::TkbzIdSSLIOHandlerSocketOpenSSL;
};

// Starts the SChannel-kind handler over plain. Every TLS failure raises
// SChannelError whose text starts with kbzSChannelErrorPrefix.
std::unique_ptr<TkbzIOHandler> kbzStartSChannelClient(std::unique_ptr<TkbzSocketIOHandler> plain,
                                                      const TkbzSChannelClientConfig& config,
                                                      const std::string& host, int timeoutMs);

// The handler that the options' IOHandler selects, started over plain (what the
// client installs for wss:// and tcps://). hostToCheck and onVerifyPeer go to
// the configuration built from the options.
std::unique_ptr<TkbzIOHandler>
kbzStartTLSClientFromOptions(std::unique_ptr<TkbzSocketIOHandler> plain,
                             const TkbzSocketTLS_Options& options, const std::string& host,
                             int timeoutMs, const std::string& hostToCheck = {},
                             const TkbzSSLVerifyPeerEvent& onVerifyPeer = {});

} // namespace kbz
