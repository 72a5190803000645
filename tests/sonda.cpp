// Put first with LD_PRELOAD into acuses, tries from inside the running program what a
// fault in its parsing of the host's bytes could try, at two moments: when it reads
// the host's first bytes (the first recv: the banner) and when it puts its first file
// in place (the first rename, after authentication). Each attempt's outcome goes to
// standard output as "sonda MOMENT ATTEMPT RESULT", RESULT being 0 or the errno's name.
//
// SONDA_FUERA names a folder outside the deposit holding "archivo" (a file) and
// "carpeta" (a folder), which the probe opens to read as the program loads; it writes
// the program's pid into its "pid" then too.
// With SONDA_PAUSA set, the program stops itself (SIGSTOP) at its first rename, after
// the attempts, for a reader of its memory; SIGCONT lets it go on.
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <linux/fs.h>
#include <linux/fscrypt.h>
#include <linux/fsverity.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

bool es_acuses() {
    return std::string_view(program_invocation_short_name) == "acuses";
}

std::string fuera(const char *nombre) {
    const char *f = std::getenv("SONDA_FUERA");
    return std::string(f ? f : "/nonexistent") + "/" + nombre;
}

std::string hecho(long r) {
    return r >= 0 ? "0" : strerrorname_np(errno);
}

// Opened only to read as the program loads, before it could be confined: what a fault
// would find among the descriptors of the process.
int archivo_leido = -1;
int carpeta_leida = -1;

std::string con(int fd, const std::function<long(int)> &uso) {
    return fd < 0 ? "sin descriptor" : hecho(uso(fd));
}

// What a call that makes a descriptor gives; the descriptor, if made, is closed.
std::string y_cierra(long fd) {
    std::string r = hecho(fd);
    if (fd >= 0) {
        ::close(static_cast<int>(fd));
    }
    return r;
}

// A POSIX ACL granting everyone read and write: what would turn a 600 file into 666.
std::vector<char> acl_abierta() {
    struct Entrada {
        std::uint16_t etiqueta, permisos;
        std::uint32_t id;
    };
    const std::array<Entrada, 4> entradas = {
        {{0x01, 6, ~0u}, {0x04, 6, ~0u}, {0x10, 6, ~0u}, {0x20, 6, ~0u}}};
    std::vector<char> acl(4 + sizeof entradas);
    const std::uint32_t version = 2;
    std::memcpy(acl.data(), &version, 4);
    std::memcpy(acl.data() + 4, entradas.data(), sizeof entradas);
    return acl;
}

// The i386 getpid (20) through int 0x80: another ABI's call table.
long getpid_i386() {
    long r = 20;
    asm volatile("int $0x80" : "+a"(r) : : "memory");
    if (r < 0) {
        errno = static_cast<int>(-r);
        return -1;
    }
    return r;
}

