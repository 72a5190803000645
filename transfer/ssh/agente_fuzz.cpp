// Feeds the agent protocol's decoders with fuzzed bytes, as a message's body
// from the other end of the key holder's socket or from the user's agent, and
// checks that whatever a decoder takes it takes whole: encoded again, it gives
// back exactly the bytes it came from.
#include "ssh/agente.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace sockvor::agente;

void exige(bool condicion) {
    if (!condicion) {
        std::abort();
    }
}

// A framed message's body.
std::string_view cuerpo(const std::string &mensaje) {
    exige(mensaje.size() > 4 &&
          largo_anunciado(std::string_view(mensaje).substr(0, 4)) == mensaje.size() - 4);
    return std::string_view(mensaje).substr(4);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *datos, std::size_t largo) {
    std::string_view bytes(reinterpret_cast<const char *>(datos), largo);
    if (largo > mensaje_maximo) {
        return 0;
    }
    if (largo >= 4) {
        if (auto n = largo_anunciado(bytes.substr(0, 4))) {
            exige(*n > 0 && *n <= mensaje_maximo);
        }
    }
    auto pedido = lee_pedido(bytes);
    if (auto *f = std::get_if<PideFirma>(&pedido)) {
        exige(cuerpo(pide_firma(*f)) == bytes);
        es_ingreso(f->datos, "x1", f->blob);
    } else if (std::holds_alternative<PideIdentidades>(pedido)) {
        exige(cuerpo(pide_identidades()) == bytes);
    } else if (std::holds_alternative<PideConFrase>(pedido)) {
        exige(cuerpo(pide_con_frase()) == bytes);
    }
    if (auto lista = lee_identidades(bytes)) {
        exige(lista->size() <= largo / 8);
        exige(cuerpo(identidades(*lista)) == bytes);
    }
    if (auto f = lee_firma(bytes)) {
        exige(cuerpo(firma(*f)) == bytes);
    }
    if (auto lista = lee_con_frase(bytes)) {
        exige(cuerpo(con_frase(*lista)) == bytes);
    }
    es_ingreso(bytes, "x1", "");
    return 0;
}
