#include "origen.h"

#include <charconv>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace sockvor {

namespace {

constexpr std::string_view version = "1";
// Seven decimal fields and their spaces; anything longer is not ours.
constexpr std::size_t largo_maximo = 160;

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

Origen de_local(const struct stat &s, std::uint64_t tamano_remoto, std::uint32_t mtime_remoto) {
    return {tamano_remoto,
            mtime_remoto,
            static_cast<std::uint64_t>(s.st_ino),
            static_cast<std::uint64_t>(s.st_size),
            static_cast<std::int64_t>(s.st_mtim.tv_sec),
            static_cast<std::uint32_t>(s.st_mtim.tv_nsec)};
}

} // namespace

std::string escribe_origen(const Origen &o) {
    return std::string(version) + " " + std::to_string(o.tamano_remoto) + " " +
           std::to_string(o.mtime_remoto) + " " + std::to_string(o.inodo) + " " +
           std::to_string(o.tamano_local) + " " + std::to_string(o.mtime_local_s) + " " +
           std::to_string(o.mtime_local_ns);
}

std::optional<Origen> lee_origen(std::string_view texto) {
    if (texto.size() > largo_maximo || texto.substr(0, version.size() + 1) != "1 ") {
        return std::nullopt;
    }
    texto.remove_prefix(version.size() + 1);
    Origen o;
    if (!campo(texto, o.tamano_remoto, ' ') || !campo(texto, o.mtime_remoto, ' ') ||
        !campo(texto, o.inodo, ' ') || !campo(texto, o.tamano_local, ' ') ||
        !campo(texto, o.mtime_local_s, ' ') || !campo(texto, o.mtime_local_ns, '\0') ||
        !texto.empty() || o.mtime_local_ns >= 1000000000) {
        return std::nullopt;
    }
    return o;
}

void registra_origen(int fd, std::uint64_t tamano_remoto, std::uint32_t mtime_remoto) {
    struct stat s {};
    if (::fstat(fd, &s) != 0) {
        return;
    }
    auto texto = escribe_origen(de_local(s, tamano_remoto, mtime_remoto));
    // ENOTSUP where the file system keeps no user attributes: nothing recorded.
    ::fsetxattr(fd, atributo_origen, texto.data(), texto.size(), 0);
}

bool sin_cambios(const std::string &local, std::uint64_t tamano_remoto,
                 std::uint32_t mtime_remoto) {
    struct stat s {};
    if (::lstat(local.c_str(), &s) != 0 || !S_ISREG(s.st_mode)) {
        return false;
    }
    char valor[largo_maximo + 1];
    auto n = ::lgetxattr(local.c_str(), atributo_origen, valor, sizeof valor);
    if (n <= 0 || static_cast<std::size_t>(n) > largo_maximo) {
        return false;
    }
    auto o = lee_origen(std::string_view(valor, static_cast<std::size_t>(n)));
    return o && *o == de_local(s, tamano_remoto, mtime_remoto);
}

} // namespace sockvor
