#include "sftp/mensajes.h"

namespace sockvor::sftp {

namespace {

// Atribute flags of version 3.
constexpr std::uint32_t attr_size = 0x00000001;
constexpr std::uint32_t attr_uidgid = 0x00000002;
constexpr std::uint32_t attr_permissions = 0x00000004;
constexpr std::uint32_t attr_acmodtime = 0x00000008;
constexpr std::uint32_t attr_extended = 0x80000000;
constexpr std::uint32_t attr_conocidos =
    attr_size | attr_uidgid | attr_permissions | attr_acmodtime | attr_extended;

bool lee_atributos(Lector &l, Atributos &a, std::string &motivo) {
    std::uint32_t banderas = 0;
    if (!l.u32(banderas)) {
        motivo = "atributos truncados";
        return false;
    }
    if (banderas & ~attr_conocidos) {
        motivo = "atributos con banderas desconocidas";
        return false;
    }
    if (banderas & attr_size) {
        std::uint64_t tamano = 0;
        if (!l.u64(tamano)) {
            motivo = "tamaño truncado";
            return false;
        }
        a.tamano = tamano;
    }
    std::uint32_t ignorado = 0;
    if ((banderas & attr_uidgid) && !(l.u32(ignorado) && l.u32(ignorado))) {
        motivo = "propietario truncado";
        return false;
    }
    if (banderas & attr_permissions) {
        std::uint32_t permisos = 0;
        if (!l.u32(permisos)) {
            motivo = "permisos truncados";
            return false;
        }
        a.permisos = permisos;
    }
    if (banderas & attr_acmodtime) {
        std::uint32_t mtime = 0;
        if (!l.u32(ignorado) || !l.u32(mtime)) {
            motivo = "fechas truncadas";
            return false;
        }
        a.mtime = mtime;
    }
    if (banderas & attr_extended) {
        std::uint32_t cuantos = 0;
        if (!l.u32(cuantos) || cuantos > l.quedan() / 8) {
            motivo = "atributos extendidos truncados";
            return false;
        }
        std::string_view tipo, dato;
        for (std::uint32_t i = 0; i < cuantos; ++i) {
            if (!l.cadena(tipo) || !l.cadena(dato)) {
                motivo = "atributos extendidos truncados";
                return false;
            }
        }
    }
    return true;
}

bool lee_nombres(Lector &l, Nombres &n, std::string &motivo) {
    std::uint32_t cuantos = 0;
    // Each name takes at least its two length fields and the attribute flags.
    if (!l.u32(cuantos) || cuantos > l.quedan() / 12) {
        motivo = "cuenta de nombres imposible";
        return false;
    }
    n.entradas.reserve(cuantos);
    for (std::uint32_t i = 0; i < cuantos; ++i) {
        std::string_view nombre, largo;
        Entrada e;
        if (!l.cadena(nombre) || !l.cadena(largo)) {
            motivo = "nombre truncado";
            return false;
        }
        if (!lee_atributos(l, e.atributos, motivo)) {
            return false;
        }
        e.nombre = nombre;
        e.largo = largo;
        n.entradas.push_back(std::move(e));
    }
    return true;
}

} // namespace

std::string pide_init() {
    return Escritor(INIT).u32(version).termina();
}

std::string pide_open(std::uint32_t id, std::string_view ruta) {
    // No attributes: the file is only read.
    return Escritor(OPEN).u32(id).cadena(ruta).u32(abrir_lectura).u32(0).termina();
}

std::string pide_close(std::uint32_t id, std::string_view handle) {
    return Escritor(CLOSE).u32(id).cadena(handle).termina();
}

std::string pide_read(std::uint32_t id, std::string_view handle, std::uint64_t desde,
                      std::uint32_t largo) {
    return Escritor(READ).u32(id).cadena(handle).u64(desde).u32(largo).termina();
}

std::string pide_fstat(std::uint32_t id, std::string_view handle) {
    return Escritor(FSTAT).u32(id).cadena(handle).termina();
}

std::string pide_opendir(std::uint32_t id, std::string_view ruta) {
    return Escritor(OPENDIR).u32(id).cadena(ruta).termina();
}

std::string pide_readdir(std::uint32_t id, std::string_view handle) {
    return Escritor(READDIR).u32(id).cadena(handle).termina();
}

namespace {

// The body of a reply of `tipo`, or why it is malformed.
bool lee_cuerpo(Lector &l, std::uint8_t tipo, Respuesta &r, std::string &motivo) {
    switch (tipo) {
    case STATUS: {
        Estado e{};
        std::string_view mensaje, idioma;
        if (!l.u32(e.codigo)) {
            motivo = "estado truncado";
            return false;
        }
        // Version 3 hosts may leave the message and language out.
        if (l.quedan() > 0 && !(l.cadena(mensaje) && l.cadena(idioma))) {
            motivo = "mensaje de estado truncado";
            return false;
        }
        e.mensaje = mensaje;
        r.cuerpo = std::move(e);
        break;
    }
    case HANDLE: {
        std::string_view h;
        if (!l.cadena(h) || h.size() > handle_maximo) {
            motivo = "identificador de archivo inválido";
            return false;
        }
        r.cuerpo = Handle{std::string(h)};
        break;
    }
    case DATA: {
        std::string_view d;
        if (!l.cadena(d)) {
            motivo = "datos truncados";
            return false;
        }
        r.cuerpo = Datos{d};
        break;
    }
    case NAME: {
        Nombres n;
        if (!lee_nombres(l, n, motivo)) {
            return false;
        }
        r.cuerpo = std::move(n);
        break;
    }
    case ATTRS: {
        Atributos a;
        if (!lee_atributos(l, a, motivo)) {
            return false;
        }
        r.cuerpo = a;
        break;
    }
    default:
        motivo = "respuesta de tipo desconocido " + std::to_string(tipo);
        return false;
    }
    if (l.quedan() != 0) {
        motivo = "bytes de más al final de una respuesta";
        return false;
    }
    return true;
}

} // namespace

std::optional<Respuesta> lee_respuesta(std::string_view paquete, std::string &motivo) {
    Lector l(paquete);
    std::uint8_t tipo = 0;
    Respuesta r{};
    if (!l.u8(tipo) || !l.u32(r.id)) {
        motivo = "paquete sin tipo o sin número de pedido";
        return std::nullopt;
    }
    std::string por_que;
    if (!lee_cuerpo(l, tipo, r, por_que)) {
        r.cuerpo = Invalida{std::move(por_que)};
    }
    return r;
}

std::optional<Version> lee_version(std::string_view paquete, std::string &motivo) {
    Lector l(paquete);
    std::uint8_t tipo = 0;
    Version v{};
    if (!l.u8(tipo) || tipo != VERSION || !l.u32(v.numero)) {
        motivo = "el host no respondió con su versión de SFTP";
        return std::nullopt;
    }
    // Extension pairs follow; none is needed, but they must be well formed.
    std::string_view nombre, dato;
    while (l.quedan() > 0) {
        if (!l.cadena(nombre) || !l.cadena(dato)) {
            motivo = "extensiones de la versión truncadas";
            return std::nullopt;
        }
    }
    return v;
}

} // namespace sockvor::sftp
