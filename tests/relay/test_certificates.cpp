#include "test_certificates.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace morvane::testing {

namespace {

EVP_PKEY* newKey() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (!key) throw std::runtime_error("cannot make a test key");
    return key;
}

std::string pem(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(n));
    BIO_free(bio);
    return out;
}

std::string pem(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<std::size_t>(n));
    BIO_free(bio);
    return out;
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (!ext) throw std::runtime_error("cannot make a certificate extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

X509* newCertificate(EVP_PKEY* key, const std::string& commonName, long serial) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86'400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                               -1, 0);
    return cert;
}

}  // namespace

struct TestCertificateAuthority::Keys {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    long serial = 1;
};

TestCertificateAuthority::TestCertificateAuthority() : keys_(new Keys) {
    keys_->key = newKey();
    keys_->cert = newCertificate(keys_->key, "Morvane test CA", keys_->serial++);
    X509_set_issuer_name(keys_->cert, X509_get_subject_name(keys_->cert));
    addExtension(keys_->cert, keys_->cert, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(keys_->cert, keys_->cert, NID_key_usage, "critical,keyCertSign,cRLSign");
    X509_sign(keys_->cert, keys_->key, EVP_sha256());
    caPem_ = pem(keys_->cert);
}

TestCertificateAuthority::~TestCertificateAuthority() {
    X509_free(keys_->cert);
    EVP_PKEY_free(keys_->key);
    delete keys_;
    if (!file_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(file_, ignored);
    }
}

ServerCertificate TestCertificateAuthority::issue(const std::vector<std::string>& dnsNames,
                                                  const std::vector<std::string>& ipAddresses) {
    EVP_PKEY* key = newKey();
    X509* cert = newCertificate(key, dnsNames.empty() ? "test server" : dnsNames.front(), keys_->serial++);
    X509_set_issuer_name(cert, X509_get_subject_name(keys_->cert));
    std::string names;
    for (const auto& n : dnsNames) names += (names.empty() ? "" : ",") + std::string("DNS:") + n;
    for (const auto& a : ipAddresses) names += (names.empty() ? "" : ",") + std::string("IP:") + a;
    if (!names.empty()) addExtension(cert, keys_->cert, NID_subject_alt_name, names);
    addExtension(cert, keys_->cert, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert, keys_->cert, NID_ext_key_usage, "serverAuth");
    X509_sign(cert, keys_->key, EVP_sha256());
    ServerCertificate out{pem(cert) + caPem_, pem(key)};
    X509_free(cert);
    EVP_PKEY_free(key);
    return out;
}

void TestCertificateAuthority::trustThroughEnvironment() {
    if (file_.empty()) {
        file_ = std::filesystem::temp_directory_path() / ("morvane-test-ca-" + std::to_string(::getpid()) + ".pem");
        std::ofstream(file_) << caPem_;
    }
    ::setenv("SSL_CERT_FILE", file_.c_str(), 1);
}

}  // namespace morvane::testing
