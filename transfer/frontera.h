// Where the library meets its C callers: nothing thrown inside may cross.
#pragma once

#include "conexion.h"
#include "errores.h"
#include "sockvor.h"

#include <exception>
#include <new>

#define SOCKVOR_EXPORTA extern "C" __attribute__((visibility("default")))

namespace sockvor {

template <class Cuerpo> int frontera(char *error, Cuerpo &&cuerpo) noexcept {
    try {
        try {
            auto bloqueo = bloqueo_global();
            return cuerpo();
        } catch (const Fallo &f) {
            copia_error(error, f.texto);
            return f.codigo;
        } catch (const std::bad_alloc &) {
            copia_error(error, "Memoria insuficiente en la biblioteca de transferencia");
        } catch (const std::exception &e) {
            copia_error(error, std::string("Falla interna de la biblioteca de transferencia: ") +
                                   e.what());
        } catch (...) {
            copia_error(error, "Falla interna de la biblioteca de transferencia");
        }
    } catch (...) {
        // Building the message itself failed; a fixed text needs no memory.
        copia_error(error, "Falla interna de la biblioteca de transferencia");
    }
    return SOCKVOR_E_INTERNO;
}

} // namespace sockvor
