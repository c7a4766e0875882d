#include "fakes/self_signed_certificate.hpp"

#include <stdexcept>

namespace orvan::fakes {

SelfSignedCertificate MakeSelfSignedCertificate(const std::string& commonName,
                                                long lifetimeSeconds) {
  SelfSignedCertificate made;
  made.key.reset(EVP_EC_gen("P-256"));
  made.certificate.reset(X509_new());
  if (!made.key || !made.certificate) throw std::runtime_error("no key for a test certificate");
  X509* certificate = made.certificate.get();
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate), lifetimeSeconds);
  X509_set_pubkey(certificate, made.key.get());
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  X509_set_issuer_name(certificate, name);
  if (X509_sign(certificate, made.key.get(), EVP_sha256()) == 0)
    throw std::runtime_error("cannot sign a test certificate");
  return made;
}

}  // namespace orvan::fakes
