#include "reference-server/tls_identity.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

namespace nimbra::refserver {
namespace {

constexpr long kValidBeforeNowSeconds = 3600;
constexpr long kValidDays = 30;

// OpenSSL's failures become one error kind, named after the step that failed.
Error opensslError(const char* step) {
  unsigned long code = ERR_get_error();
  char text[256] = {};
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return Error::make("OpenSSL", static_cast<int>(code & 0x7fffffff),
                     std::string(step) + ": " + (code != 0 ? text : "failed"));
}

Result<PkeyPtr> makeKey() {
  PkeyPtr key(EVP_EC_gen("P-256"));
  if (!key) return opensslError("EVP_EC_gen");
  return key;
}

bool addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (extension == nullptr) return false;
  const bool added = X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

bool setRandomSerial(X509* certificate) {
  BIGNUM* serial = BN_new();
  bool ok = serial != nullptr && BN_rand(serial, 64, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
            BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(certificate)) != nullptr;
  BN_free(serial);
  return ok;
}

struct Extension {
  int nid;
  const char* value;
};

// A certificate for `subjectKey` named `commonName`, signed by `issuerKey`; `issuer` null
// makes it self-signed. Extensions are added after the issuer is known so the key
// identifiers resolve.
Result<X509Ptr> makeCertificate(const char* commonName, EVP_PKEY* subjectKey, X509* issuer,
                                EVP_PKEY* issuerKey, std::initializer_list<Extension> extensions) {
  X509Ptr certificate(X509_new());
  if (!certificate) return opensslError("X509_new");
  X509* cert = certificate.get();
  X509_NAME* name = X509_get_subject_name(cert);
  bool ok = X509_set_version(cert, 2) == 1 && setRandomSerial(cert) &&
            X509_gmtime_adj(X509_getm_notBefore(cert), -kValidBeforeNowSeconds) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(cert), kValidDays * 24 * 3600) != nullptr &&
            X509_set_pubkey(cert, subjectKey) == 1 &&
            X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char*>("nimbra demo"), -1,
                                       -1, 0) == 1 &&
            X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                                       0) == 1 &&
            X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name) == 1;
  if (!ok) return opensslError("certificate fields");
  for (const Extension& extension : extensions) {
    if (!addExtension(cert, issuer ? issuer : cert, extension.nid, extension.value)) {
      return opensslError("certificate extension");
    }
  }
  if (X509_sign(cert, issuerKey, EVP_sha256()) == 0) return opensslError("X509_sign");
  return certificate;
}

Result<std::string> pemText(X509* certificate) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) {
    return opensslError("PEM_write_bio_X509");
  }
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

}  // namespace

Result<TlsIdentity> makeTlsIdentity() {
  Result<PkeyPtr> caKey = makeKey();
  if (!caKey) return caKey.error();
  Result<PkeyPtr> serverKey = makeKey();
  if (!serverKey) return serverKey.error();

  Result<X509Ptr> ca =
      makeCertificate("nimbra reference server CA", caKey->get(), nullptr, caKey->get(),
                      {{NID_basic_constraints, "critical,CA:TRUE,pathlen:0"},
                       {NID_key_usage, "critical,keyCertSign,cRLSign"},
                       {NID_subject_key_identifier, "hash"}});
  if (!ca) return ca.error();
  Result<X509Ptr> server = makeCertificate("127.0.0.1", serverKey->get(), ca->get(), caKey->get(),
                                           {{NID_basic_constraints, "critical,CA:FALSE"},
                                            {NID_key_usage, "critical,digitalSignature"},
                                            {NID_ext_key_usage, "serverAuth"},
                                            {NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
                                            {NID_subject_key_identifier, "hash"},
                                            {NID_authority_key_identifier, "keyid:always"}});
  if (!server) return server.error();
  Result<std::string> pem = pemText(ca->get());
  if (!pem) return pem.error();

  TlsIdentity identity;
  identity.caCertificate = std::move(ca).value();
  identity.serverCertificate = std::move(server).value();
  identity.serverKey = std::move(serverKey).value();
  identity.caPem = std::move(pem).value();
  return identity;
}

}  // namespace nimbra::refserver
