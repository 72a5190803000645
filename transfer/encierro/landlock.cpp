#include "encierro/landlock.h"

#include "encierro/asan.h"
#include "recursos.h"

#include <cstdint>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sockvor::landlock {

namespace {

// Debian 12's headers know ABI 2; the kernel may offer later ones.
constexpr std::uint64_t truncar = 1ULL << 14;    // ABI 3
constexpr std::uint64_t tcp_escucha = 1ULL << 0; // ABI 4
constexpr std::uint64_t tcp_conecta = 1ULL << 1;
constexpr std::uint64_t ambito_unix_abstracto = 1ULL << 0; // ABI 6

// landlock_ruleset_attr as of ABI 6; an older kernel is given only the fields it knows.
struct Atributos {
    std::uint64_t fs = 0;
    std::uint64_t red = 0;
    std::uint64_t ambito = 0;
};

std::size_t largo_para(int abi) {
    return abi >= 6   ? sizeof(Atributos)
           : abi >= 4 ? 2 * sizeof(std::uint64_t)
                      : sizeof(std::uint64_t);
}

bool permite(int reglas, int fd, std::uint64_t acceso) {
    landlock_path_beneath_attr regla{};
    regla.allowed_access = acceso;
    regla.parent_fd = fd;
    return ::syscall(SYS_landlock_add_rule, reglas, LANDLOCK_RULE_PATH_BENEATH, &regla, 0) == 0;
}

struct Regla {
    int fd;
    std::uint64_t acceso;
};

bool aplica(int abi, const Atributos &a, std::initializer_list<Regla> reglas) {
    Descriptor conjunto(
        static_cast<int>(::syscall(SYS_landlock_create_ruleset, &a, largo_para(abi), 0)));
    if (!conjunto) {
        return false;
    }
    for (const auto &r : reglas) {
        if (r.fd >= 0 && !permite(conjunto.get(), r.fd, r.acceso)) {
            return false;
        }
    }
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::syscall(SYS_landlock_restrict_self, conjunto.get(), 0) == 0;
}

} // namespace

int abi() {
    long v = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return v < 1 ? 0 : static_cast<int>(v); // ENOSYS before 5.13, EOPNOTSUPP when turned off
}

// Only what creates, changes or removes something is handled here: reading stays as it
// was until lee_solo_en(). Beneath the folder, what a deposit does there: a regular file
// made and written, renamed over its destination in the same folder, a leftover removed.
// Not a link, a folder, a FIFO or a device: nothing planted there can lead the folder's
// readers elsewhere. Later ABIs' other rights (device ioctls, ports, scopes) are the
// filter's or the seal's business.
bool escribe_solo_en(int carpeta) {
    int v = abi();
    if (v < 1) {
        return false;
    }
    Atributos a;
    a.fs = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
           LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
           LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
           LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
           LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
    std::uint64_t en_carpeta = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_MAKE_REG |
                               LANDLOCK_ACCESS_FS_REMOVE_FILE;
    std::uint64_t en_nulo = LANDLOCK_ACCESS_FS_WRITE_FILE;
    if (v >= 2) {
        // Linking or renaming into another folder: never allowed (ABI 1 never allows it).
        a.fs |= LANDLOCK_ACCESS_FS_REFER;
    }
    if (v >= 3) {
        a.fs |= truncar;
        en_carpeta |= truncar;
        en_nulo |= truncar; // a shell's ">/dev/null" opens with O_TRUNC
    }
    Descriptor nulo(::open("/dev/null", O_PATH | O_CLOEXEC));
    return aplica(v, a, {{carpeta, en_carpeta}, {nulo.get(), en_nulo}});
}

bool lee_solo_en(int carpeta) {
    int v = abi();
    if (v < 1) {
        return false;
    }
    Atributos a;
    a.fs = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_EXECUTE;
    if (v >= 4) {
        a.red = tcp_escucha | tcp_conecta;
    }
    // Signals stay the allowlist's business: it lets the key holder, a child started
    // outside this domain, be ended.
    if (v >= 6) {
        a.ambito = ambito_unix_abstracto;
    }
    const std::uint64_t leer = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
    // Where a closed descriptor's number is kept taken (llavero.cpp).
    Descriptor nulo(::open("/dev/null", O_PATH | O_CLOEXEC));
    Descriptor proc;
#if SOCKVOR_CON_ASAN
    // The leak checker reads the process's threads and maps at exit: sanitized builds only.
    proc = Descriptor(::open("/proc", O_PATH | O_DIRECTORY | O_CLOEXEC));
#endif
    return aplica(
        v, a, {{carpeta, leer}, {nulo.get(), LANDLOCK_ACCESS_FS_READ_FILE}, {proc.get(), leer}});
}

} // namespace sockvor::landlock
