// Feeds the host's side of the channel with fuzzed bytes, cut into pieces the
// first byte chooses, and checks what the parser hands on: every packet within
// the cap, every piece of every reply inside its packet, every count bounded by
// the bytes that carried it.
#include "sftp/mensajes.h"
#include "sftp/paquetes.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace sockvor::sftp;

void exige(bool condicion) {
    if (!condicion) {
        std::abort();
    }
}

bool dentro(std::string_view parte, std::string_view todo) {
    return parte.data() >= todo.data() && parte.data() + parte.size() <= todo.data() + todo.size();
}

void revisa(std::string_view paquete) {
    exige(!paquete.empty() && paquete.size() <= paquete_maximo);
    std::string motivo;
    if (auto r = lee_respuesta(paquete, motivo)) {
        exige(motivo.empty());
        if (auto *i = std::get_if<Invalida>(&r->cuerpo)) {
            exige(!i->motivo.empty());
        } else if (auto *d = std::get_if<Datos>(&r->cuerpo)) {
            exige(dentro(d->bytes, paquete));
        } else if (auto *h = std::get_if<Handle>(&r->cuerpo)) {
            exige(h->valor.size() <= handle_maximo);
        } else if (auto *n = std::get_if<Nombres>(&r->cuerpo)) {
            exige(n->entradas.size() <= paquete.size() / 12);
            for (const auto &e : n->entradas) {
                exige(e.nombre.size() < paquete.size());
                exige(e.largo.size() < paquete.size());
            }
        } else if (auto *e = std::get_if<Estado>(&r->cuerpo)) {
            exige(e->mensaje.size() < paquete.size());
        }
    } else {
        exige(!motivo.empty());
    }
    motivo.clear();
    if (!lee_version(paquete, motivo)) {
        exige(!motivo.empty());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *datos, std::size_t largo) {
    if (largo == 0) {
        return 0;
    }
    std::size_t trozo = datos[0] % 64 + 1;
    std::string_view resto(reinterpret_cast<const char *>(datos + 1), largo - 1);
    Ensamblador ensamblador;
    std::string motivo;
    while (!resto.empty() && motivo.empty()) {
        auto pieza = resto.substr(0, trozo);
        resto.remove_prefix(pieza.size());
        ensamblador.agrega(pieza);
        while (auto paquete = ensamblador.siguiente(motivo)) {
            revisa(*paquete);
        }
    }
    return 0;
}
