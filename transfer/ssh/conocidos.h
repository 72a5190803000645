// known_hosts read as OpenSSH's client reads it. libssh 0.10 gives up on a
// whole file at its first malformed line, hiding a valid entry that stands after
// it, and skips @revoked lines, accepting a revoked key; so the files are read
// here, strictly and within bounds: a malformed line is skipped (and reported),
// never fatal, and never taken for a key.
#pragma once

#include "recursos.h"

#include <string>
#include <string_view>
#include <vector>

namespace sockvor {

enum class Veredicto { conocida, desconocida, cambiada, revocada };

struct LineaOmitida {
    std::size_t numero;
    std::string motivo; // fit to follow "línea N: "
};

// What the files say about one host.
struct Conocidos {
    struct Entrada {
        bool revocada;
        Llave llave;
        std::string archivo;
    };
    std::vector<Entrada> entradas;      // valid lines naming the host, but @cert-authority
    std::vector<LineaOmitida> omitidas; // malformed lines that name the host, or may
};

// "name" on port 22, "[name]:port" on another: the name known_hosts lines give.
std::string nombre_conocido(const std::string &host, unsigned puerto);

// Adds to `r` what the text of the known_hosts file `archivo` says about `nombre`.
void lee_conocidos(std::string_view texto, const std::string &nombre, const std::string &archivo,
                   Conocidos &r);

// The same for the file itself; a missing file says nothing, one that cannot be
// read, or is past any sane size, is a configuration failure.
void lee_archivo_conocidos(const std::string &archivo, const std::string &nombre, Conocidos &r);

// As OpenSSH decides: revoked if a @revoked entry holds the key; known if
// another entry does; changed if the host has entries, all with other keys.
Veredicto juzga(const Conocidos &c, ssh_key llave);

// The host key algorithms of the known keys first, then the others libssh
// offers by default; empty when no key is known.
std::string algoritmos_preferidos(const Conocidos &c);

} // namespace sockvor
