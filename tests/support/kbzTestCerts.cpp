#include "tests/support/kbzTestCerts.h"

#include "tests/support/kbzTestProcess.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdexcept>

namespace kbz::test
{

namespace
{

struct KeyFree
{
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree
{
    void operator()(X509* c) const { X509_free(c); }
};
struct FileClose
{
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

[[noreturn]] void Fail(const std::string& what)
{
    char buf[256] = "no OpenSSL error";
    if (const unsigned long e = ERR_get_error())
    {
        ERR_error_string_n(e, buf, sizeof buf);
    }
    throw std::runtime_error("Test certificates: " + what + ": " + buf);
}

KeyPtr NewKey()
{
    KeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key)
    {
        Fail("key generation");
    }
    return key;
}

void AddExt(X509* cert, X509V3_CTX* ctx, int nid, const std::string& value)
{
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str());
    if (ext == nullptr || X509_add_ext(cert, ext, -1) != 1)
    {
        Fail("extension " + value);
    }
    X509_EXTENSION_free(ext);
}

struct CertRequest
{
    std::string commonName;
    bool ca = false;
    std::string altNames;    // subjectAltName value, or empty
    std::string extKeyUsage; // extendedKeyUsage value, or empty
    long serial = 1;
};

// Signs with issuerKey under issuer; a null issuer makes the certificate self-signed.
CertPtr MakeCert(const CertRequest& req, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey)
{
    CertPtr cert(X509_new());
    X509* x = cert.get();
    if (!cert || X509_set_version(x, 2) != 1 ||
        ASN1_INTEGER_set(X509_get_serialNumber(x), req.serial) != 1 ||
        X509_gmtime_adj(X509_getm_notBefore(x), -3600) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(x), 7L * 24 * 3600) == nullptr ||
        X509_set_pubkey(x, key) != 1)
    {
        Fail("certificate fields");
    }
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("kbzWebSockets tests"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(req.commonName.c_str()), -1,
                               -1, 0);
    X509_set_issuer_name(x, issuer != nullptr ? X509_get_subject_name(issuer) : name);

    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer != nullptr ? issuer : x, x, nullptr, nullptr, 0);
    AddExt(x, &ctx, NID_basic_constraints, req.ca ? "critical,CA:TRUE" : "CA:FALSE");
    AddExt(x, &ctx, NID_key_usage,
           req.ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
    AddExt(x, &ctx, NID_subject_key_identifier, "hash");
    if (issuer != nullptr)
    {
        AddExt(x, &ctx, NID_authority_key_identifier, "keyid");
    }
    if (!req.altNames.empty())
    {
        AddExt(x, &ctx, NID_subject_alt_name, req.altNames);
    }
    if (!req.extKeyUsage.empty())
    {
        AddExt(x, &ctx, NID_ext_key_usage, req.extKeyUsage);
    }
    if (X509_sign(x, issuerKey != nullptr ? issuerKey : key, EVP_sha256()) == 0)
    {
        Fail("signing " + req.commonName);
    }
    return cert;
}

FilePtr Open(const std::string& path, const char* mode)
{
    FilePtr f(std::fopen(path.c_str(), mode));
    if (!f)
    {
        throw std::runtime_error("Test certificates: cannot write " + path);
    }
    return f;
}

void WriteCert(const std::string& path, X509* cert)
{
    FilePtr f = Open(path, "w");
    if (PEM_write_X509(f.get(), cert) != 1)
    {
        Fail("writing " + path);
    }
}

void WriteKey(const std::string& path, EVP_PKEY* key, const std::string& password)
{
    FilePtr f = Open(path, "w");
    const EVP_CIPHER* cipher = password.empty() ? nullptr : EVP_aes_256_cbc();
    std::string pass = password;
    if (PEM_write_PrivateKey(f.get(), key, cipher, reinterpret_cast<unsigned char*>(pass.data()),
                             static_cast<int>(pass.size()), nullptr, nullptr) != 1)
    {
        Fail("writing " + path);
    }
}

void WriteP12(const std::string& path, EVP_PKEY* key, X509* cert, const std::string& password)
{
    PKCS12* p12 =
        PKCS12_create(password.c_str(), "kbz test client", key, cert, nullptr, 0, 0, 0, 0, 0);
    if (p12 == nullptr)
    {
        Fail("PKCS#12 bundle");
    }
    FilePtr f = Open(path, "wb");
    const int ok = i2d_PKCS12_fp(f.get(), p12);
    PKCS12_free(p12);
    if (ok != 1)
    {
        Fail("writing " + path);
    }
}

TestCerts Generate()
{
    TestCerts c;
    c.Dir = MakeTempDir("kbz-certs");
    if (c.Dir.empty())
    {
        throw std::runtime_error("Test certificates: no temporary folder");
    }
    const auto path = [&](const char* name) { return c.Dir + "/" + name; };

    KeyPtr caKey = NewKey();
    CertPtr ca = MakeCert({"kbz test CA", true, "", "", 1}, caKey.get(), nullptr, nullptr);
    KeyPtr serverKey = NewKey();
    CertPtr server =
        MakeCert({"localhost", false, "DNS:localhost,IP:127.0.0.1,IP:::1", "serverAuth", 2},
                 serverKey.get(), ca.get(), caKey.get());
    KeyPtr clientKey = NewKey();
    CertPtr client = MakeCert({"kbz test client", false, "", "clientAuth", 3}, clientKey.get(),
                              ca.get(), caKey.get());
    KeyPtr otherKey = NewKey();
    CertPtr other =
        MakeCert({"kbz other test CA", true, "", "", 4}, otherKey.get(), nullptr, nullptr);

    c.CACert = path("ca.pem");
    c.ServerCert = path("server.pem");
    c.ServerKey = path("server.key");
    c.ClientCert = path("client.pem");
    c.ClientKey = path("client.key");
    c.ClientKeyPassword = "client key secret";
    c.ClientP12 = path("client.p12");
    c.ClientP12Password = "p12 secret";
    c.OtherCACert = path("other-ca.pem");

    WriteCert(c.CACert, ca.get());
    WriteCert(c.ServerCert, server.get());
    WriteKey(c.ServerKey, serverKey.get(), "");
    WriteCert(c.ClientCert, client.get());
    WriteKey(c.ClientKey, clientKey.get(), c.ClientKeyPassword);
    WriteP12(c.ClientP12, clientKey.get(), client.get(), c.ClientP12Password);
    WriteCert(c.OtherCACert, other.get());
    return c;
}

} // namespace

const TestCerts& Certs()
{
    // The folder goes away with the test process.
    struct Holder
    {
        TestCerts certs = Generate();
        ~Holder()
        {
            std::error_code ec;
            std::filesystem::remove_all(certs.Dir, ec);
        }
    };
    static const Holder holder;
    return holder.certs;
}

} // namespace kbz::test
