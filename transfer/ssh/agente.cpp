#include "ssh/agente.h"

#include "binario.h"

#include <cerrno>
#include <sys/socket.h>

namespace sockvor::agente {

namespace {

enum Tipo : std::uint8_t {
    FALLA = 5,
    EXITO = 6,
    PIDE_IDENTIDADES = 11,
    IDENTIDADES = 12,
    PIDE_FIRMA = 13,
    FIRMA = 14,
    EXTENSION = 27,
};

constexpr std::string_view extension_con_frase = "con-frase@acuses";
constexpr std::uint8_t userauth_request = 50;

// The type that opens a message.
std::optional<std::uint8_t> tipo(Lector &l) {
    std::uint8_t t = 0;
    if (!l.u8(t)) {
        return std::nullopt;
    }
    return t;
}

// A count whose entries need at least `minimo` bytes each: no more than the bytes left allow.
bool cuenta(Lector &l, std::size_t minimo, std::uint32_t &n) {
    return l.u32(n) && n <= l.quedan() / minimo;
}

// Both lists in answers are a count, then two strings an entry, and nothing after.
template <class Par> std::string escribe_pares(Tipo t, const std::vector<Par> &lista) {
    Escritor e(t);
    e.u32(static_cast<std::uint32_t>(lista.size()));
    for (const auto &[primera, segunda] : lista) {
        e.cadena(primera).cadena(segunda);
    }
    return e.termina();
}

template <class Par> std::optional<std::vector<Par>> lee_pares(Tipo t, std::string_view cuerpo) {
    Lector l(cuerpo);
    std::uint32_t n = 0;
    if (tipo(l) != t || !cuenta(l, 8, n)) {
        return std::nullopt;
    }
    std::vector<Par> lista;
    for (std::uint32_t i = 0; i < n; ++i) {
        std::string_view primera, segunda;
        if (!l.cadena(primera) || !l.cadena(segunda)) {
            return std::nullopt;
        }
        lista.push_back({std::string(primera), std::string(segunda)});
    }
    if (l.quedan() != 0) {
        return std::nullopt;
    }
    return lista;
}

} // namespace

std::optional<std::uint32_t> largo_anunciado(std::string_view cabecera) {
    Lector l(cabecera);
    std::uint32_t largo = 0;
    if (cabecera.size() != 4 || !l.u32(largo) || largo == 0 || largo > mensaje_maximo) {
        return std::nullopt;
    }
    return largo;
}

bool envia(int fd, std::string_view mensaje) {
    while (!mensaje.empty()) {
        ssize_t n = ::send(fd, mensaje.data(), mensaje.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        mensaje.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

namespace {

bool lee_todo(int fd, char *destino, std::size_t largo) {
    while (largo > 0) {
        ssize_t n = ::recv(fd, destino, largo, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        destino += n;
        largo -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::optional<std::string> recibe(int fd) {
    char cabecera[4];
    if (!lee_todo(fd, cabecera, sizeof cabecera)) {
        return std::nullopt;
    }
    auto largo = largo_anunciado({cabecera, sizeof cabecera});
    std::string cuerpo(largo.value_or(0), '\0');
    if (!largo || !lee_todo(fd, cuerpo.data(), cuerpo.size())) {
        return std::nullopt;
    }
    return cuerpo;
}

std::string pide_identidades() {
    return Escritor(PIDE_IDENTIDADES).termina();
}

std::string pide_firma(const PideFirma &pedido) {
    return Escritor(PIDE_FIRMA)
        .cadena(pedido.blob)
        .cadena(pedido.datos)
        .u32(pedido.banderas)
        .termina();
}

std::string pide_con_frase() {
    return Escritor(EXTENSION).cadena(extension_con_frase).termina();
}

Pedido lee_pedido(std::string_view cuerpo) {
    Lector l(cuerpo);
    auto t = tipo(l);
    if (t == PIDE_IDENTIDADES && l.quedan() == 0) {
        return PideIdentidades{};
    }
    std::string_view blob, datos, nombre;
    std::uint32_t banderas = 0;
    if (t == PIDE_FIRMA && l.cadena(blob) && l.cadena(datos) && l.u32(banderas) &&
        l.quedan() == 0) {
        return PideFirma{std::string(blob), std::string(datos), banderas};
    }
    if (t == EXTENSION && l.cadena(nombre) && nombre == extension_con_frase && l.quedan() == 0) {
        return PideConFrase{};
    }
    return Otro{};
}

std::string falla() {
    return Escritor(FALLA).termina();
}

std::string identidades(const std::vector<Identidad> &lista) {
    return escribe_pares(IDENTIDADES, lista);
}

std::string firma(std::string_view firma) {
    return Escritor(FIRMA).cadena(firma).termina();
}

std::string con_frase(const std::vector<ConFrase> &lista) {
    return escribe_pares(EXITO, lista);
}

std::optional<std::vector<Identidad>> lee_identidades(std::string_view cuerpo) {
    return lee_pares<Identidad>(IDENTIDADES, cuerpo);
}

std::optional<std::string> lee_firma(std::string_view cuerpo) {
    Lector l(cuerpo);
    std::string_view firma;
    if (tipo(l) != FIRMA || !l.cadena(firma) || l.quedan() != 0) {
        return std::nullopt;
    }
    return std::string(firma);
}

std::optional<std::vector<ConFrase>> lee_con_frase(std::string_view cuerpo) {
    return lee_pares<ConFrase>(EXITO, cuerpo);
}

bool es_ingreso(std::string_view datos, std::string_view usuario, std::string_view blob) {
    Lector l(datos);
    std::string_view sesion, quien, servicio, metodo, algoritmo, llave;
    std::uint8_t mensaje = 0, con_firma = 0;
    return l.cadena(sesion) && !sesion.empty() && l.u8(mensaje) && mensaje == userauth_request &&
           l.cadena(quien) && quien == usuario && l.cadena(servicio) &&
           servicio == "ssh-connection" && l.cadena(metodo) && metodo == "publickey" &&
           l.u8(con_firma) && con_firma == 1 && l.cadena(algoritmo) && !algoritmo.empty() &&
           l.cadena(llave) && llave == blob && l.quedan() == 0;
}

} // namespace sockvor::agente
