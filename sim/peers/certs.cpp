#include "peers/certs.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

namespace {

using pkey_ptr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using x509_ptr = std::unique_ptr<X509, decltype(&X509_free)>;

constexpr long DAY = 24 * 60 * 60;

// What one certificate is: its name, where its validity lies (seconds from
// now), its extensions ("" for none), and who signs it.
struct cert_shape {
    const char *name;
    long not_before, not_after;
    const char *san;  // subjectAltName value
    bool ca;
};

pkey_ptr new_key()
{
    return pkey_ptr(EVP_EC_gen("P-256"), EVP_PKEY_free);
}

bool add_ext(X509 *x, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, issuer, x, nullptr, nullptr, 0);
    X509_EXTENSION *e = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    if (e == nullptr)
        return false;
    const bool ok = X509_add_ext(x, e, -1) == 1;
    X509_EXTENSION_free(e);
    return ok;
}

// A certificate of shape s for key, signed by signer_key; issuer nullptr:
// self-signed.
x509_ptr new_cert(const cert_shape &s, EVP_PKEY *key, X509 *issuer, EVP_PKEY *signer_key)
{
    static std::atomic<long> serial{1};
    x509_ptr x(X509_new(), X509_free);
    if (!x)
        return x;
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), s.not_before);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), s.not_after);
    X509_set_pubkey(x.get(), key);
    X509_NAME *name = X509_get_subject_name(x.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(s.name), -1, -1, 0);
    X509 *iss = issuer != nullptr ? issuer : x.get();
    X509_set_issuer_name(x.get(), X509_get_subject_name(iss));
    bool ok = add_ext(x.get(), iss, NID_basic_constraints, s.ca ? "critical,CA:TRUE" : "CA:FALSE");
    ok = ok && add_ext(x.get(), iss, NID_key_usage,
                       s.ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
    ok = ok && add_ext(x.get(), iss, NID_subject_key_identifier, "hash");
    if (issuer != nullptr)
        ok = ok && add_ext(x.get(), iss, NID_authority_key_identifier, "keyid");
    if (s.san[0] != '\0')
        ok = ok && add_ext(x.get(), iss, NID_subject_alt_name, s.san);
    if (!ok || X509_sign(x.get(), signer_key, EVP_sha256()) == 0)
        x.reset();
    return x;
}

bool write_pair(const std::string &dir, const char *name, X509 *x, EVP_PKEY *key)
{
    const std::string pem = dir + "/" + name + ".pem", keyfile = dir + "/" + name + ".key";
    FILE *f = std::fopen(pem.c_str(), "w");
    if (f == nullptr)
        return false;
    bool ok = PEM_write_X509(f, x) == 1;
    ok = std::fclose(f) == 0 && ok;
    const mode_t old = umask(077);  // the key is never open to others, not even briefly
    f = std::fopen(keyfile.c_str(), "w");
    umask(old);
    if (f == nullptr)
        return false;
    ok = PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1 && ok;
    ok = std::fclose(f) == 0 && ok;
    return ok && chmod(keyfile.c_str(), 0600) == 0;
}

// Makes the certificate of shape s with a key of its own, writes both.
bool make_one(const std::string &dir, const cert_shape &s, X509 *issuer, EVP_PKEY *signer_key,
              std::string *err)
{
    pkey_ptr key = new_key();
    if (!key) {
        *err = std::string("cannot make a key for ") + s.name;
        return false;
    }
    x509_ptr x = new_cert(s, key.get(), issuer, issuer != nullptr ? signer_key : key.get());
    if (!x || !write_pair(dir, s.name, x.get(), key.get())) {
        *err = std::string("cannot make ") + s.name + " in " + dir;
        return false;
    }
    return true;
}

}  // namespace

bool test_certs_make(const std::string &dir, test_certs *out, std::string *err)
{
    out->dir = dir;
    const cert_shape ca{"ca", -DAY, 365 * DAY, "", true};
    const cert_shape other{"otherca_root", -DAY, 365 * DAY, "", true};
    pkey_ptr ca_key = new_key(), other_key = new_key();
    if (!ca_key || !other_key) {
        *err = "cannot make the CA keys";
        return false;
    }
    x509_ptr ca_x = new_cert(ca, ca_key.get(), nullptr, ca_key.get());
    x509_ptr other_x = new_cert(other, other_key.get(), nullptr, other_key.get());
    if (!ca_x || !other_x || !write_pair(dir, "ca", ca_x.get(), ca_key.get()) ||
        !write_pair(dir, "otherca_root", other_x.get(), other_key.get())) {
        *err = "cannot make the CAs in " + dir;
        return false;
    }
    const cert_shape by_ca[] = {
        {"server", -DAY, 365 * DAY, "IP:127.0.0.1", false},
        {"client", -DAY, 365 * DAY, "DNS:gateway.example", false},
        {"expired", -2 * DAY, -DAY, "IP:127.0.0.1", false},
        {"wrongname", -DAY, 365 * DAY, "IP:127.0.0.2,DNS:other.example", false},
    };
    for (const cert_shape &s : by_ca)
        if (!make_one(dir, s, ca_x.get(), ca_key.get(), err))
            return false;
    return make_one(dir, {"otherca", -DAY, 365 * DAY, "IP:127.0.0.1", false}, other_x.get(),
                    other_key.get(), err) &&
           make_one(dir, {"selfsigned", -DAY, 365 * DAY, "IP:127.0.0.1", false}, nullptr, nullptr,
                    err);
}
