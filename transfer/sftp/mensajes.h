// The SFTP version 3 wire format: the requests this library sends, built into
// bytes, and the host's replies, parsed from bytes that are trusted for nothing.
// Every length is checked against what is left of its packet, every count
// against the bytes it would need, and a packet may not exceed `paquete_maximo`.
#pragma once

#include "binario.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace sockvor::sftp {

enum Tipo : std::uint8_t {
    INIT = 1,
    VERSION = 2,
    OPEN = 3,
    CLOSE = 4,
    READ = 5,
    FSTAT = 8,
    OPENDIR = 11,
    READDIR = 12,
    STATUS = 101,
    HANDLE = 102,
    DATA = 103,
    NAME = 104,
    ATTRS = 105,
};

enum Codigo : std::uint32_t {
    FX_OK = 0,
    FX_EOF = 1,
    FX_NO_SUCH_FILE = 2,
    FX_PERMISSION_DENIED = 3,
    FX_FAILURE = 4,
    FX_BAD_MESSAGE = 5,
    FX_NO_CONNECTION = 6,
    FX_CONNECTION_LOST = 7,
    FX_OP_UNSUPPORTED = 8,
};

constexpr std::uint32_t version = 3;
constexpr std::uint32_t abrir_lectura = 0x00000001; // SSH_FXF_READ
// The largest packet taken from the host: a 32 KiB read answer is a fraction of
// it, a directory answer of a few hundred names fits, and nothing the host says
// can make us hold more.
constexpr std::uint32_t paquete_maximo = 256 * 1024;
// A handle is at most 256 bytes long in version 3.
constexpr std::size_t handle_maximo = 256;

// Requests are built with sockvor's Escritor (binario.h); so are a played host's replies.
using sockvor::Escritor;

// ---- Requests --------------------------------------------------------------------

std::string pide_init();
std::string pide_open(std::uint32_t id, std::string_view ruta);
std::string pide_close(std::uint32_t id, std::string_view handle);
std::string pide_read(std::uint32_t id, std::string_view handle, std::uint64_t desde,
                      std::uint32_t largo);
std::string pide_fstat(std::uint32_t id, std::string_view handle);
std::string pide_opendir(std::uint32_t id, std::string_view ruta);
std::string pide_readdir(std::uint32_t id, std::string_view handle);
// The type of a request built above: the byte after its length.
inline Tipo tipo_de_pedido(std::string_view pedido) {
    return static_cast<Tipo>(pedido.at(4));
}

// ---- Replies ---------------------------------------------------------------------

struct Atributos {
    std::optional<std::uint64_t> tamano;
    std::optional<std::uint32_t> permisos;
    std::optional<std::uint32_t> mtime;
};

struct Estado {
    std::uint32_t codigo;
    std::string mensaje; // as the host sent it: not yet fit for a one-line message
};

struct Handle {
    std::string valor;
};

struct Datos {
    std::string_view bytes; // points into the packet it came from
};

struct Entrada {
    std::string nombre;
    std::string largo; // the long name, as `ls -l` prints the entry, or whatever the host sent
    Atributos atributos;
};

struct Nombres {
    std::vector<Entrada> entradas;
};

// A reply whose id could be read but whose body is malformed: it belongs to the
// request of that id, which fails with it, and the stream goes on (each packet
// is framed on its own).
struct Invalida {
    std::string motivo;
};

struct Respuesta {
    std::uint32_t id;
    std::variant<Estado, Handle, Datos, Nombres, Atributos, Invalida> cuerpo;
};

struct Version {
    std::uint32_t numero;
};

// `paquete` is one packet without its length field. On a malformed packet
// these return nothing and say why in `motivo`; lee_respuesta does so only when
// not even the type and id are there, and otherwise hands back an Invalida.
std::optional<Respuesta> lee_respuesta(std::string_view paquete, std::string &motivo);
std::optional<Version> lee_version(std::string_view paquete, std::string &motivo);

} // namespace sockvor::sftp
