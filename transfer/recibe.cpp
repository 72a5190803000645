// RecibeArchivo: one remote file to one local path; after a listing, the
// files it found come ahead of the calls (see anticipo.h).
#include "conexion.h"
#include "deposito/deposito.h"
#include "encierro/encierro.h"
#include "frontera.h"
#include "rutas.h"

namespace sockvor {

namespace {

int recibe(const char *ip_c, const char *login_c, const char *remoto, const char *local) {
    if (!ip_c || !login_c || !remoto || !local) {
        falla(SOCKVOR_E_ARGUMENTO, "RecibeArchivo recibió un argumento nulo");
    }
    auto ruta = ruta_sftp(remoto);
    if (!ruta || tiene_comodin(ruta->nombre)) {
        falla(SOCKVOR_E_ARGUMENTO,
              "La ruta remota \"" + visible(remoto) + "\" no nombra un archivo");
    }
    std::string completa = en_carpeta(ruta->carpeta, ruta->nombre);
    confina(local);
    IgnoraSigxfsz sin_sigxfsz;
    con_sesion(destino(ip_c, login_c),
               [&](Sesion &s, Anticipo &a) { a.trae(s.canales(), completa, local); });
    return SOCKVOR_OK;
}

} // namespace

} // namespace sockvor

SOCKVOR_EXPORTA int RecibeArchivo(const char *ip, const char *login, const char *remoto,
                                  const char *local, char *error) {
    if (!error) {
        return SOCKVOR_E_ARGUMENTO;
    }
    error[0] = '\0';
    return sockvor::frontera(error, [&] { return sockvor::recibe(ip, login, remoto, local); });
}
