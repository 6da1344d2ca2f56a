// The host's TLS identity: a self-signed certificate and its private key
// in <root>/tls/, with which the host daemon proves to other hosts that it
// is the same host they met before (they pin the certificate).
#pragma once

#include <string>

namespace hostd {

// Files of the identity inside a host's tls/ folder.
std::string TlsCertificateFile(const std::string& tls_dir);  // "host.crt" (PEM)
std::string TlsKeyFile(const std::string& tls_dir);          // "host.key" (PEM, owner only)

// Creates an EC P-256 key and a self-signed certificate naming
// `computer_name` in `tls_dir`, unless both files already exist (an
// identity is never replaced behind the peers' backs). False with a reason.
bool EnsureTlsIdentity(const std::string& tls_dir, const std::string& computer_name,
                       std::string* error);

}  // namespace hostd
