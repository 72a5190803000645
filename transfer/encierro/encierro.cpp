#include "encierro/encierro.h"

#include "deposito/asegurador.h"
#include "deposito/origen.h"
#include "encierro/landlock.h"
#include "encierro/permitidas.h"
#include "errores.h"
#include "recursos.h"
#include "sockvor.h"
#include "ssh/vigia.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sockvor {

namespace {

enum class Estado { libre, confinado, sin_landlock };

// Calls are serialised (bloqueo_global), so no lock of its own.
Estado estado = Estado::libre;
bool conocida = false; // the folder was given before any fetch: the seal follows
bool sellada = false;
std::string carpeta_confinada;
dev_t dispositivo = 0;
ino_t inodo = 0;

// The folder a file at `local` is deposited in, as Deposito finds it.
std::string carpeta_de(const std::string &local) {
    auto barra = local.rfind('/');
    if (barra == std::string::npos) {
        return ".";
    }
    return barra == 0 ? "/" : local.substr(0, barra);
}

// A Landlock domain binds the thread that takes it and what that thread starts later,
// nothing already running. Our watchdog and flushing threads start when first needed,
// so they stop here and the next call that needs them starts them again, inside. The
// filter reaches every thread by itself.
void detiene_hilos() {
    vigia().detiene();
    detiene_asegurador();
}

Descriptor abre_carpeta(const std::string &carpeta) {
    return Descriptor(::open(carpeta.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// Confines writes to `carpeta`, behind `fd` (none: nowhere), and installs the first list.
void confina_en(std::string carpeta, const Descriptor &fd) {
    detiene_hilos();
    bool con_landlock = landlock::escribe_solo_en(fd.get());
    permite_solo(Lista::deposito, {.vedar_truncado_al_abrir = con_landlock && landlock::abi() < 3});
    estado = con_landlock ? Estado::confinado : Estado::sin_landlock;
    struct stat s {};
    if (fd && ::fstat(fd.get(), &s) == 0) {
        dispositivo = s.st_dev;
        inodo = s.st_ino;
    }
    carpeta_confinada = std::move(carpeta);
}

// The confined folder, as confined: none if another has taken its name since.
Descriptor abre_confinada() {
    Descriptor fd = abre_carpeta(carpeta_confinada);
    struct stat s {};
    if (fd && (::fstat(fd.get(), &s) != 0 || s.st_dev != dispositivo || s.st_ino != inodo)) {
        fd.cierra();
    }
    return fd;
}

} // namespace

void conoce_deposito(const std::string &prefijo) {
    if (estado != Estado::libre || conocida) {
        return;
    }
    conocida = true;
    std::string carpeta = carpeta_de(prefijo + "/x");
    Descriptor fd = abre_carpeta(carpeta);
    confina_en(std::move(carpeta), fd);
}

void confina(const std::string &local) {
    if (estado == Estado::sin_landlock) {
        return;
    }
    std::string carpeta = carpeta_de(local);
    if (estado == Estado::confinado) {
        // The same folder again, as every call of a run names it, needs no look:
        // were it renamed away meanwhile, the confinement still refuses the write.
        if (carpeta == carpeta_confinada) {
            return;
        }
        // A folder that cannot be looked at is left to the deposit, which says why.
        struct stat s {};
        if (::stat(carpeta.c_str(), &s) == 0 && (s.st_dev != dispositivo || s.st_ino != inodo)) {
            falla(SOCKVOR_E_LOCAL, "No se puede guardar " + visible(local) +
                                       ": desde su primera descarga este proceso solo puede "
                                       "escribir en la carpeta " +
                                       visible(carpeta_confinada));
        }
        return;
    }
    if (::faccessat(AT_FDCWD, carpeta.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return; // this fetch fails on its own and does not count
    }
    Descriptor fd = abre_carpeta(carpeta);
    if (fd) {
        confina_en(std::move(carpeta), fd);
    }
}

void sella(pid_t hijo) {
    if (!conocida || sellada) {
        return;
    }
    // What the deposits will ask of the system later, asked now: whether a file's group
    // is the user's private one (origen.h). A group not asked here is taken for shared.
    anticipa_grupo(::getegid());
    Descriptor carpeta = abre_confinada();
    struct stat s {};
    if (carpeta && ::fstat(carpeta.get(), &s) == 0) {
        anticipa_grupo(s.st_gid);
    }
    detiene_hilos();
    bool con_landlock = landlock::lee_solo_en(carpeta.get());
    sellada = permite_solo(Lista::sellado, {.hijo = hijo}) || con_landlock;
}

bool sellado() {
    return sellada;
}

void encierra_llavero() {
    landlock::escribe_solo_en(-1);
    landlock::lee_solo_en(-1);
    permite_solo(Lista::sellado);
}

} // namespace sockvor
