#include "errores.h"

#include "sockvor.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace sockvor {

void falla(int codigo, std::string texto) {
    throw Fallo{codigo, std::move(texto)};
}

std::string segundos(std::chrono::milliseconds plazo) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(plazo).count()) + " s";
}

std::string causa(int numero) {
    char espacio[256];
    // The GNU strerror_r may return a static text instead of filling ours.
    const char *texto = strerror_r(numero, espacio, sizeof espacio);
    return texto ? texto : "error " + std::to_string(numero);
}

namespace {

// Length of the well-formed UTF-8 sequence at the start of `t`, or 0.
std::size_t largo_utf8(std::string_view t) {
    auto b = [&](std::size_t i) { return static_cast<unsigned char>(t[i]); };
    unsigned char c = b(0);
    std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (n == 0 || c > 0xF4 || t.size() < n) {
        return 0;
    }
    for (std::size_t i = 1; i < n; ++i) {
        if ((b(i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((c == 0xE0 && b(1) < 0xA0) || (c == 0xED && b(1) >= 0xA0) || (c == 0xF0 && b(1) < 0x90) ||
        (c == 0xF4 && b(1) >= 0x90)) {
        return 0;
    }
    return n;
}

void escapa(std::string &salida, unsigned char c) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    salida += hex;
}

} // namespace

std::string visible(std::string_view nombre) {
    std::string salida;
    salida.reserve(nombre.size());
    for (std::size_t i = 0; i < nombre.size();) {
        auto c = static_cast<unsigned char>(nombre[i]);
        if (c == '\n') {
            salida += "\\n";
        } else if (c == '\r') {
            salida += "\\r";
        } else if (c == '\t') {
            salida += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            escapa(salida, c);
        } else if (c < 0x80) {
            salida += static_cast<char>(c);
        } else if (auto n = largo_utf8(nombre.substr(i)); n == 0) {
            escapa(salida, c); // not UTF-8: shown byte by byte
        } else {
            // U+0080 to U+009F are controls too (a terminal may take U+009B for ESC [).
            bool c1 = c == 0xC2 && static_cast<unsigned char>(nombre[i + 1]) < 0xA0;
            if (c1) {
                escapa(salida, c);
                escapa(salida, static_cast<unsigned char>(nombre[i + 1]));
            } else {
                salida.append(nombre.substr(i, n));
            }
            i += n;
            continue;
        }
        ++i;
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
