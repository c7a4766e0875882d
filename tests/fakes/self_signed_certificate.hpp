// A fresh self-signed certificate and its key for the TLS servers tests run (the fake server,
// the server's own folder): EC P-256, quick to make. Test clients do not check it.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace orvan::fakes {

struct SelfSignedCertificate {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, EVP_PKEY_free};
  std::unique_ptr<X509, decltype(&X509_free)> certificate{nullptr, X509_free};
};

// Valid from now for `lifetimeSeconds`; throws when OpenSSL cannot make one.
SelfSignedCertificate MakeSelfSignedCertificate(const std::string& commonName,
                                                long lifetimeSeconds);

}  // namespace orvan::fakes
