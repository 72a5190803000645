// The ssh-agent protocol as the key holder (llavero.h) and the library speak it
// over their socket pair, and as the user's agent answers the holder. Either
// end may be a process a host has taken over, so every length is checked
// against the bytes that carry it and every count against the bytes it needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace sockvor::agente {

// libssh takes no longer answer, nor more keys in one.
constexpr std::uint32_t mensaje_maximo = 256 * 1024;
constexpr std::size_t identidades_maximas = 1024;

// What a signature request asks of an RSA key; neither means SHA-1 ssh-rsa.
constexpr std::uint32_t rsa_sha2_256 = 2;
constexpr std::uint32_t rsa_sha2_512 = 4;

struct Identidad {
    std::string blob;       // the public key, as SSH encodes it
    std::string comentario; // for a key file, its path
};

struct PideIdentidades {};
struct PideFirma {
    std::string blob, datos;
    std::uint32_t banderas = 0;
};
// The holder's own extension: the key files it kept back for their passphrase.
struct PideConFrase {};
// Anything else, malformed or not: answered with a failure.
struct Otro {};
using Pedido = std::variant<PideIdentidades, PideFirma, PideConFrase, Otro>;

// A key file that wants a passphrase, with its public key from NAME.pub (empty without one).
struct ConFrase {
    std::string archivo, blob;
};

// Every message goes as its length (4 bytes) and its body; a body is never
// empty nor longer than mensaje_maximo. The length announced by a header:
std::optional<std::uint32_t> largo_anunciado(std::string_view cabecera);

// One message over a stream socket, whole: sent without raising SIGPIPE, or
// received (its body). False or nothing on any failure, a timeout set on the
// socket or the peer's end included.
bool envia(int fd, std::string_view mensaje);
std::optional<std::string> recibe(int fd);

// Requests, framed.
std::string pide_identidades();
std::string pide_firma(const PideFirma &pedido);
std::string pide_con_frase();
// `cuerpo` is a message without its length.
Pedido lee_pedido(std::string_view cuerpo);

// Answers, framed.
std::string falla();
std::string identidades(const std::vector<Identidad> &lista);
std::string firma(std::string_view firma);
std::string con_frase(const std::vector<ConFrase> &lista);
// Nothing when `cuerpo` is a failure or malformed.
std::optional<std::vector<Identidad>> lee_identidades(std::string_view cuerpo);
std::optional<std::string> lee_firma(std::string_view cuerpo);
std::optional<std::vector<ConFrase>> lee_con_frase(std::string_view cuerpo);

// Whether `datos` is what a client signs to log in as `usuario` with the key
// `blob`: a publickey USERAUTH_REQUEST with its signature to follow. The holder
// signs nothing else, so a process that asks it for more learns nothing.
bool es_ingreso(std::string_view datos, std::string_view usuario, std::string_view blob);

} // namespace sockvor::agente
