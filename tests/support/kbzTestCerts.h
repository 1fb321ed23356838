// Throw-away certificates for TLS tests, made with the OpenSSL API at test time
// and written as files into a fresh temporary folder.
#pragma once

#include <string>

namespace kbz::test
{

struct TestCerts
{
    std::string Dir;
    // A CA and the certificates it signed.
    std::string CACert;     // PEM
    std::string ServerCert; // PEM; subject CN=localhost, names localhost, 127.0.0.1 and ::1
    std::string ServerKey;  // PEM, not encrypted
    std::string ClientCert; // PEM; subject CN=kbz test client
    std::string ClientKey;  // PEM, encrypted with ClientKeyPassword
    std::string ClientKeyPassword;
    std::string ClientP12; // PKCS#12 bundle of the client certificate and key
    std::string ClientP12Password;
    // A second CA that signed nothing of the above: a root that does not lead
    // to the server's certificate.
    std::string OtherCACert;
};

// Made once per test process; raises std::runtime_error when OpenSSL fails.
const TestCerts& Certs();

} // namespace kbz::test
