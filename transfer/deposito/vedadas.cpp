#include "deposito/vedadas.h"

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <vector>

namespace sockvor {

namespace {

// Calls newer than Debian 12's headers: refused wherever the kernel has them.
constexpr long sys_fchmodat2 = 452;
constexpr long sys_setxattrat = 463;
constexpr long sys_removexattrat = 466;
// The kernel's x32 calls carry this bit: another call table, refused whole.
constexpr std::uint32_t llamada_x32 = 0x40000000;

// Change a file's mode, owner, times or extended attributes by name, or through
// any descriptor; cut a file by name; set up io_uring, whose requests (xattrs
// among them) no filter sees.
constexpr std::array<long, 22> vedadas = {
    SYS_chmod,          SYS_fchmod,           SYS_fchmodat,   sys_fchmodat2,     SYS_chown,
    SYS_fchown,         SYS_lchown,           SYS_fchownat,   SYS_utime,         SYS_utimes,
    SYS_futimesat,      SYS_utimensat,        SYS_setxattr,   SYS_lsetxattr,     SYS_removexattr,
    SYS_lremovexattr,   SYS_fremovexattr,     sys_setxattrat, sys_removexattrat, SYS_truncate,
    SYS_io_uring_setup, SYS_io_uring_register};

// Terminal requests that push input or remap the console, and a file's flags
// (append-only, immutable and the like), whatever descriptor they go through.
constexpr std::uint32_t fs_ioc_setflags = 0x40086602;
constexpr std::uint32_t fs_ioc32_setflags = 0x40046602;
constexpr std::uint32_t fs_ioc_fssetxattr = 0x401c5820;
constexpr std::array<std::uint32_t, 5> ioctls_vedados = {TIOCSTI, TIOCLINUX, fs_ioc_setflags,
                                                         fs_ioc32_setflags, fs_ioc_fssetxattr};

constexpr std::uint32_t campo_arquitectura = offsetof(seccomp_data, arch);
constexpr std::uint32_t campo_llamada = offsetof(seccomp_data, nr);
// The low half of argument `n`, on x86-64: all of an int or unsigned int (flags,
// an ioctl's request), which the kernel reads whatever the high half holds.
constexpr std::uint32_t argumento(std::size_t n) {
    return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + n * sizeof(std::uint64_t));
}

// A filter written with named places to jump to, resolved when it is done.
class Programa {
  public:
    enum Destino : std::size_t { siguiente, permite, niega, en_open, en_openat, destinos };

    void carga(std::uint32_t campo) { agrega(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, campo)); }
    // Goes to `si` when the value loaded equals `k` (or, with `bits`, has any of its bits).
    void si(std::uint32_t k, Destino si, Destino no = siguiente, bool bits = false,
            std::uint16_t prueba = BPF_JEQ) {
        saltos_.push_back({codigo_.size(), si, no});
        agrega(BPF_JUMP(BPF_JMP | (bits ? BPF_JSET : prueba) | BPF_K, k, 0, 0));
    }
    void aqui(Destino d) { lugar_[d] = codigo_.size(); }
    void termina(std::uint32_t devuelve) { agrega(BPF_STMT(BPF_RET | BPF_K, devuelve)); }

    std::vector<sock_filter> &resuelto() {
        for (auto [i, si, no] : saltos_) {
            codigo_[i].jt = desde(i, si);
            codigo_[i].jf = desde(i, no);
        }
        return codigo_;
    }

  private:
    void agrega(sock_filter f) { codigo_.push_back(f); }
    std::uint8_t desde(std::size_t i, Destino d) const {
        return d == siguiente ? 0 : static_cast<std::uint8_t>(lugar_[d] - i - 1);
    }
    struct Salto {
        std::size_t i;
        Destino si, no;
    };
    std::vector<sock_filter> codigo_;
    std::vector<Salto> saltos_;
    std::array<std::size_t, destinos> lugar_{};
};

} // namespace

bool veda_llamadas(bool vedar_truncado_al_abrir) {
    Programa p;
    p.carga(campo_arquitectura);
    p.si(AUDIT_ARCH_X86_64, Programa::siguiente, Programa::niega);
    p.carga(campo_llamada);
    p.si(llamada_x32, Programa::niega, Programa::siguiente, false, BPF_JGE);
    for (long llamada : vedadas) {
        p.si(static_cast<std::uint32_t>(llamada), Programa::niega);
    }
    if (vedar_truncado_al_abrir) {
        p.si(SYS_creat, Programa::niega);
        p.si(SYS_openat2, Programa::niega); // its flags are in memory no filter reads
        p.si(SYS_open, Programa::en_open);
        p.si(SYS_openat, Programa::en_openat);
    }
    p.si(SYS_ioctl, Programa::siguiente, Programa::permite);
    p.carga(argumento(1));
    for (std::uint32_t peticion : ioctls_vedados) {
        p.si(peticion, Programa::niega);
    }
    p.aqui(Programa::permite);
    p.termina(SECCOMP_RET_ALLOW);
    if (vedar_truncado_al_abrir) {
        // A filter only jumps forward: each of these returns on its own.
        p.aqui(Programa::en_open);
        p.carga(argumento(1));
        p.si(O_TRUNC, Programa::niega, Programa::siguiente, true);
        p.termina(SECCOMP_RET_ALLOW);
        p.aqui(Programa::en_openat);
        p.carga(argumento(2));
        p.si(O_TRUNC, Programa::niega, Programa::siguiente, true);
        p.termina(SECCOMP_RET_ALLOW);
    }
    p.aqui(Programa::niega);
    p.termina(SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA));
    auto &codigo = p.resuelto();
    sock_fprog programa{static_cast<unsigned short>(codigo.size()), codigo.data()};
    return ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &programa, 0, 0) == 0;
}

} // namespace sockvor
