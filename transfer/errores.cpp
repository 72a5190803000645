#include "errores.h"

#include "sockvor.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace sockvor {

void falla(int codigo, std::string texto) {
    throw Fallo{codigo, std::move(texto)};
}

std::string causa(int numero) {
    char espacio[256];
    // The GNU strerror_r may return a static text instead of filling ours.
    const char *texto = strerror_r(numero, espacio, sizeof espacio);
    return texto ? texto : "error " + std::to_string(numero);
}

std::string visible(std::string_view nombre) {
    std::string salida;
    salida.reserve(nombre.size());
    for (unsigned char c : nombre) {
        if (c == '\n') {
            salida += "\\n";
        } else if (c == '\r') {
            salida += "\\r";
        } else if (c == '\t') {
            salida += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            salida += hex;
        } else {
            salida += static_cast<char>(c);
        }
    }
    return salida;
}

void copia_error(char *destino, std::string_view texto) {
    std::size_t largo = texto.size();
    const std::size_t maximo = SOCKVOR_TAM_ERROR - 1;
    if (largo > maximo) {
        largo = maximo;
        // Back up over continuation bytes so no character is left half-written.
        while (largo > 0 && (static_cast<unsigned char>(texto[largo]) & 0xC0) == 0x80) {
            --largo;
        }
    }
    std::memcpy(destino, texto.data(), largo);
    destino[largo] = '\0';
}

} // namespace sockvor