const std::vector<std::pair<const char *, std::function<std::string()>>> &intentos() {
    static const std::vector<std::pair<const char *, std::function<std::string()>>> lista = {
        {"crea_fuera",
         [] {
             return y_cierra(::open(fuera("nuevo").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
         }},
        {"acl_por_lectura",
         [] {
             return con(archivo_leido, [](int fd) {
                 auto acl = acl_abierta();
                 return ::fsetxattr(fd, "system.posix_acl_access", acl.data(), acl.size(), 0);
             });
         }},
        {"acl_por_omision",
         [] {
             return con(carpeta_leida, [](int fd) {
                 auto acl = acl_abierta();
                 return ::fsetxattr(fd, "system.posix_acl_default", acl.data(), acl.size(), 0);
             });
         }},
        {"file_setattr",
         [] {
             // struct file_attr: xflags, extsize, nextents, projid, cowextsize; NODUMP.
             std::array<std::uint32_t, 6> atributos{0x80, 0, 0, 0, 0, 0};
             return hecho(::syscall(469, AT_FDCWD, fuera("archivo").c_str(), atributos.data(),
                                    sizeof atributos, 0));
         }},
        {"banderas_por_lectura",
         [] {
             return con(archivo_leido, [](int fd) {
                 int banderas = FS_NODUMP_FL;
                 return ::ioctl(fd, FS_IOC_SETFLAGS, &banderas);
             });
         }},
        {"verity_por_lectura",
         [] {
             return con(archivo_leido, [](int fd) {
                 fsverity_enable_arg argumento{};
                 argumento.version = 1;
                 argumento.hash_algorithm = FS_VERITY_HASH_ALG_SHA256;
                 argumento.block_size = 4096;
                 return ::ioctl(fd, FS_IOC_ENABLE_VERITY, &argumento);
             });
         }},
        {"cifrado_por_lectura",
         [] {
             return con(carpeta_leida, [](int fd) {
                 fscrypt_policy_v1 politica{};
                 politica.version = FSCRYPT_POLICY_V1;
                 politica.contents_encryption_mode = FSCRYPT_MODE_AES_256_XTS;
                 politica.filenames_encryption_mode = FSCRYPT_MODE_AES_256_CTS;
                 return ::ioctl(fd, FS_IOC_SET_ENCRYPTION_POLICY, &politica);
             });
         }},
        {"clona_por_lectura",
         [] { return con(archivo_leido, [](int fd) { return ::ioctl(fd, FICLONE, fd); }); }},
        {"terminal", [] { return hecho(::ioctl(0, TIOCSTI, "x")); }},
        {"modo", [] { return hecho(::chmod(fuera("archivo").c_str(), 0666)); }},
        {"fechas_por_nombre",
         [] { return hecho(::utimensat(AT_FDCWD, fuera("archivo").c_str(), nullptr, 0)); }},
        {"atributo_por_nombre",
         [] { return hecho(::setxattr(fuera("archivo").c_str(), "user.x", "1", 1, 0)); }},
        {"corta_por_nombre", [] { return hecho(::truncate(fuera("archivo").c_str(), 0)); }},
        {"io_uring",
         [] {
             std::array<std::uint32_t, 30> parametros{};
             return y_cierra(::syscall(SYS_io_uring_setup, 4, parametros.data()));
         }},
        {"int80", [] { return hecho(getpid_i386()); }},
        // What the seal alone takes away.
        {"lee_fuera",
         [] { return y_cierra(::open(fuera("archivo").c_str(), O_RDONLY | O_CLOEXEC)); }},
        {"socket_inet", [] { return y_cierra(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)); }},
        {"socket_unix", [] { return y_cierra(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)); }},
        {"proceso",
         [] {
             pid_t p = ::fork();
             if (p == 0) {
                 ::_exit(0);
             }
             std::string r = hecho(p);
             if (p > 0) {
                 ::waitpid(p, nullptr, 0);
             }
             return r;
         }},
        {"programa",
         [] {
             char *nada[] = {nullptr};
             return hecho(::execve("/nonexistent/programa", nada, nada));
         }},
        {"senal_a_otro", [] { return hecho(::kill(::getppid(), 0)); }},
        // Other ways to reach another process: its SIGIO by a descriptor, its limits.
        {"senal_por_descriptor",
         [] {
             return con(archivo_leido, [](int fd) { return ::fcntl(fd, F_SETOWN, ::getppid()); });
         }},
        {"limite_de_otro",
         [] {
             rlimit l{};
             if (::prlimit(::getppid(), RLIMIT_CORE, nullptr, &l) != 0) {
                 return std::string("sin lectura");
             }
             return hecho(::prlimit(::getppid(), RLIMIT_CORE, &l, nullptr));
         }},
        {"prctl_otro", [] { return hecho(::prctl(PR_SET_CHILD_SUBREAPER, 1)); }},
        {"senal_a_si_mismo", [] { return hecho(::kill(::getpid(), 0)); }},
    };
    return lista;
}

void prueba(const char *momento) {
    for (const auto &[nombre, intento] : intentos()) {
        std::string linea = std::string("sonda ") + momento + " " + nombre + " " + intento() + "\n";
        [[maybe_unused]] auto n = ::write(STDOUT_FILENO, linea.data(), linea.size());
    }
}

std::atomic<bool> bienvenida{false}, renombre{false};

__attribute__((constructor)) void al_cargar() {
    if (!es_acuses()) {
        return;
    }
    archivo_leido = ::open(fuera("archivo").c_str(), O_RDONLY | O_CLOEXEC);
    carpeta_leida = ::open(fuera("carpeta").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string pid = std::to_string(::getpid());
    int fd = ::open(fuera("pid").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        [[maybe_unused]] auto n = ::write(fd, pid.data(), pid.size());
        ::close(fd);
    }
}

template <class F> F siguiente(const char *nombre) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, nombre));
}

} // namespace

extern "C" ssize_t recv(int fd, void *datos, size_t largo, int banderas) {
    if (es_acuses() && !bienvenida.exchange(true)) {
        prueba("bienvenida");
    }
    using Recv = ssize_t (*)(int, void *, size_t, int);
    return siguiente<Recv>("recv")(fd, datos, largo, banderas);
}

extern "C" int rename(const char *de, const char *a) {
    if (es_acuses() && !renombre.exchange(true)) {
        prueba("renombre");
        if (std::getenv("SONDA_PAUSA")) {
            ::raise(SIGSTOP);
        }
    }
    using Rename = int (*)(const char *, const char *);
    return siguiente<Rename>("rename")(de, a);
}
