#include "deposito/confinamiento.h"

#include "deposito/asegurador.h"
#include "deposito/vedadas.h"
#include "errores.h"
#include "recursos.h"
#include "sockvor.h"
#include "ssh/vigia.h"

#include <cstdint>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// Debian 12's headers know the rights of ABI 2; the kernel may offer later ones.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif

namespace sockvor {

namespace {

enum class Estado { pendiente, confinado, sin_landlock };

// Calls are serialised (bloqueo_global), so no lock of its own.
Estado estado = Estado::pendiente;
std::string carpeta_confinada;
dev_t dispositivo = 0;
ino_t inodo = 0;

struct Derechos {
    std::uint64_t manejados; // what the ruleset forbids wherever no rule allows it
    std::uint64_t carpeta;   // allowed beneath the deposit folder
    std::uint64_t nulo;      // allowed on /dev/null
};

// Only the rights that create, change or remove something are handled: reading, listing
// folders and running programs stay as they were. Beneath the deposit folder, what a
// deposit does there: a regular file made and written, renamed over its destination in
// the same folder, a leftover removed. Not a link, a folder, a FIFO or a device: nothing
// planted there can lead the folder's readers elsewhere.
Derechos derechos(long abi) {
    Derechos d{LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                   LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
                   LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                   LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
                   LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM,
               LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_MAKE_REG |
                   LANDLOCK_ACCESS_FS_REMOVE_FILE,
               LANDLOCK_ACCESS_FS_WRITE_FILE};
    if (abi >= 2) {
        // Linking or renaming into another folder: never allowed (ABI 1 never allows it).
        d.manejados |= LANDLOCK_ACCESS_FS_REFER;
    }
    if (abi >= 3) {
        d.manejados |= LANDLOCK_ACCESS_FS_TRUNCATE;
        d.carpeta |= LANDLOCK_ACCESS_FS_TRUNCATE;
        d.nulo |= LANDLOCK_ACCESS_FS_TRUNCATE; // a shell's ">/dev/null" opens with O_TRUNC
    }
    // Later ABIs add TCP ports (4), device ioctls (5), abstract sockets and signals (6)
    // and logging (7): none of them writes a file. Handling ioctls would also break a
    // process started later that sets up the terminal it opens to ask something.
    return d;
}

bool permite(int reglas, int fd, std::uint64_t acceso) {
    landlock_path_beneath_attr regla{};
    regla.allowed_access = acceso;
    regla.parent_fd = fd;
    return ::syscall(SYS_landlock_add_rule, reglas, LANDLOCK_RULE_PATH_BENEATH, &regla, 0) == 0;
}

// True once this thread, and whatever it starts from now on, is confined to `carpeta`.
bool restringe(int carpeta) {
    long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1) {
        return false; // ENOSYS: a kernel before 5.13; EOPNOTSUPP: Landlock turned off
    }
    auto d = derechos(abi);
    landlock_ruleset_attr atributos{};
    atributos.handled_access_fs = d.manejados;
    Descriptor reglas(
        static_cast<int>(::syscall(SYS_landlock_create_ruleset, &atributos, sizeof atributos, 0)));
    if (!reglas || !permite(reglas.get(), carpeta, d.carpeta)) {
        return false;
    }
    if (Descriptor nulo(::open("/dev/null", O_PATH | O_CLOEXEC)); nulo) {
        permite(reglas.get(), nulo.get(), d.nulo);
    }
    // A ruleset binds the thread that applies it and what that thread starts later,
    // nothing that already runs. Our watchdog and flushing threads start when first
    // needed, so they stop here and the next call that needs them starts them again,
    // inside the domain. The program itself runs on one thread.
    vigia().detiene();
    detiene_asegurador();
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::syscall(SYS_landlock_restrict_self, reglas.get(), 0) != 0) {
        return false;
    }
    veda_llamadas(abi < 3); // where the kernel has no seccomp, the file rules alone
    return true;
}

// The folder a file at `local` is deposited in, as Deposito finds it.
std::string carpeta_de(const std::string &local) {
    auto barra = local.rfind('/');
    if (barra == std::string::npos) {
        return ".";
    }
    return barra == 0 ? "/" : local.substr(0, barra);
}

} // namespace

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
    Descriptor fd(::open(carpeta.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat s {};
    if (!fd || ::fstat(fd.get(), &s) != 0) {
        return;
    }
    if (!restringe(fd.get())) {
        estado = Estado::sin_landlock;
        return;
    }
    estado = Estado::confinado;
    carpeta_confinada = carpeta;
    dispositivo = s.st_dev;
    inodo = s.st_ino;
}

} // namespace sockvor
