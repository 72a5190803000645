// From its first fetch on, the library confines its process: the process, its threads
// and the processes it starts after can create, write, rename or remove files only
// beneath that fetch's deposit folder, and read as before; and every thread makes only
// the calls of the allowlist. Each scenario runs in a child process (hijo.h), one step per row, so
// this process stays free to check and to clean up.
#include "hijo.h"
#include "host_fixture.h"
#include "sockvor.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/netlink.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string login = "x1";

// "0", or the name of the errno a call failed with.
std::string hecho(int r) {
    return r >= 0 ? "0" : strerrorname_np(errno);
}

std::string trae(const HostSftp &host, const std::string &nombre, const std::string &local) {
    char error[SOCKVOR_TAM_ERROR];
    int r = RecibeArchivo(host.direccion().c_str(), login.c_str(),
                          HostSftp::ruta_windows(login, nombre).c_str(), local.c_str(), error);
    return r == SOCKVOR_OK ? "0" : std::to_string(r) + " " + error;
}

std::string crea(const std::string &ruta, int modo) {
    int fd = open(ruta.c_str(), modo | O_CLOEXEC, 0644);
    if (fd >= 0) {
        close(fd);
    }
    return hecho(fd);
}

// The library's threads are ours to confine, and a thread that was running before the
// first fetch would have missed it: each confined thread also took NoNewPrivs, which
// /proc shows per thread. "0" when every thread has it and the library runs more than
// this one.
std::string hilos_sin_confinar() {
    int hilos = 0, libres = 0;
    for (const auto &t : fs::directory_iterator("/proc/self/task")) {
        std::ifstream estado(t.path() / "status");
        for (std::string linea; std::getline(estado, linea);) {
            libres += linea == "NoNewPrivs:\t0";
        }
        ++hilos;
    }
    return hilos < 2 ? "un solo hilo" : std::to_string(libres);
}

// A kernel that lacks a part of the confinement, made for this process alone: without
// Landlock (its calls answer ENOSYS), or without seccomp filters (as a kernel built
// without them answers: ENOSYS, or EINVAL from prctl). The test's own filter goes in
// first, while seccomp still works.
enum class Kernel { completo, sin_landlock, sin_seccomp };

