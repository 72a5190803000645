#include "deposito/origen.h"

#include <charconv>
#include <cstdio>
#include <grp.h>
#include <map>
#include <mutex>
#include <openssl/evp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace sockvor {

namespace {

// Each record starts with its version and a space: decimal fields up to "3 ", then
// fixed hexadecimal columns.
constexpr std::string_view version_decimal = "3 ";
constexpr std::string_view version_fija = "4 ";
constexpr std::size_t largo_clave = 32;
constexpr std::size_t largo_remota = 16;
// The digest and three decimal fields with their spaces; anything longer is not ours.
constexpr std::size_t largo_maximo = 80;

// The first `cifras` hexadecimal digits of the SHA-256 of `texto`; empty if it fails.
std::string resumen_hex(const std::string &texto, std::size_t cifras) {
    // Fetched once and kept: fetching it again for each digest, as EVP_sha256()
    // makes OpenSSL 3 do, costs more than the digest, twice a file on each run.
    static EVP_MD *const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    unsigned char resumen[EVP_MAX_MD_SIZE];
    unsigned int largo = 0;
    if (!sha256 || EVP_Digest(texto.data(), texto.size(), resumen, &largo, sha256, nullptr) != 1 ||
        largo < cifras / 2) {
        return {};
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string salida;
    for (std::size_t i = 0; i < cifras / 2; ++i) {
        salida += hex[resumen[i] >> 4];
        salida += hex[resumen[i] & 0xf];
    }
    return salida;
}

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

bool hex_de(std::string_view texto, std::size_t largo) {
    return texto.size() == largo &&
           texto.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool clave_valida(std::string_view clave) {
    return hex_de(clave, largo_clave);
}

// The local copy's size is the remote size the host confirmed: the record
// names that, and the file is believed only at that size.
Origen de_local(const struct stat &s, const Procedencia &p) {
    return {remota_de(p), static_cast<std::uint64_t>(s.st_ino),
            static_cast<std::int64_t>(s.st_mtim.tv_sec),
            static_cast<std::uint32_t>(s.st_mtim.tv_nsec)};
}

// Whether only the running user is in group `gid`: its private group, as
// Debian makes one for each user (named after the user, no other member, no
// other account's own group), which a umask of 002 lets write every file the
// user makes. Any other group may hold someone who could rewrite a record.
// Asked of the system once per group a process meets.
bool grupo_propio(gid_t gid) {
    static std::mutex mutex;
    static std::map<gid_t, bool> sabidos;
    std::lock_guard bloqueo(mutex);
    if (auto it = sabidos.find(gid); it != sabidos.end()) {
        return it->second;
    }
    bool propio = false;
    const uid_t yo = ::geteuid();
    std::vector<char> espacio(1 << 16);
    passwd usuario{};
    passwd *u = nullptr;
    group grupo{};
    group *g = nullptr;
    if (::getpwuid_r(yo, &usuario, espacio.data(), espacio.size() / 2, &u) == 0 && u &&
        ::getgrgid_r(gid, &grupo, espacio.data() + espacio.size() / 2, espacio.size() / 2, &g) ==
            0 &&
        g && std::string_view(g->gr_name) == u->pw_name) {
        propio = true;
        for (char **m = g->gr_mem; *m; ++m) {
            propio = propio && std::string_view(*m) == u->pw_name;
        }
        ::setpwent();
        while (propio) {
            passwd otro{};
            passwd *o = nullptr;
            std::vector<char> suyo(1 << 14);
            if (::getpwent_r(&otro, suyo.data(), suyo.size(), &o) != 0 || !o) {
                break;
            }
            propio = o->pw_gid != gid || o->pw_uid == yo;
        }
        ::endpwent();
    }
    sabidos.emplace(gid, propio);
    return propio;
}

// Nobody but the user may rewrite the file, and so its record.
bool solo_del_usuario(const struct stat &s) {
    return s.st_uid == ::geteuid() && !(s.st_mode & S_IWOTH) &&
           (!(s.st_mode & S_IWGRP) || grupo_propio(s.st_gid));
}

Vista vista_de(const struct stat &s) {
    return {static_cast<std::uint64_t>(s.st_dev), static_cast<std::uint64_t>(s.st_ino),
            static_cast<std::int64_t>(s.st_ctim.tv_sec),
            static_cast<std::int64_t>(s.st_ctim.tv_nsec)};
}

std::optional<Origen> lee_decimal(std::string_view texto) {
    if (texto.size() > largo_maximo || !texto.starts_with(version_decimal)) {
        return std::nullopt;
    }
    texto.remove_prefix(version_decimal.size());
    Origen o;
    auto espacio = texto.find(' ');
    if (espacio == std::string_view::npos || !hex_de(texto.substr(0, espacio), largo_remota)) {
        return std::nullopt;
    }
    o.remota = texto.substr(0, espacio);
    texto.remove_prefix(espacio + 1);
    if (!campo(texto, o.inodo, ' ') || !campo(texto, o.mtime_local_s, ' ') ||
        !campo(texto, o.mtime_local_ns, '\0') || !texto.empty() || o.mtime_local_ns >= 1000000000) {
        return std::nullopt;
    }
    return o;
}

// "remota inode seconds nanoseconds", each column of a fixed width in hexadecimal.
std::optional<Origen> lee_fijo(std::string_view texto) {
    Origen o;
    auto columna = [&](std::size_t ancho, auto &valor, bool ultima) {
        auto cifras = texto.substr(0, ancho);
        if (!hex_de(cifras, ancho) || (!ultima && texto.substr(ancho, 1) != " ")) {
            return false;
        }
        auto [p, ec] = std::from_chars(cifras.data(), cifras.data() + ancho, valor, 16);
        texto.remove_prefix(ultima ? ancho : ancho + 1);
        return ec == std::errc{} && p == cifras.data() + ancho;
    };
    o.remota = texto.substr(0, largo_remota);
    if (!hex_de(o.remota, largo_remota) || texto.substr(largo_remota, 1) != " ") {
        return std::nullopt;
    }
    texto.remove_prefix(largo_remota + 1);
    if (!columna(16, o.inodo, false) || !columna(9, o.mtime_local_s, false) ||
        !columna(8, o.mtime_local_ns, true) || !texto.empty() || o.mtime_local_ns >= 1000000000) {
        return std::nullopt;
    }
    return o;
}

} // namespace

std::string clave_de(std::string_view ip, std::string_view login, std::string_view ruta) {
    std::string texto;
    for (auto parte : {ip, login, ruta}) {
        texto.append(parte);
        texto.push_back('\0');
    }
    return resumen_hex(texto, largo_clave); // no record can match an empty key
}

std::string remota_de(const Procedencia &p) {
    return resumen_hex(p.clave + " " + std::to_string(p.medida.tamano.value_or(0)) + " " +
                           std::to_string(p.medida.mtime.value_or(0)),
                       largo_remota);
}

// Fixed columns in hexadecimal: the same length for every file.
std::string escribe_origen(const Origen &o) {
    constexpr std::int64_t segundos_maximos = std::int64_t{1} << 36;
    if (o.mtime_local_s < 0 || o.mtime_local_s >= segundos_maximos ||
        !hex_de(o.remota, largo_remota)) {
        return {};
    }
    char texto[largo_origen + 1];
    std::snprintf(texto, sizeof texto, "%s%s %016llx %09llx %08x", version_fija.data(),
                  o.remota.c_str(), static_cast<unsigned long long>(o.inodo),
                  static_cast<unsigned long long>(o.mtime_local_s), o.mtime_local_ns);
    return texto;
}

std::optional<Origen> lee_origen(std::string_view texto) {
    if (texto.size() == largo_origen && texto.starts_with(version_fija)) {
        return lee_fijo(texto.substr(version_fija.size()));
    }
    return lee_decimal(texto);
}

void registra_origen(int fd, const Procedencia &p) {
    struct stat s {};
    if (!p.medida.completa() || !clave_valida(p.clave) || ::fstat(fd, &s) != 0 ||
        static_cast<std::uint64_t>(s.st_size) != *p.medida.tamano) {
        return;
    }
    auto texto = escribe_origen(de_local(s, p));
    if (texto.empty()) {
        return;
    }
    // ENOTSUP where the file system keeps no user attributes: nothing recorded.
    ::fsetxattr(fd, atributo_origen, texto.data(), texto.size(), 0);
}

bool sigue_igual(const std::string &local, const Vista &v) {
    struct stat s {};
    return ::lstat(local.c_str(), &s) == 0 && vista_de(s) == v;
}

std::optional<Vista> sin_cambios(const std::string &local, const Procedencia &p) {
    struct stat s {};
    if (!p.medida.completa() || !clave_valida(p.clave) || ::lstat(local.c_str(), &s) != 0 ||
        !S_ISREG(s.st_mode) || static_cast<std::uint64_t>(s.st_size) != *p.medida.tamano ||
        !solo_del_usuario(s)) {
        return std::nullopt;
    }
    char valor[largo_maximo + 1];
    auto n = ::lgetxattr(local.c_str(), atributo_origen, valor, sizeof valor);
    if (n <= 0 || static_cast<std::size_t>(n) > largo_maximo) {
        return std::nullopt;
    }
    auto o = lee_origen(std::string_view(valor, static_cast<std::size_t>(n)));
    if (!o || *o != de_local(s, p)) {
        return std::nullopt;
    }
    return vista_de(s);
}

void anticipa_grupo(gid_t gid) {
    grupo_propio(gid);
}

} // namespace sockvor
