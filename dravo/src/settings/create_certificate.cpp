#include "settings/create_certificate.hpp"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <boost/filesystem/operations.hpp>
#include <memory>
#include <string>

#include "settings/config_store.hpp"
#include "settings/file_replace.hpp"

namespace fs = boost::filesystem;

namespace {

constexpr long kLifetimeSeconds = 1576800000L;  // 18,250 days

struct Free {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
  void operator()(X509* certificate) const { X509_free(certificate); }
  void operator()(BIGNUM* number) const { BN_free(number); }
  void operator()(BIO* bio) const { BIO_free(bio); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

void CreateIfMissing(const fs::path& directory) {
  boost::system::error_code error;
  const fs::file_status status = fs::status(directory, error);
  // A failure here shows as a failing write below.
  if (status.type() == fs::file_not_found || status.type() == fs::status_error)
    fs::create_directory(directory, error);
}

Owned<EVP_PKEY> GenerateKey() {
  Owned<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  Owned<BIGNUM> exponent(BN_new());
  if (!context || !exponent || !BN_set_word(exponent.get(), RSA_F4)) return nullptr;
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_keygen_init(context.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), 2048) <= 0 ||
      EVP_PKEY_CTX_set1_rsa_keygen_pubexp(context.get(), exponent.get()) <= 0 ||
      EVP_PKEY_generate(context.get(), &key) <= 0)
    return nullptr;
  return Owned<EVP_PKEY>(key);
}

Owned<X509> SelfSign(EVP_PKEY* key) {
  Owned<X509> certificate(X509_new());
  if (!certificate) return nullptr;
  X509* cert = certificate.get();
  X509_NAME* name = X509_get_subject_name(cert);
  static const char* const kSubject[][2] = {{"C", "US"},    {"ST", "CA"},  {"L", "Lakeside"},
                                            {"O", "Orvan"}, {"OU", "rnd"}, {"CN", "orvan.example"}};
  for (const auto& entry : kSubject) {
    if (!X509_NAME_add_entry_by_txt(name, entry[0], MBSTRING_ASC,
                                    reinterpret_cast<const unsigned char*>(entry[1]), -1, -1, 0))
      return nullptr;
  }
  if (!ASN1_INTEGER_set(X509_get_serialNumber(cert), 1) ||
      !X509_gmtime_adj(X509_getm_notBefore(cert), 0) ||
      !X509_gmtime_adj(X509_getm_notAfter(cert), kLifetimeSeconds) || !X509_set_pubkey(cert, key) ||
      !X509_set_issuer_name(cert, name) || !X509_sign(cert, key, EVP_sha1()))
    return nullptr;
  return certificate;
}

template <typename Write>
bool ToPem(Write write, std::string& pem) {
  Owned<BIO> memory(BIO_new(BIO_s_mem()));
  if (!memory || !write(memory.get())) return false;
  char* data = nullptr;
  const long size = BIO_get_mem_data(memory.get(), &data);
  pem.assign(data, static_cast<size_t>(size));
  return true;
}

bool WriteFile(const fs::path& path, const std::string& bytes, mode_t mode, std::string& why) {
  try {
    ReplaceFile(path, bytes, mode);
    return true;
  } catch (const fs::filesystem_error& error) {
    why = path.filename().string() + ": " + error.code().message();
    return false;
  }
}

// Only a regular file counts as present: a FIFO or a device in its place could never be read
// by the bounded read, so a new pair is made over it.
bool IsRegularFile(const fs::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

bool CreateCertificate() {
  std::string ignored;
  return CreateCertificate(ignored);
}

bool CreateCertificate(std::string& why) {
  why.clear();
  CreateIfMissing(DataDirectory());
  CreateIfMissing(ServerDataDirectory());
  const fs::path cert_file = ServerDataDirectory() / "cert.pem";
  const fs::path key_file = ServerDataDirectory() / "key.pem";
  if (IsRegularFile(cert_file) && IsRegularFile(key_file)) return true;

  OPENSSL_init_ssl(0, nullptr);
  why = "cannot make the key and certificate";
  Owned<EVP_PKEY> key = GenerateKey();
  if (!key) return false;
  Owned<X509> certificate = SelfSign(key.get());
  if (!certificate) return false;
  std::string key_pem, cert_pem;
  if (!ToPem(
          [&](BIO* out) {
            return PEM_write_bio_PrivateKey_traditional(out, key.get(), nullptr, nullptr, 0,
                                                        nullptr, nullptr) == 1;
          },
          key_pem) ||
      !ToPem([&](BIO* out) { return PEM_write_bio_X509(out, certificate.get()) == 1; }, cert_pem))
    return false;
  // The key is the server's secret: only its owner may read it.
  const bool written =
      WriteFile(key_file, key_pem, 0600, why) && WriteFile(cert_file, cert_pem, 0644, why);
  OPENSSL_cleanse(key_pem.data(), key_pem.size());
  if (written) why.clear();
  return written;
}