std::string quita(Kernel k) {
    const sock_filter sin_landlock[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_landlock_create_ruleset, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_filter sin_seccomp[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_seccomp, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_prctl, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PR_SET_SECCOMP, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog programa =
        k == Kernel::sin_landlock
            ? sock_fprog{std::size(sin_landlock), const_cast<sock_filter *>(sin_landlock)}
            : sock_fprog{std::size(sin_seccomp), const_cast<sock_filter *>(sin_seccomp)};
    return hecho(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
                     ? prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &programa)
                     : -1);
}

// What refuses a step: Landlock's rules, the allowlist, either (the allowlist answers
// first), or nothing.
enum class Quien { nadie, landlock, filtro, ambos };

struct Fila {
    std::string nombre;
    Quien quien;
    std::function<std::string()> hace;
    std::string negado = ""; // what the step gives when refused, when not its errno
    std::string libre = "0"; // what it gives when nothing refuses it
};

std::string esperado(const Fila &f, Kernel k) {
    bool landlock = k != Kernel::sin_landlock;
    bool filtro = k != Kernel::sin_seccomp;
    bool por_filtro = filtro && (f.quien == Quien::filtro || f.quien == Quien::ambos);
    bool por_landlock = landlock && (f.quien == Quien::landlock || f.quien == Quien::ambos);
    if (por_filtro) {
        return f.negado.empty() ? "ENOSYS" : f.negado;
    }
    if (por_landlock) {
        return f.negado.empty() ? "EACCES" : f.negado;
    }
    return f.libre;
}

void comprueba(Kernel kernel) {
    HostSftp host;
    host.usa_home();
    for (const char *n : {"a_201305.xml", "b_201305.xml", "c_201305.xml"}) {
        host.crea_remoto(login, n, bytes_de_prueba(40000, 3));
    }
    const std::string a = host.deposito();
    CarpetaTemporal otra;
    const std::string fuera = otra.ruta();
    for (const char *n : {"/existente", "/a_renombrar", "/a_borrar"}) {
        escribe_archivo(fuera + n, "de antes");
    }
    // An agent's socket, outside the deposit folder: connecting to it writes nothing.
    int agente = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un direccion{};
    direccion.sun_family = AF_UNIX;
    std::strncpy(direccion.sun_path, (fuera + "/agente").c_str(), sizeof direccion.sun_path - 1);
    ASSERT_EQ(bind(agente, reinterpret_cast<sockaddr *>(&direccion), sizeof direccion), 0);
    ASSERT_EQ(listen(agente, 4), 0);
    // A terminal, as the one a run is started from: a character pushed into it
    // is read by the shell there, unconfined. Unconfined, only its session (or
    // root) may push one.
    int maestra = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(maestra, 0);
    ASSERT_EQ(grantpt(maestra) | unlockpt(maestra), 0);
    int terminal = open(ptsname(maestra), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    auto empuja = [terminal] {
        char c = 'x';
        return hecho(ioctl(terminal, TIOCSTI, &c));
    };
    const std::string empujado = empuja();

    const std::string sin_carpeta =
        std::to_string(SOCKVOR_E_LOCAL) + " No se pudo crear un archivo en la carpeta " + fuera +
        "/no para guardar " + fuera + "/no/a.xml: No such file or directory";

    const std::vector<Fila> filas = {
        // A fetch whose folder cannot be used does not count.
        {"trae a una carpeta inexistente", Quien::nadie,
         [&] { return trae(host, "a_201305.xml", fuera + "/no/a.xml"); }, "", sin_carpeta},
        {"crea fuera antes de confinarse", Quien::nadie,
         [&] { return crea(fuera + "/antes", O_CREAT | O_WRONLY); }},
        {"trae a A", Quien::nadie, [&] { return trae(host, "a_201305.xml", a + "/a_201305.xml"); }},
        {"crea fuera", Quien::landlock, [&] { return crea(fuera + "/nuevo", O_CREAT | O_WRONLY); }},
        {"escribe fuera", Quien::landlock, [&] { return crea(fuera + "/existente", O_WRONLY); }},
        {"renombra fuera", Quien::landlock,
         [&] { return hecho(rename((fuera + "/a_renombrar").c_str(), (fuera + "/x").c_str())); }},
        {"borra fuera", Quien::landlock,
         [&] { return hecho(unlink((fuera + "/a_borrar").c_str())); }},
        // What Landlock's rules do not cover, the allowlist refuses all the same.
        {"cambia el modo fuera", Quien::filtro,
         [&] { return hecho(chmod((fuera + "/existente").c_str(), 0666)); }},
        {"cambia el modo por un descriptor de lectura", Quien::filtro,
         [&] {
             int fd = open((fuera + "/existente").c_str(), O_RDONLY | O_CLOEXEC);
             std::string r = hecho(fchmod(fd, 0600));
             close(fd);
             return r;
         }},
        {"cambia las fechas fuera", Quien::filtro,
         [&] { return hecho(utimes((fuera + "/existente").c_str(), nullptr)); }},
        {"escribe un atributo fuera", Quien::filtro,
         [&] {
             return hecho(
                 setxattr((fuera + "/existente").c_str(), "user.sockvor.origen", "3", 1, 0));
         }},
        {"corta un archivo fuera", Quien::ambos,
         [&] { return hecho(truncate((fuera + "/existente").c_str(), 1)); }},
        {"empuja a la terminal", Quien::filtro, empuja, "", empujado},
        {"abre un socket de otra familia", Quien::filtro,
         [&] {
             int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
             std::string r = hecho(s);
             close(s);
             return r;
         }},
        {"enlace en A", Quien::ambos,
         [&] { return hecho(symlink("/etc/passwd", (a + "/enlace.xml").c_str())); }},
        {"carpeta en A", Quien::ambos, [&] { return hecho(mkdir((a + "/sub").c_str(), 0755)); }},
        {"proceso que arranca después escribe fuera", Quien::landlock,
         [&] {
             std::string orden = "exec 2>/dev/null; echo x >" + fuera + "/de_un_hijo";
             return std::to_string(WEXITSTATUS(system(orden.c_str())) != 0);
         },
         "1"},
        {"escribe /dev/null", Quien::nadie, [&] { return crea("/dev/null", O_WRONLY | O_TRUNC); }},
        {"lee fuera", Quien::nadie, [&] { return crea(fuera + "/existente", O_RDONLY); }},
        {"conecta al agente", Quien::nadie,
         [&] {
             int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
             int r = connect(s, reinterpret_cast<sockaddr *>(&direccion), sizeof direccion);
             std::string resultado = hecho(r);
             close(s);
             return resultado;
         }},
        {"hilos sin confinar", Quien::nadie, hilos_sin_confinar},
        {"trae a A otra vez", Quien::nadie,
         [&] { return trae(host, "b_201305.xml", a + "/b_201305.xml"); }},
        {"trae a otra carpeta", Quien::landlock,
         [&] { return trae(host, "c_201305.xml", fuera + "/c_201305.xml"); },
         std::to_string(SOCKVOR_E_LOCAL) + " No se puede guardar " + fuera +
             "/c_201305.xml: desde su primera descarga este proceso solo puede escribir en la "
             "carpeta " +
             a},
    };

    std::vector<std::function<std::string()>> pasos;
    if (kernel != Kernel::completo) {
        pasos.push_back([kernel] { return quita(kernel); });
    }
    for (const auto &f : filas) {
        pasos.push_back(f.hace);
    }
    Hijo cliente(std::move(pasos));
    if (kernel != Kernel::completo) {
        ASSERT_EQ(cliente.paso(), "0") << "no se pudo instalar el filtro de la prueba";
    }
    for (const auto &f : filas) {
        EXPECT_EQ(cliente.paso(), esperado(f, kernel)) << f.nombre;
    }
    // Its exit, confined, still syncs the deposit folder and ends well.
    EXPECT_EQ(cliente.termina(), 0);
    close(agente);
    close(terminal);
    close(maestra);
    for (const char *n : {"a_201305.xml", "b_201305.xml"}) {
        EXPECT_EQ(lee_archivo(a + "/" + n), bytes_de_prueba(40000, 3)) << n;
    }
    EXPECT_TRUE(ocultos(a).empty());
}

// A caller that never told the library its folder, as a site's other program: confined
// from its first fetch. Where the kernel lacks a part, the process goes on without it.
TEST(Confinamiento, SoloEscribeEnLaCarpetaDeLaPrimeraDescarga) {
    if (syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) < 1) {
        GTEST_SKIP() << "el kernel no ofrece Landlock";
    }
    comprueba(Kernel::completo);
}

TEST(Confinamiento, SinLandlockQuedaLaListaDeLlamadas) {
    comprueba(Kernel::sin_landlock);
}

TEST(Confinamiento, SinSeccompQuedaLandlock) {
    if (syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION) < 1) {
        GTEST_SKIP() << "el kernel no ofrece Landlock";
    }
    comprueba(Kernel::sin_seccomp);
}

} // namespace
