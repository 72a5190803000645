// The key holder's keys and signatures, with OpenSSL: a private key read from
// a key file's text (OpenSSH's own format, unencrypted, or PEM), the public key
// SSH knows it by, and the signatures SSH expects of it. And libssh's form of
// a public key, to and from the bytes that name it on the wire.
#pragma once

#include "recursos.h"

#include <cstdint>
#include <memory>
#include <openssl/evp.h>
#include <optional>
#include <string>
#include <string_view>

namespace sockvor {

class Firmante {
  public:
    // Nothing for a text OpenSSL cannot read without a passphrase, or a key
    // that is not ed25519, ECDSA on nistp256/384/521 or RSA. Never prompts.
    static std::optional<Firmante> de_texto(std::string_view texto);

    // The public key, as SSH encodes it.
    const std::string &blob() const { return blob_; }
    // The signature of `datos`, as SSH encodes it; `banderas` choose an RSA
    // key's hash (agente.h). Nothing if OpenSSL fails.
    std::optional<std::string> firma(std::string_view datos, std::uint32_t banderas) const;

  private:
    struct Libera {
        void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
    };
    Firmante(EVP_PKEY *llave, std::string tipo, std::string blob)
        : llave_(llave), tipo_(std::move(tipo)), blob_(std::move(blob)) {}

    std::unique_ptr<EVP_PKEY, Libera> llave_;
    std::string tipo_; // "ssh-ed25519", "ecdsa-sha2-nistp256", "ssh-rsa"...
    std::string blob_;
};

// libssh's public key for `blob`, or nothing when libssh cannot read it.
Llave llave_de_blob(std::string_view blob);
// The public blob of a libssh key; empty if libssh cannot export it.
std::string blob_de(ssh_key llave);

} // namespace sockvor
