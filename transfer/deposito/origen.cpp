#include "deposito/origen.h"

#include <charconv>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace sockvor {

namespace {

constexpr std::string_view version = "2";
constexpr std::size_t largo_clave = 32;
// The digest and seven decimal fields with their spaces; anything longer is not ours.
constexpr std::size_t largo_maximo = 200;

// One decimal field with no sign and no leading zero, then `fin`.
template <class T> bool campo(std::string_view &texto, T &valor, char fin) {
    auto corte = texto.find(fin);
    if (corte == std::string_view::npos && fin != '\0') {
        return false;
    }
    auto cifras = texto.substr(0, corte);
    if (cifras.empty() || (cifras.size() > 1 && cifras.front() == '0') ||
        cifras.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
    }
    auto [p, ec] = std::from_chars(cifras.data(), cifras.data() + cifras.size(), valor);
    if (ec != std::errc{} || p != cifras.data() + cifras.size()) {
        return false;
    }
    texto.remove_prefix(corte == std::string_view::npos ? texto.size() : corte + 1);
    return true;
}

bool clave_valida(std::string_view clave) {
    return clave.size() == largo_clave &&
           clave.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

Origen de_local(const struct stat &s, const Procedencia &p) {
    return {p.clave,
            p.medida.tamano.value_or(0),
            p.medida.mtime.value_or(0),
            static_cast<std::uint64_t>(s.st_ino),
            static_cast<std::uint64_t>(s.st_size),
            static_cast<std::int64_t>(s.st_mtim.tv_sec),
            static_cast<std::uint32_t>(s.st_mtim.tv_nsec)};
}

} // namespace

std::string clave_de(std::string_view ip, std::string_view login, std::string_view ruta) {
    std::string texto;
    for (auto parte : {ip, login, ruta}) {
        texto.append(parte);
        texto.push_back('\0');
    }
    unsigned char resumen[EVP_MAX_MD_SIZE];
    unsigned int largo = 0;
    if (EVP_Digest(texto.data(), texto.size(), resumen, &largo, EVP_sha256(), nullptr) != 1 ||
        largo < largo_clave / 2) {
        return {}; // no record can match an empty key
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string clave;
    for (std::size_t i = 0; i < largo_clave / 2; ++i) {
        clave += hex[resumen[i] >> 4];
        clave += hex[resumen[i] & 0xf];
    }
    return clave;
}

std::string escribe_origen(const Origen &o) {
    return std::string(version) + " " + o.clave + " " + std::to_string(o.tamano_remoto) + " " +
           std::to_string(o.mtime_remoto) + " " + std::to_string(o.inodo) + " " +
           std::to_string(o.tamano_local) + " " + std::to_string(o.mtime_local_s) + " " +
           std::to_string(o.mtime_local_ns);
}

std::optional<Origen> lee_origen(std::string_view texto) {
    if (texto.size() > largo_maximo || texto.substr(0, version.size() + 1) != "2 ") {
        return std::nullopt;
    }
    texto.remove_prefix(version.size() + 1);
    Origen o;
    auto espacio = texto.find(' ');
    if (espacio == std::string_view::npos || !clave_valida(texto.substr(0, espacio))) {
        return std::nullopt;
    }
    o.clave = texto.substr(0, espacio);
    texto.remove_prefix(espacio + 1);
    if (!campo(texto, o.tamano_remoto, ' ') || !campo(texto, o.mtime_remoto, ' ') ||
        !campo(texto, o.inodo, ' ') || !campo(texto, o.tamano_local, ' ') ||
        !campo(texto, o.mtime_local_s, ' ') || !campo(texto, o.mtime_local_ns, '\0') ||
        !texto.empty() || o.mtime_local_ns >= 1000000000) {
        return std::nullopt;
    }
    return o;
}

void registra_origen(int fd, const Procedencia &p) {
    struct stat s {};
    if (!p.medida.completa() || !clave_valida(p.clave) || ::fstat(fd, &s) != 0) {
        return;
    }
    auto texto = escribe_origen(de_local(s, p));
    // ENOTSUP where the file system keeps no user attributes: nothing recorded.
    ::fsetxattr(fd, atributo_origen, texto.data(), texto.size(), 0);
}

bool sin_cambios(const std::string &local, const Procedencia &p) {
    struct stat s {};
    if (!p.medida.completa() || !clave_valida(p.clave) || ::lstat(local.c_str(), &s) != 0 ||
        !S_ISREG(s.st_mode) || s.st_uid != ::geteuid() || (s.st_mode & (S_IWGRP | S_IWOTH))) {
        return false;
    }
    char valor[largo_maximo + 1];
    auto n = ::lgetxattr(local.c_str(), atributo_origen, valor, sizeof valor);
    if (n <= 0 || static_cast<std::size_t>(n) > largo_maximo) {
        return false;
    }
    auto o = lee_origen(std::string_view(valor, static_cast<std::size_t>(n)));
    return o && *o == de_local(s, p);
}

} // namespace sockvor
