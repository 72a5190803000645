// Failures travel inside the library as Fallo exceptions and leave it, at the
// two exported functions, as a code plus a Spanish text in the caller's buffer.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace sockvor {

struct Fallo {
    int codigo;
    std::string texto;
};

[[noreturn]] void falla(int codigo, std::string texto);

// A span of time as messages give it: whole seconds, "30 s".
std::string segundos(std::chrono::milliseconds plazo);

// strerror(numero), in a form fit to follow "causa: ".
std::string causa(int numero);

// A remote name, or any text that comes from the host or quotes it, as it can
// appear inside a one-line message: control bytes (C0, DEL, and C1 in UTF-8)
// and bytes that are not UTF-8 are spelled out (\n, \t, \xNN), so a hostile
// host cannot break the command's line or speak to the operator's terminal.
std::string visible(std::string_view nombre);

// Copies `texto` into a SOCKVOR_TAM_ERROR buffer, terminated, cut at a UTF-8
// character boundary if it is too long.
void copia_error(char *destino, std::string_view texto);

} // namespace sockvor
