// ListaFolders: the names of one folder's regular files that match a Windows
// pattern, as one text the command's walk can split again.
#include "conexion.h"
#include "frontera.h"
#include "listado/hallazgos.h"
#include "listado/lectura.h"
#include "listado/reserva.h"
#include "rutas.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace sockvor {

namespace {

using listado::Hallado;
using listado::Hallazgos;

// Each on a line of stderr, as the library's other notices: the listing goes on.
void avisa_mayusculas(const Hallazgos &h, const RutaRemota &ruta, const std::string &ip) {
    for (const auto &n : h.solo_ignorando_mayusculas()) {
        std::fprintf(stderr,
                     " AVISO El archivo \"%s\" de %s en el host %s no se trae: coincide con %s "
                     "solo sin distinguir mayúsculas de minúsculas; renómbrelo en el host con la "
                     "extensión en minúsculas\n",
                     visible(n).c_str(), visible(ruta.carpeta).c_str(), visible(ip).c_str(),
                     visible(ruta.nombre).c_str());
    }
}

// The folder's entries for `ruta`'s pattern: kept from the last listing's read
// when that is what it kept them for, else read now, keeping for the next
// listing the month before's.
Hallazgos busca(Destino &d, const RutaRemota &ruta) {
    auto ahora = listado::Reserva::Reloj::now();
    if (auto guardados = d.reserva.toma(ruta.carpeta, ruta.nombre, ahora)) {
        d.anticipo.planea({}); // a new listing supersedes the last, whatever it finds
        return std::move(*guardados);
    }
    std::optional<Hallazgos> hallazgos;
    std::optional<Hallazgos> siguientes;
    con_sesion(d, [&](Sesion &s, Anticipo &a) {
        a.planea({});
        hallazgos.emplace(ruta.nombre);
        siguientes.reset();
        if (auto anterior = listado::mes_anterior(ruta.nombre)) {
            siguientes.emplace(*anterior);
        }
        listado::lee_carpeta(s.canales(), ruta.carpeta, [&](const sftp::Entrada &e) {
            hallazgos->anota(e);
            if (siguientes) {
                siguientes->anota(e);
            }
        });
    });
    if (siguientes) {
        d.reserva.guarda(ruta.carpeta, std::move(*siguientes), ahora);
    }
    return std::move(*hallazgos);
}

int lista(const char *ip_c, const char *login_c, const char *tipo, const char *patron,
          char *lista) {
    if (!ip_c || !login_c || !tipo || !patron || !lista) {
        falla(SOCKVOR_E_ARGUMENTO, "ListaFolders recibió un argumento nulo");
    }
    std::string ip = ip_c;
    std::string login = login_c;
    if (std::string_view(tipo) != "d") {
        falla(SOCKVOR_E_ARGUMENTO,
              "Tipo de listado \"" + visible(tipo) + "\" no soportado: solo \"d\" (archivos)");
    }
    auto ruta = ruta_sftp(patron);
    if (!ruta || tiene_comodin(ruta->carpeta)) {
        falla(SOCKVOR_E_ARGUMENTO, "El patrón \"" + visible(patron) +
                                       "\" no es una carpeta sin comodines seguida de un nombre");
    }

    Destino &d = destino(ip, login);
    Hallazgos hallazgos = busca(d, *ruta);
    avisa_mayusculas(hallazgos, *ruta, ip);
    std::vector<Hallado> hallados = std::move(hallazgos).entrega(*ruta, ip);
    if (hallados.empty()) {
        return SOCKVOR_NO_ENCONTRADO;
    }
    char *p = lista;
    for (const auto &e : hallados) {
        if (p != lista) {
            *p++ = SOCKVOR_SEPARADOR;
        }
        std::memcpy(p, e.nombre.data(), e.nombre.size());
        p += e.nombre.size();
    }
    *p = '\0';
    // The command asks for these next, in this order: they are fetched ahead.
    std::vector<Listado> plan;
    plan.reserve(hallados.size());
    for (auto &e : hallados) {
        auto completa = en_carpeta(ruta->carpeta, e.nombre);
        plan.push_back({std::move(completa), std::move(e.nombre), {e.tamano, e.mtime}});
    }
    d.anticipo.planea(std::move(plan));
    return SOCKVOR_OK;
}

} // namespace

} // namespace sockvor

SOCKVOR_EXPORTA int ListaFolders(const char *ip, const char *login, const char *tipo,
                                 const char *patron, char *lista, char *error) {
    if (!error) {
        return SOCKVOR_E_ARGUMENTO;
    }
    error[0] = '\0';
    if (lista) {
        lista[0] = '\0';
    }
    int r =
        sockvor::frontera(error, [&] { return sockvor::lista(ip, login, tipo, patron, lista); });
    if (r != SOCKVOR_OK && lista) {
        lista[0] = '\0';
    }
    return r;
}
