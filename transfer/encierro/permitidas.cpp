#include "encierro/permitidas.h"

#include "deposito/origen.h"
#include "encierro/asan.h"

#include <asm/prctl.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/sched.h>
#include <memory>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace sockvor {

namespace {

// Until when a call stays allowed.
enum class Hasta { sellar, siempre };

struct Permiso {
    long llamada;
    Hasta hasta;
    std::vector<scmp_arg_cmp> si; // all of them must hold; none: any arguments
};

scmp_arg_cmp arg_es(unsigned n, scmp_datum_t valor) {
    return {n, SCMP_CMP_EQ, valor, 0};
}
// The low 32 bits of argument `n`: an int or unsigned int (a descriptor, flags, a
// request), whatever the upper half of the register holds.
scmp_arg_cmp int_es(unsigned n, std::uint32_t valor) {
    return {n, SCMP_CMP_MASKED_EQ, 0xffffffffu, valor};
}
scmp_arg_cmp sin_bits(unsigned n, std::uint32_t bits) {
    return {n, SCMP_CMP_MASKED_EQ, bits, 0};
}
scmp_arg_cmp con_bits(unsigned n, std::uint64_t bits) {
    return {n, SCMP_CMP_MASKED_EQ, bits, bits};
}

// Calls allowed with any arguments, from `hasta`'s point of view.
void agrega(std::vector<Permiso> &p, Hasta hasta, std::initializer_list<long> llamadas) {
    for (long l : llamadas) {
        p.push_back({l, hasta, {}});
    }
}
// One call allowed when argument `n` (an int) is any of `valores`.
void agrega_si(std::vector<Permiso> &p, Hasta hasta, long llamada, unsigned n,
               std::initializer_list<std::uint32_t> valores) {
    for (auto v : valores) {
        p.push_back({llamada, hasta, {int_es(n, v)}});
    }
}

std::vector<Permiso> permisos(const Ajustes &a) {
    std::vector<Permiso> p;
    const auto siempre = Hasta::siempre;
    const auto sellar = Hasta::sellar;

    // Memory, threads, time and the process's own state.
    agrega(p, siempre,
           {SYS_brk,
            SYS_umask,
            SYS_mmap,
            SYS_munmap,
            SYS_mremap,
            SYS_mprotect,
            SYS_madvise,
            SYS_futex,
            SYS_set_robust_list,
            SYS_get_robust_list,
            SYS_rseq,
            SYS_set_tid_address,
            SYS_sched_yield,
            SYS_sched_getaffinity,
            SYS_gettid,
            SYS_getpid,
            SYS_getppid,
            SYS_exit,
            SYS_exit_group,
            SYS_rt_sigaction,
            SYS_rt_sigprocmask,
            SYS_rt_sigreturn,
            SYS_sigaltstack,
            SYS_rt_sigsuspend,
            SYS_rt_sigtimedwait,
            SYS_restart_syscall,
            SYS_nanosleep,
            SYS_clock_nanosleep,
            SYS_clock_gettime,
            SYS_clock_getres,
            SYS_gettimeofday,
            SYS_time,
            SYS_getrusage,
            SYS_times,
            SYS_getrandom,
            SYS_uname,
            SYS_sysinfo,
            SYS_getcwd,
            SYS_getuid,
            SYS_geteuid,
            SYS_getgid,
            SYS_getegid,
            SYS_getgroups,
            SYS_getresuid,
            SYS_getresgid,
            SYS_getpgrp,
            SYS_getpgid,
            SYS_getsid,
            SYS_getrlimit,
            SYS_wait4,
            SYS_waitid,
            SYS_chdir,
            SYS_fchdir});
    // Reading a limit, never setting one.
    p.push_back({SYS_prlimit64, siempre, {arg_es(2, 0)}});
    // A thread; before the seal also a process (fork, posix_spawn). clone3 keeps its
    // flags where no filter reads them: refused, the C library falls back to clone.
    p.push_back({SYS_clone, siempre, {con_bits(0, CLONE_THREAD)}});
    agrega(p, sellar, {SYS_clone, SYS_vfork, SYS_fork, SYS_execve});
    // The key holder as it starts: a session of its own, no descriptor but its socket.
    agrega(p, sellar, {SYS_setsid});
    agrega(p, siempre, {SYS_close_range});
    // What a program started then needs of its loader: its thread pointer.
    agrega_si(p, sellar, SYS_arch_prctl, 0, {ARCH_SET_FS, ARCH_GET_FS});
    // Narrowing itself further is always allowed: another Landlock domain, another filter.
    agrega(p, siempre,
           {SYS_landlock_create_ruleset, SYS_landlock_add_rule, SYS_landlock_restrict_self,
            SYS_seccomp});
    agrega_si(p, siempre, SYS_prctl, 0,
              {PR_SET_NO_NEW_PRIVS, PR_GET_NO_NEW_PRIVS, PR_GET_SECCOMP, PR_GET_DUMPABLE,
               PR_CAPBSET_READ, PR_SET_NAME, PR_GET_NAME, PR_SET_PDEATHSIG});
    // Signals: to the process itself always (raise(), a handler ending the process by its
    // signal, a thread of its own), and to the child named; to others only before the seal.
    const auto yo = static_cast<std::uint32_t>(::getpid());
    p.push_back({SYS_kill, siempre, {int_es(0, yo)}});
    if (a.hijo > 0) {
        p.push_back({SYS_kill, siempre, {int_es(0, static_cast<std::uint32_t>(a.hijo))}});
    }
    p.push_back({SYS_tgkill, siempre, {int_es(0, yo)}});
    agrega(p, sellar, {SYS_kill, SYS_tgkill});

    // Files. Landlock decides which may be opened, made, renamed or removed.
    if (a.vedar_truncado_al_abrir) {
        p.push_back({SYS_open, siempre, {sin_bits(1, O_TRUNC)}});
        p.push_back({SYS_openat, siempre, {sin_bits(2, O_TRUNC)}});
    } else {
        agrega(p, siempre, {SYS_open, SYS_openat});
    }
    agrega(p, siempre, {SYS_close,       SYS_read,
                        SYS_write,       SYS_pread64,
                        SYS_pwrite64,    SYS_readv,
                        SYS_writev,      SYS_lseek,
                        SYS_fstat,       SYS_stat,
                        SYS_lstat,       SYS_newfstatat,
                        SYS_statx,       SYS_getdents64,
                        SYS_readlink,    SYS_readlinkat,
                        SYS_access,      SYS_faccessat,
                        SYS_faccessat2,  SYS_dup,
                        SYS_dup2,        SYS_dup3,
                        SYS_flock,       SYS_fsync,
                        SYS_fdatasync,   SYS_sync_file_range,
                        SYS_fstatfs,     SYS_statfs,
                        SYS_ftruncate,   SYS_rename,
                        SYS_renameat,    SYS_renameat2,
                        SYS_unlink,      SYS_unlinkat,
                        SYS_fgetxattr,   SYS_getxattr,
                        SYS_lgetxattr,   SYS_pipe,
                        SYS_pipe2,       SYS_poll,
                        SYS_ppoll,       SYS_select,
                        SYS_pselect6,    SYS_epoll_create1,
                        SYS_epoll_ctl,   SYS_epoll_wait,
                        SYS_epoll_pwait, SYS_eventfd2,
                        SYS_fadvise64});
    // The record a deposit writes on its own temporary file, and nothing else: no other
    // extended attribute has its exact size, no POSIX ACL (4 + 8n bytes) among them.
    p.push_back({SYS_fsetxattr, siempre, {arg_es(3, largo_origen)}});
    // The host's modification time, set through the temporary file's own descriptor
    // (futimens: no path), never by a name.
    p.push_back({SYS_utimensat, siempre, {arg_es(1, 0)}});
    // Descriptor flags, locks and duplicates; not a lease, a notification or a
    // process to signal (F_SETOWN, F_SETSIG).
    agrega_si(p, siempre, SYS_fcntl, 1,
              {F_GETFD, F_SETFD, F_GETFL, F_SETFL, F_DUPFD, F_DUPFD_CLOEXEC, F_GETLK, F_SETLK,
               F_SETLKW, F_OFD_GETLK, F_OFD_SETLK, F_OFD_SETLKW});
    // Requests that only read, or touch the descriptor itself: isatty(), the bytes
    // waiting on a socket (the resolver). Nothing that changes a file (flags, verity,
    // encryption, clones) or pushes characters into a terminal.
    agrega_si(p, siempre, SYS_ioctl, 1,
              {TCGETS, TIOCGWINSZ, TIOCGPGRP, FIONREAD, FIONBIO, FIOCLEX, FIONCLEX});

    // The network: before the seal, Internet and UNIX sockets (the host, the resolver,
    // an agent); after it, only those already open.
    agrega_si(p, sellar, SYS_socket, 0, {AF_UNIX, AF_INET, AF_INET6});
    agrega_si(p, sellar, SYS_socketpair, 0, {AF_UNIX});
    agrega(p, sellar, {SYS_connect});
    agrega(p, siempre,
           {SYS_sendto, SYS_recvfrom, SYS_sendmsg, SYS_recvmsg, SYS_sendmmsg, SYS_recvmmsg,
            SYS_getsockname, SYS_getpeername, SYS_setsockopt, SYS_getsockopt, SYS_shutdown});
#if SOCKVOR_CON_ASAN
    // The leak checker stops the world at exit from a task of its own (untraced, sharing
    // the memory) that attaches to every thread: sanitized test builds only.
    p.push_back({SYS_clone, siempre, {con_bits(0, CLONE_UNTRACED | CLONE_VM)}});
    agrega(p, siempre, {SYS_ptrace, SYS_getdents});
    agrega_si(p, siempre, SYS_prctl, 0, {PR_SET_PTRACER, PR_SET_DUMPABLE});
#endif
    return p;
}

using Contexto =
    std::unique_ptr<std::remove_pointer_t<scmp_filter_ctx>, decltype(&seccomp_release)>;

} // namespace

bool permite_solo(Lista lista, const Ajustes &ajustes) {
    Contexto ctx(seccomp_init(SCMP_ACT_ERRNO(ENOSYS)), seccomp_release);
    // Another ABI's call has other numbers: refused whole. The filter is loaded on every
    // thread; a binary tree finds a call in a few steps instead of walking the list.
    if (!ctx || seccomp_attr_set(ctx.get(), SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(ENOSYS)) != 0 ||
        seccomp_attr_set(ctx.get(), SCMP_FLTATR_CTL_TSYNC, 1) != 0 ||
        seccomp_attr_set(ctx.get(), SCMP_FLTATR_CTL_OPTIMIZE, 2) != 0) {
        return false;
    }
    for (const auto &p : permisos(ajustes)) {
        if (lista == Lista::sellado && p.hasta != Hasta::siempre) {
            continue;
        }
        if (seccomp_rule_add_array(ctx.get(), SCMP_ACT_ALLOW, static_cast<int>(p.llamada),
                                   static_cast<unsigned>(p.si.size()), p.si.data()) != 0) {
            return false;
        }
    }
    return seccomp_load(ctx.get()) == 0;
}

} // namespace sockvor
