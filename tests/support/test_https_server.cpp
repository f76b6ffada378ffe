#include "support/test_https_server.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace nimbra::test {
namespace {

struct Credentials {
  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
  ~Credentials() {
    X509_free(certificate);
    EVP_PKEY_free(key);
  }
};

void addExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (extension == nullptr) throw std::runtime_error("certificate extension");
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

// A self-signed certificate for `host` that is its own trust anchor.
void makeCredentials(const std::string& host, Credentials& out) {
  out.key = EVP_EC_gen("P-256");
  out.certificate = X509_new();
  if (out.key == nullptr || out.certificate == nullptr) throw std::runtime_error("keygen");
  X509_set_version(out.certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(out.certificate), 1);
  X509_gmtime_adj(X509_getm_notBefore(out.certificate), -3600);
  X509_gmtime_adj(X509_getm_notAfter(out.certificate), 86400);
  X509_set_pubkey(out.certificate, out.key);
  X509_NAME* name = X509_get_subject_name(out.certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(host.c_str()), -1, -1, 0);
  X509_set_issuer_name(out.certificate, name);
  addExtension(out.certificate, NID_basic_constraints, "critical,CA:TRUE");
  addExtension(out.certificate, NID_key_usage, "critical,digitalSignature,keyCertSign");
  addExtension(out.certificate, NID_subject_alt_name, ("DNS:" + host).c_str());
  if (X509_sign(out.certificate, out.key, EVP_sha256()) == 0) throw std::runtime_error("sign");
}

}  // namespace

TestHttpsServer::TestHttpsServer(std::string hostName, const std::filesystem::path& folder)
    : hostName_(std::move(hostName)), caFile_(folder / "test-ca.pem") {
  Credentials credentials;
  makeCredentials(hostName_, credentials);
  FILE* file = std::fopen(caFile_.c_str(), "w");
  if (file == nullptr) throw std::runtime_error("ca file");
  PEM_write_X509(file, credentials.certificate);
  std::fclose(file);
  server_ = std::make_unique<httplib::SSLServer>(credentials.certificate, credentials.key);
  if (!server_->is_valid()) throw std::runtime_error("https server");
  server_->set_logger([this](const httplib::Request& request, const httplib::Response&) {
    std::lock_guard lock(mutex_);
    paths_.push_back(request.path);
  });
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("bind");
}

TestHttpsServer::~TestHttpsServer() {
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

void TestHttpsServer::start() {
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::string TestHttpsServer::connectTo() const {
  return hostName_ + ":443:127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> TestHttpsServer::requestedPaths() const {
  std::lock_guard lock(mutex_);
  return paths_;
}

}  // namespace nimbra::test
