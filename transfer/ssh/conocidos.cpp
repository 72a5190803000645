#include "ssh/conocidos.h"

#include "errores.h"
#include "sockvor.h"
#include "ssh/configssh.h"

#include <cerrno>
#include <fcntl.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <optional>

namespace sockvor {

namespace {

std::vector<std::string_view> campos(std::string_view linea, char separador = 0) {
    std::vector<std::string_view> salida;
    std::size_t i = 0;
    auto es_sep = [&](char c) { return separador ? c == separador : c == ' ' || c == '\t'; };
    while (i < linea.size()) {
        while (!separador && i < linea.size() && es_sep(linea[i])) {
            ++i;
        }
        std::size_t inicio = i;
        while (i < linea.size() && !es_sep(linea[i])) {
            ++i;
        }
        if (i > inicio || separador) {
            salida.push_back(linea.substr(inicio, i - inicio));
        }
        if (separador) {
            ++i;
        }
    }
    return salida;
}

std::optional<std::string> de_base64(std::string_view t) {
    if (t.empty() || t.size() % 4 != 0 || t.size() > 1 << 20) {
        return std::nullopt;
    }
    std::string salida(t.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(salida.data()),
                            reinterpret_cast<const unsigned char *>(t.data()),
                            static_cast<int>(t.size()));
    if (n < 0) {
        return std::nullopt;
    }
    std::size_t relleno = (t.back() == '=') + (t[t.size() - 2] == '=');
    salida.resize(static_cast<std::size_t>(n) - relleno);
    return salida;
}

// "|1|salt|hash": HMAC-SHA1 of the name keyed with the salt, as `ssh-keygen -H` writes.
std::optional<bool> coincide_cifrado(std::string_view campo, const std::string &nombre) {
    auto partes = campos(campo.substr(1), '|');
    if (partes.size() != 3 || partes[0] != "1") {
        return std::nullopt;
    }
    auto sal = de_base64(partes[1]);
    auto esperado = de_base64(partes[2]);
    if (!sal || !esperado || sal->size() != 20 || esperado->size() != 20) {
        return std::nullopt;
    }
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned largo = 0;
    if (!HMAC(EVP_sha1(), sal->data(), static_cast<int>(sal->size()),
              reinterpret_cast<const unsigned char *>(nombre.data()), nombre.size(), hash,
              &largo)) {
        return std::nullopt;
    }
    return std::string_view(reinterpret_cast<const char *>(hash), largo) == *esperado;
}

std::string_view tipo_de(ssh_key llave) {
    const char *t = ssh_key_type_to_char(ssh_key_type(llave));
    return t ? t : "";
}

// The key of a line, only if it reads back exactly as written: its type name
// known and the blob of that very type.
Llave lee_llave(std::string_view tipo, std::string_view cuerpo) {
    std::string t(tipo), b(cuerpo);
    auto cual = ssh_key_type_from_name(t.c_str());
    ssh_key cruda = nullptr;
    if (cual == SSH_KEYTYPE_UNKNOWN || ssh_pki_import_pubkey_base64(b.c_str(), cual, &cruda) != 0) {
        return nullptr;
    }
    Llave llave(cruda);
    char *vuelta = nullptr;
    bool igual = ssh_pki_export_pubkey_base64(cruda, &vuelta) == 0 && vuelta && b == vuelta &&
                 t == tipo_de(cruda);
    ssh_string_free_char(vuelta);
    return igual ? std::move(llave) : nullptr;
}

constexpr const char *por_omision[] = {"ssh-ed25519",
                                       "ecdsa-sha2-nistp521",
                                       "ecdsa-sha2-nistp384",
                                       "ecdsa-sha2-nistp256",
                                       "sk-ssh-ed25519@openssh.com",
                                       "sk-ecdsa-sha2-nistp256@openssh.com",
                                       "rsa-sha2-512",
                                       "rsa-sha2-256"};

} // namespace

std::string nombre_conocido(const std::string &host, unsigned puerto) {
    std::string baja;
    for (char c : host) {
        baja += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    }
    return puerto == 22 ? baja : "[" + baja + "]:" + std::to_string(puerto);
}

void lee_conocidos(std::string_view texto, const std::string &nombre, const std::string &archivo,
                   Conocidos &r) {
    std::size_t numero = 0;
    for (std::size_t inicio = 0; inicio < texto.size();) {
        auto fin = texto.find('\n', inicio);
        if (fin == std::string_view::npos) {
            fin = texto.size();
        }
        auto linea = texto.substr(inicio, fin - inicio);
        inicio = fin + 1;
        ++numero;
        if (!linea.empty() && linea.back() == '\r') {
            linea.remove_suffix(1);
        }
        auto c = campos(linea);
        if (c.empty() || c[0].front() == '#') {
            continue;
        }
        auto omite = [&](std::string motivo) { r.omitidas.push_back({numero, std::move(motivo)}); };
        std::string_view marca;
        if (c[0].front() == '@') {
            marca = c[0];
            c.erase(c.begin());
            if (c.empty()) {
                continue; // names no host
            }
        }
        bool nombra;
        if (c[0].front() == '|') {
            auto si = coincide_cifrado(c[0], nombre);
            if (!si) {
                omite("nombre cifrado ilegible");
                continue;
            }
            nombra = *si;
        } else {
            nombra = coincide_patrones(campos(c[0], ','), nombre);
        }
        if (!nombra) {
            continue;
        }
        if (!marca.empty() && marca != "@revoked" && marca != "@cert-authority") {
            omite("marca desconocida " + visible(marca));
        } else if (c.size() < 3) {
            omite("falta la llave");
        } else if (ssh_key_type_from_name(std::string(c[1]).c_str()) == SSH_KEYTYPE_UNKNOWN) {
            omite("tipo de llave desconocido " + visible(c[1]));
        } else if (auto llave = lee_llave(c[1], c[2]); !llave) {
            omite("llave " + visible(c[1]) + " ilegible");
        } else if (marca != "@cert-authority") {
            // A certificate authority vouches only for host certificates, which
            // this client does not ask for: as OpenSSH does for a plain key, ignored.
            r.entradas.push_back({marca == "@revoked", std::move(llave), archivo});
        }
    }
}

Veredicto juzga(const Conocidos &c, ssh_key llave) {
    bool conocida = false, otra = false;
    for (const auto &e : c.entradas) {
        bool misma = ssh_key_cmp(e.llave.get(), llave, SSH_KEY_CMP_PUBLIC) == 0;
        if (e.revocada && misma) {
            return Veredicto::revocada;
        }
        conocida = conocida || (!e.revocada && misma);
        otra = otra || !e.revocada;
    }
    return conocida ? Veredicto::conocida : otra ? Veredicto::cambiada : Veredicto::desconocida;
}

void lee_archivo_conocidos(const std::string &archivo, const std::string &nombre, Conocidos &r) {
    // Far beyond any real file (a line is under 1 KiB), yet a bound on what is read.
    constexpr std::size_t limite = 16u << 20;
    Descriptor fd(::open(archivo.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return;
        }
        falla(SOCKVOR_E_CONFIG, "No se pudo leer " + visible(archivo) + ": " + causa(errno));
    }
    std::string texto;
    char bloque[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), bloque, sizeof bloque);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            falla(SOCKVOR_E_CONFIG, "No se pudo leer " + visible(archivo) + ": " + causa(errno));
        }
        if (n == 0) {
            break;
        }
        texto.append(bloque, static_cast<std::size_t>(n));
        if (texto.size() > limite) {
            falla(SOCKVOR_E_CONFIG,
                  "El archivo " + visible(archivo) + " pasa de 16 MiB: no parece un known_hosts");
        }
    }
    lee_conocidos(texto, nombre, archivo, r);
}

std::string algoritmos_preferidos(const Conocidos &c) {
    std::string primeros, resto;
    for (std::string_view algoritmo : por_omision) {
        std::string_view tipo = algoritmo.rfind("rsa-sha2-", 0) == 0 ? "ssh-rsa" : algoritmo;
        bool sabida = false;
        for (const auto &e : c.entradas) {
            sabida = sabida || (!e.revocada && tipo_de(e.llave.get()) == tipo);
        }
        auto &lista = sabida ? primeros : resto;
        if (!lista.empty()) {
            lista += ',';
        }
        lista += algoritmo;
    }
    return primeros.empty() ? "" : primeros + "," + resto;
}

} // namespace sockvor
