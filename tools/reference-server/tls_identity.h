#pragma once

#include <memory>
#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "core/error.h"

// The reference server's throwaway TLS identity: a certificate authority made at start and a
// server certificate it signs for 127.0.0.1 and "localhost". Clients trust the CA's PEM file
// (written where the caller says), so nothing ever needs verification switched off.
namespace nimbra::refserver {

struct X509Deleter {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
struct PkeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

struct TlsIdentity {
  X509Ptr caCertificate;
  X509Ptr serverCertificate;
  PkeyPtr serverKey;
  std::string caPem;  // the CA certificate, PEM text
};

// Fresh P-256 keys; both certificates valid from an hour ago for 30 days. An error names the
// OpenSSL step that failed.
Result<TlsIdentity> makeTlsIdentity();

}  // namespace nimbra::refserver
