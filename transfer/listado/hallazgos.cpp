#include "listado/hallazgos.h"

#include "errores.h"
#include "sockvor.h"

namespace sockvor::listado {

namespace {

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

} // namespace

void Hallazgos::anota(const sftp::Entrada &e) {
    if (!es_archivo(e)) {
        return;
    }
    if (coincide(patron_, e.nombre)) {
        // A folder holds a name once: a host that gives it again repeats itself.
        if (!desbordados() && hallados_.count(e.nombre) != 0) {
            return;
        }
        ++cuantos_;
        bytes_ += e.nombre.size() + 1; // its separator, or the terminator after the last
        if (nombre_inseparable(e.nombre) && (!inseparable_ || e.nombre < *inseparable_)) {
            inseparable_ = e.nombre;
        }
        if (desbordados()) {
            hallados_.clear();
            return;
        }
        hallados_.emplace(e.nombre, Hallado{e.nombre, e.atributos.tamano, e.atributos.mtime});
    } else if (coincide_ignorando_mayusculas(patron_, e.nombre) &&
               bytes_mayusculas_ <= SOCKVOR_TAM_LISTA) {
        // As many notices as a list's worth of names: past that a host only floods stderr.
        if (solo_mayusculas_.insert(e.nombre).second) {
            bytes_mayusculas_ += e.nombre.size() + 1;
        }
    }
}

std::vector<Hallado> Hallazgos::entrega(const RutaRemota &ruta, const std::string &ip) && {
    if (inseparable_) {
        falla(SOCKVOR_E_NOMBRE, "El archivo \"" + visible(*inseparable_) + "\" de " + ruta.carpeta +
                                    " en el host " + ip + " " + *nombre_inseparable(*inseparable_) +
                                    ": la lista no lo podría separar; renómbrelo en el host");
    }
    if (desbordados()) {
        falla(SOCKVOR_E_LISTA_LLENA,
              "Los " + std::to_string(cuantos_) + " archivos de " + ruta.carpeta + " en el host " +
                  ip + " que coinciden con " + ruta.nombre + " ocupan " + std::to_string(bytes_) +
                  " bytes y no caben en la lista de " + std::to_string(SOCKVOR_TAM_LISTA) +
                  " bytes; no se entregó ninguno");
    }
    std::vector<Hallado> lista;
    lista.reserve(hallados_.size());
    for (auto &[nombre, h] : hallados_) {
        lista.push_back(std::move(h));
    }
    return lista;
}

} // namespace sockvor::listado
