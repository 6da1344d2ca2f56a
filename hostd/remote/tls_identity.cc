#include "hostd/remote/tls_identity.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/remote_wire.h"

namespace hostd {
namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

// Opens `path` for writing with `mode` from the start (no window in which
// a key would be readable by others).
std::unique_ptr<FILE, FileCloser> CreateFile(const std::string& path, mode_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return nullptr;
  ::fchmod(fd, mode);
  FILE* f = ::fdopen(fd, "w");
  if (!f) ::close(fd);
  return std::unique_ptr<FILE, FileCloser>(f);
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::string TlsCertificateFile(const std::string& tls_dir) { return tls_dir + "/host.crt"; }
std::string TlsKeyFile(const std::string& tls_dir) { return tls_dir + "/host.key"; }

bool EnsureTlsIdentity(const std::string& tls_dir, const std::string& computer_name,
                       std::string* error) {
  std::string cert_path = TlsCertificateFile(tls_dir), key_path = TlsKeyFile(tls_dir);
  if (Exists(cert_path) && Exists(key_path)) return true;
  ::mkdir(tls_dir.c_str(), 0700);

  auto fail = [&](const std::string& what) {
    if (error) *error = what + ": " + platform::remote::OpenSslErrorText();
    return false;
  };
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  if (!key) return fail("key generation");
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  if (!cert) return fail("certificate");
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24 * 3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 20L * 365 * 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(computer_name.c_str()), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Veltrix host"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) return fail("certificate signature");

  auto key_file = CreateFile(key_path, 0600);
  if (!key_file || PEM_write_PrivateKey(key_file.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    if (error) *error = key_path + ": cannot be written: " + std::strerror(errno);
    return false;
  }
  auto cert_file = CreateFile(cert_path, 0644);
  if (!cert_file || PEM_write_X509(cert_file.get(), cert.get()) != 1) {
    if (error) *error = cert_path + ": cannot be written: " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace hostd
