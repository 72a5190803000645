// ListaFolders: the names of one folder's regular files that match a Windows
// pattern, as one text the command's walk can split again.
#include "conexion.h"
#include "frontera.h"
#include "rutas.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace sockvor {

namespace {

// READDIR answers, each the next batch of names, asked for a few at a time: a
// host answers them in turn, and a far one then costs a round trip per few
// hundred names rather than per batch.
constexpr int lecturas_de_carpeta = 4;

struct Entrada {
    std::string nombre;
    std::optional<std::uint64_t> tamano;
    std::optional<std::uint32_t> mtime;
};

struct Carpeta {
    std::vector<Entrada> hallados;
    // Names the pattern takes only regardless of case (a_201305.XML): the host
    // would give them for it, the list cannot carry them.
    std::vector<std::string> solo_ignorando_mayusculas;
};

// Symbolic links, folders and devices are not Acuses. The permissions that
// tell them are optional in version 3: without them, the long name tells as
// `ls -l` prints it ('d' a folder), and anything else is taken for a file.
bool es_archivo(const sftp::Entrada &e) {
    constexpr std::uint32_t tipo = 0170000;
    constexpr std::uint32_t regular = 0100000;
    if (e.atributos.permisos) {
        return (*e.atributos.permisos & tipo) == regular;
    }
    return e.largo.empty() || e.largo.front() != 'd';
}

void anota(sftp::Entrada &e, const RutaRemota &ruta, Carpeta &carpeta) {
    if (!es_archivo(e)) {
        return;
    }
    if (coincide(ruta.nombre, e.nombre)) {
        carpeta.hallados.push_back({std::move(e.nombre), e.atributos.tamano, e.atributos.mtime});
    } else if (coincide_ignorando_mayusculas(ruta.nombre, e.nombre)) {
        carpeta.solo_ignorando_mayusculas.push_back(std::move(e.nombre));
    }
}

// Each on a line of stderr, as the library's other notices: the listing goes on.
void avisa_mayusculas(std::vector<std::string> nombres, const RutaRemota &ruta,
                      const std::string &ip) {
    std::sort(nombres.begin(), nombres.end());
    for (const auto &n : nombres) {
        std::fprintf(stderr,
                     " AVISO El archivo \"%s\" de %s en el host %s no se trae: coincide con %s "
                     "solo sin distinguir mayúsculas de minúsculas; renómbrelo en el host con la "
                     "extensión en minúsculas\n",
                     visible(n).c_str(), visible(ruta.carpeta).c_str(), visible(ip).c_str(),
                     visible(ruta.nombre).c_str());
    }
}

Carpeta lee_carpeta(Canales &canales, const RutaRemota &ruta) {
    CanalSftp &canal = canales.alguno();
    const std::string accion_abrir = "abrir la carpeta " + ruta.carpeta;
    const std::string accion_leer = "leer la carpeta " + ruta.carpeta;
    std::optional<sftp::Respuesta> abierta;
    canal.pide([&](std::uint32_t id) { return sftp::pide_opendir(id, ruta.carpeta); },
               [&](sftp::Respuesta &r) { abierta = std::move(r); });
    canales.atiende([&] { return abierta.has_value(); }, accion_abrir);
    auto *h = std::get_if<sftp::Handle>(&abierta->cuerpo);
    if (!h) {
        auto *e = std::get_if<sftp::Estado>(&abierta->cuerpo);
        falla(SOCKVOR_E_CARPETA, "No se pudo " + accion_abrir + " en el host " + canal.host() +
                                     ": " + (e ? explica(*e) : "respuesta inesperada"));
    }
    const std::string handle = h->valor;

    Carpeta carpeta;
    std::optional<Fallo> fallo;
    bool fin = false;
    int en_vuelo = 0;
    std::function<void()> pide_mas = [&] {
        while (!fin && !fallo && en_vuelo < lecturas_de_carpeta) {
            ++en_vuelo;
            canal.pide([&](std::uint32_t id) { return sftp::pide_readdir(id, handle); },
                       [&](sftp::Respuesta &r) {
                           --en_vuelo;
                           if (auto *n = std::get_if<sftp::Nombres>(&r.cuerpo)) {
                               for (auto &e : n->entradas) {
                                   anota(e, ruta, carpeta);
                               }
                           } else if (auto *e = std::get_if<sftp::Estado>(&r.cuerpo);
                                      e && e->codigo == sftp::FX_EOF) {
                               fin = true;
                           } else if (!fallo) {
                               fallo = Fallo{SOCKVOR_E_CARPETA,
                                             "No se pudo " + accion_leer + " en el host " +
                                                 canal.host() + ": " +
                                                 (e ? explica(*e) : "respuesta inesperada")};
                           }
                           pide_mas();
                       });
        }
    };
    pide_mas();
    canales.atiende([&] { return (fin || fallo) && en_vuelo == 0; }, accion_leer);
    // Nobody waits for the close: the next request's answer comes after it.
    canal.pide([&](std::uint32_t id) { return sftp::pide_close(id, handle); },
               [](sftp::Respuesta &) {});
    if (fallo) {
        throw *fallo;
    }
    return carpeta;
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

    Carpeta carpeta;
    Anticipo *anticipo = nullptr;
    con_sesion(destino(ip, login), [&](Sesion &s, Anticipo &a) {
        a.planea({}); // a new listing supersedes the last, whatever it finds
        anticipo = &a;
        carpeta = lee_carpeta(s.canales(), *ruta);
    });
    avisa_mayusculas(std::move(carpeta.solo_ignorando_mayusculas), *ruta, ip);
    auto &hallados = carpeta.hallados;
    if (hallados.empty()) {
        return SOCKVOR_NO_ENCONTRADO;
    }
    std::sort(hallados.begin(), hallados.end(),
              [](const Entrada &a, const Entrada &b) { return a.nombre < b.nombre; });

    std::size_t total = 0;
    for (const auto &e : hallados) {
        if (auto motivo = nombre_inseparable(e.nombre)) {
            falla(SOCKVOR_E_NOMBRE, "El archivo \"" + visible(e.nombre) + "\" de " + ruta->carpeta +
                                        " en el host " + ip + " " + *motivo +
                                        ": la lista no lo podría separar; renómbrelo en el host");
        }
        total += e.nombre.size() + 1; // its separator, or the terminator after the last
    }
    if (total > SOCKVOR_TAM_LISTA) {
        falla(SOCKVOR_E_LISTA_LLENA,
              "Los " + std::to_string(hallados.size()) + " archivos de " + ruta->carpeta +
                  " en el host " + ip + " que coinciden con " + ruta->nombre + " ocupan " +
                  std::to_string(total) + " bytes y no caben en la lista de " +
                  std::to_string(SOCKVOR_TAM_LISTA) + " bytes; no se entregó ninguno");
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
    anticipo->planea(std::move(plan));
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
