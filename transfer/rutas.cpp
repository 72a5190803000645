#include "rutas.h"

#include "sockvor.h"

#include <charconv>

namespace sockvor {

namespace {

std::optional<int> lee_puerto(std::string_view texto) {
    int puerto = 0;
    auto [fin, ec] = std::from_chars(texto.data(), texto.data() + texto.size(), puerto);
    if (texto.empty() || ec != std::errc{} || fin != texto.data() + texto.size() || puerto < 1 ||
        puerto > 65535) {
        return std::nullopt;
    }
    return puerto;
}

bool es_separador(char c) {
    return c == '\\' || c == '/';
}

} // namespace

std::optional<Direccion> lee_direccion(std::string_view ip) {
    if (ip.empty()) {
        return std::nullopt;
    }
    for (unsigned char c : ip) {
        if (c <= 0x20 || c == 0x7f) {
            return std::nullopt;
        }
    }
    if (ip.front() == '[') {
        auto cierre = ip.find(']');
        if (cierre == std::string_view::npos || cierre == 1) {
            return std::nullopt;
        }
        Direccion d{std::string(ip.substr(1, cierre - 1)), 0};
        auto resto = ip.substr(cierre + 1);
        if (resto.empty()) {
            return d;
        }
        if (resto.front() != ':') {
            return std::nullopt;
        }
        auto puerto = lee_puerto(resto.substr(1));
        if (!puerto) {
            return std::nullopt;
        }
        d.puerto = *puerto;
        return d;
    }
    auto dos_puntos = ip.find(':');
    if (dos_puntos == std::string_view::npos) {
        return Direccion{std::string(ip), 0};
    }
    if (ip.find(':', dos_puntos + 1) != std::string_view::npos) {
        // More than one colon: an IPv6 address written without brackets.
        return Direccion{std::string(ip), 0};
    }
    auto puerto = lee_puerto(ip.substr(dos_puntos + 1));
    if (dos_puntos == 0 || !puerto) {
        return std::nullopt;
    }
    return Direccion{std::string(ip.substr(0, dos_puntos)), *puerto};
}

std::optional<RutaRemota> ruta_sftp(std::string_view windows) {
    std::string ruta;
    ruta.reserve(windows.size() + 1);
    // A drive letter path needs the leading slash of the SFTP form.
    if (!windows.empty() && !es_separador(windows.front())) {
        ruta += '/';
    }
    for (char c : windows) {
        ruta += es_separador(c) ? '/' : c;
    }
    auto barra = ruta.rfind('/');
    if (barra + 1 == ruta.size()) {
        return std::nullopt;
    }
    return RutaRemota{barra == 0 ? std::string(1, '/') : ruta.substr(0, barra),
                      ruta.substr(barra + 1)};
}

bool tiene_comodin(std::string_view texto) {
    return texto.find_first_of("*?") != std::string_view::npos;
}

namespace {

char minuscula(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

template <class Igual>
bool coincide_con(std::string_view patron, std::string_view nombre, Igual igual) {
    // Greedy matching with one backtrack point: linear for the patterns we see
    // and never exponential on a hostile name.
    std::size_t p = 0, n = 0;
    std::size_t estrella = std::string_view::npos, retorno = 0;
    while (n < nombre.size()) {
        if (p < patron.size() && (patron[p] == '?' || igual(patron[p], nombre[n]))) {
            ++p;
            ++n;
        } else if (p < patron.size() && patron[p] == '*') {
            estrella = p++;
            retorno = n;
        } else if (estrella != std::string_view::npos) {
            p = estrella + 1;
            n = ++retorno;
        } else {
            return false;
        }
    }
    while (p < patron.size() && patron[p] == '*') {
        ++p;
    }
    return p == patron.size();
}

} // namespace

bool coincide(std::string_view patron, std::string_view nombre) {
    return coincide_con(patron, nombre, [](char a, char b) { return a == b; });
}

bool coincide_ignorando_mayusculas(std::string_view patron, std::string_view nombre) {
    return coincide_con(patron, nombre,
                        [](char a, char b) { return minuscula(a) == minuscula(b); });
}

std::optional<std::string> nombre_inseparable(std::string_view nombre) {
    for (unsigned char c : nombre) {
        if (c == static_cast<unsigned char>(SOCKVOR_SEPARADOR)) {
            return "contiene el separador de la lista";
        }
        if (c < 0x20 || c == 0x7f) {
            return "contiene caracteres de control";
        }
        if (c == '/' || c == '\\') {
            return "contiene una barra";
        }
    }
    auto xml = nombre.find("xml");
    if (xml == std::string_view::npos) {
        return "no termina en xml";
    }
    if (xml + 3 != nombre.size()) {
        return "contiene \"xml\" antes de su final";
    }
    return std::nullopt;
}

std::string en_carpeta(const std::string &carpeta, std::string_view nombre) {
    return (carpeta == "/" ? "" : carpeta) + "/" + std::string(nombre);
}

} // namespace sockvor
