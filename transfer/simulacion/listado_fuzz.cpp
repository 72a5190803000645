// A folder's read against a host played inside the process
// (carpeta_simulada.h) whose every READDIR answer the fuzzer's bytes choose.
// What must always hold: the read fails exactly when the host failed a batch,
// and otherwise each month's list holds every name of that month the folder
// has, each once, and nothing else; and it ends in a bounded number of steps.
#include "listado/hallazgos.h"
#include "listado/lectura.h"
#include "simulacion/carpeta_simulada.h"
#include "sockvor.h"

#include <algorithm>
#include <set>

using namespace sockvor;
using namespace sockvor::simulacion;

namespace {

const char *const meses[] = {"201306", "201305", "201304"};

std::vector<std::string> lista(listado::Hallazgos h) {
    std::vector<std::string> nombres;
    for (auto &e : std::move(h).entrega({"/D:/IDE/x1/Acuses", h.patron()}, "simulado")) {
        nombres.push_back(std::move(e.nombre));
    }
    return nombres;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *datos, std::size_t largo) {
    Decisiones d(datos, largo);
    std::vector<std::string> nombres;
    std::set<std::string> esperados[2];
    std::size_t cuantos = d.byte() * 3u;
    for (std::size_t i = 0; i < cuantos; ++i) {
        auto m = d.entre(3);
        nombres.push_back("n" + std::to_string(i) + "_" + meses[m] + ".xml");
        if (m < 2) {
            esperados[m].insert(nombres.back());
        }
    }
    CarpetaSimulada host(d, nombres);
    listado::Hallazgos junio("*201306*.xml"), mayo("*201305*.xml");
    bool leida = true;
    try {
        Canales canales(host, host.canal());
        listado::lee_carpeta(canales, "/D:/IDE/x1/Acuses", [&](const sftp::Entrada &e) {
            junio.anota(e);
            mayo.anota(e);
        });
    } catch (const Fallo &f) {
        leida = false;
        host.exige(f.codigo == SOCKVOR_E_CARPETA, "la falla es de la lectura de la carpeta");
    }
    host.exige(leida == !host.fallo(), "la lectura falla si y solo si el host falló un lote");
    if (leida) {
        for (int m = 0; m < 2; ++m) {
            auto obtenidos = lista(std::move(m == 0 ? junio : mayo));
            host.exige(std::vector<std::string>(esperados[m].begin(), esperados[m].end()) ==
                           obtenidos,
                       "cada nombre del mes una vez y ningún otro");
        }
    }
    return 0;
}
