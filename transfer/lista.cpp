// ListaFolders: the names of one folder's regular files that match a Windows
// pattern, as one text the command's walk can split again.
#include "conexion.h"
#include "frontera.h"
#include "rutas.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace sockvor {

namespace {

struct Entrada {
    std::string nombre;
    std::uint64_t tamano;
    bool con_tamano;
};

std::vector<Entrada> lee_carpeta(Sesion &s, const RutaRemota &ruta) {
    CarpetaRemota carpeta(
        s.vigilado([&] { return sftp_opendir(s.sftp.get(), ruta.carpeta.c_str()); }),
        CierraVigilado{s.fd, s.plazo});
    if (!carpeta) {
        s.falla_llamada(SOCKVOR_E_CARPETA, "abrir la carpeta " + ruta.carpeta);
    }
    std::vector<Entrada> hallados;
    for (;;) {
        Atributos a(s.vigilado([&] { return sftp_readdir(s.sftp.get(), carpeta.get()); }));
        if (!a) {
            if (sftp_dir_eof(carpeta.get())) {
                break;
            }
            s.falla_llamada(SOCKVOR_E_CARPETA, "leer la carpeta " + ruta.carpeta);
        }
        // Symbolic links, folders and devices are not Acuses.
        if (!a->name || a->type != SSH_FILEXFER_TYPE_REGULAR || !coincide(ruta.nombre, a->name)) {
            continue;
        }
        hallados.push_back({a->name, a->size, (a->flags & SSH_FILEXFER_ATTR_SIZE) != 0});
    }
    return hallados;
}

std::string en_carpeta(const std::string &carpeta, const std::string &nombre) {
    return carpeta == "/" ? "/" + nombre : carpeta + "/" + nombre;
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

    std::vector<Entrada> hallados;
    con_sesion(ip, login, [&](Sesion &s) {
        hallados = lee_carpeta(s, *ruta);
        // The fetches that follow a listing learn each size from here, not from a stat.
        s.tamanos.clear();
        for (const auto &e : hallados) {
            if (e.con_tamano) {
                s.tamanos[en_carpeta(ruta->carpeta, e.nombre)] = e.tamano;
            }
        }
    });
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
