// Certificates for the protected server link, made at test time with the
// OpenSSL library: a CA, a server certificate for 127.0.0.1 and a client
// certificate signed by it, and the bad server certificates a gateway must
// refuse. All keys are EC P-256. Nothing here is gateway code.
#pragma once

#include <string>

// The files test_certs_make writes into its directory, each a PEM
// certificate "<name>.pem" with its private key "<name>.key" (mode 0600).
//   ca          the trust anchor the gateway is given
//   server      127.0.0.1 (IP SAN), signed by ca
//   client      the gateway's own certificate, signed by ca
//   expired     like server, but its validity ended yesterday
//   wrongname   signed by ca, for 127.0.0.2 and other.example only
//   otherca     for 127.0.0.1, signed by a second CA (otherca_root)
//   selfsigned  for 127.0.0.1, signed by its own key
struct test_certs {
    std::string dir;
    std::string pem(const char *name) const { return dir + "/" + name + ".pem"; }
    std::string key(const char *name) const { return dir + "/" + name + ".key"; }
    // The config.txt lines of a gateway that trusts ca and shows client.
    std::string gateway_keys() const
    {
        return "tls_ca_file=" + pem("ca") + "\ntls_cert_file=" + pem("client") +
               "\ntls_key_file=" + key("client") + "\n";
    }
};

// Writes the set into dir (which must exist). False with the reason in
// *err when a key, a certificate or a file cannot be made.
bool test_certs_make(const std::string &dir, test_certs *out, std::string *err);
