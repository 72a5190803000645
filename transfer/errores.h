// Failures travel inside the library as Fallo exceptions and leave it, at the
// two exported functions, as a code plus a Spanish text in the caller's buffer.
#pragma once

#include <string>
#include <string_view>

namespace sockvor {

struct Fallo {
    int codigo;
    std::string texto;
};

[[noreturn]] void falla(int codigo, std::string texto);

// strerror(numero), in a form fit to follow "causa: ".
std::string causa(int numero);

// A remote name as it can appear inside a one-line message: control bytes are
// spelled out (\n, \t, \xNN) so a hostile name cannot break the command's line.
std::string visible(std::string_view nombre);

// Copies `texto` into a SOCKVOR_TAM_ERROR buffer, terminated, cut at a UTF-8
// character boundary if it is too long.
void copia_error(char *destino, std::string_view texto);

} // namespace sockvor
