#pragma once
// The OpenSSL objects behind a certificate; seen only by the library's TLS code, never installed.

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <vector>

namespace ix::detail {

struct TixCertificateHandles {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;   // owned; only client certificates have one
    std::vector<X509*> chain;  // owned intermediates

    TixCertificateHandles() = default;
    TixCertificateHandles(const TixCertificateHandles&) = delete;
    TixCertificateHandles& operator=(const TixCertificateHandles&) = delete;
    ~TixCertificateHandles() {
        X509_free(cert);
        EVP_PKEY_free(key);
        for (X509* c : chain)
            X509_free(c);
    }
};

}  // namespace ix::detail
