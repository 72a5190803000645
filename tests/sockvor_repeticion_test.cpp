// Repeat runs through libSockVor.so against the loopback host: a file deposited
// before, from the same remote size and mtime and untouched here since, is left
// as it is; anything else is fetched again.
#include "hijo.h"
#include "host_fixture.h"
#include "sockvor.h"

#include <filesystem>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string login = "x1";
const std::string nombre = "a_201305.xml";
const std::string remota = "/D:/IDE/x1/Acuses/" + nombre;

int lista(const HostSftp &host) {
    char lista[SOCKVOR_TAM_LISTA];
    char error[SOCKVOR_TAM_ERROR];
    int r = ListaFolders(host.direccion().c_str(), login.c_str(), "d",
                         HostSftp::ruta_windows(login, "*201305*.xml").c_str(), lista, error);
    EXPECT_EQ(r, SOCKVOR_OK) << error;
    return r;
}

int recibe(const HostSftp &host, const std::string &deposito, const std::string &archivo) {
    char error[SOCKVOR_TAM_ERROR];
    int r = RecibeArchivo(host.direccion().c_str(), login.c_str(),
                          HostSftp::ruta_windows(login, archivo).c_str(),
                          (deposito + "/" + archivo).c_str(), error);
    EXPECT_EQ(r, SOCKVOR_OK) << error;
    return r;
}

// One run of the library as the command makes it: the listing, then the file.
int corrida(const HostSftp &host, const std::string &deposito) {
    int r = lista(host);
    return r == SOCKVOR_OK ? recibe(host, deposito, nombre) : r;
}

// Runs in a child process, as many times as asked, as one long-lived caller makes its
// runs: the library confines its process to the deposit folder at the first fetch, and
// between runs this process, unconfined, changes the host's copy, the local one, or
// unmounts.
Hijo corridas(const HostSftp &host, const std::string &deposito, int veces) {
    std::vector<std::function<std::string()>> pasos(
        veces, [&host, deposito] { return std::to_string(corrida(host, deposito)); });
    return Hijo(std::move(pasos));
}

struct Huella {
    ino_t inodo;
    timespec mtime;
};

Huella huella(const std::string &ruta) {
    struct stat s {};
    EXPECT_EQ(lstat(ruta.c_str(), &s), 0) << ruta;
    return {s.st_ino, s.st_mtim};
}

void cambia_mtime(const std::string &ruta, int segundos) {
    auto t = fs::last_write_time(ruta);
    fs::last_write_time(ruta, t + std::chrono::seconds(segundos));
}

// The record of `local` with its field `campo` (0 the version, 1 where the file
// came from at what size and mtime, 2 the inode) made `valor`: a record right in everything else.
void falsifica(const std::string &local, std::size_t campo, const std::string &valor) {
    char texto[256];
    auto n = getxattr(local.c_str(), "user.sockvor.origen", texto, sizeof texto);
    ASSERT_GT(n, 0);
    std::vector<std::string> campos;
    std::istringstream partes(std::string(texto, static_cast<std::size_t>(n)));
    for (std::string c; partes >> c;) {
        campos.push_back(c);
    }
    ASSERT_GT(campos.size(), campo);
    campos[campo] = valor;
    std::string falso;
    for (const auto &c : campos) {
        falso += (falso.empty() ? "" : " ") + c;
    }
    ASSERT_EQ(setxattr(local.c_str(), "user.sockvor.origen", falso.data(), falso.size(), 0), 0);
}

struct Caso {
    const char *nombre;
    bool se_trae; // the second run fetches the file again
    void (*entre_corridas)(const HostSftp &, const std::string &local);
};

const Caso casos[] = {
    {"SinCambios", false, [](const HostSftp &, const std::string &) {}},
    {"CrecioEnElHost", true,
     [](const HostSftp &h, const std::string &) {
         h.crea_remoto(login, nombre, bytes_de_prueba(6000, 2));
     }},
    {"MismaTallaNuevaFecha", true,
     [](const HostSftp &h, const std::string &) {
         h.crea_remoto(login, nombre, bytes_de_prueba(5000, 3));
         cambia_mtime(h.ruta_local_remota(login, nombre), 10);
     }},
    {"CopiaLocalDanada", true,
     [](const HostSftp &, const std::string &l) {
         // A later write: its mtime is not the one of arrival.
         escribe_archivo(l, std::string(5000, 'x'));
         cambia_mtime(l, 1);
     }},
    {"OtraTallaConSuFecha", true,
     [](const HostSftp &, const std::string &l) {
         // Cut short here, its mtime put back: the size no longer is the host's.
         auto t = fs::last_write_time(l);
         fs::resize_file(l, 4000);
         fs::last_write_time(l, t);
     }},
    {"CopiaLocalBorrada", true, [](const HostSftp &, const std::string &l) { fs::remove(l); }},
    {"ReemplazadaPorEnlace", true,
     [](const HostSftp &, const std::string &l) {
         fs::rename(l, l + ".aparte");
         fs::create_symlink(l + ".aparte", l);
     }},
    {"ReemplazadaPorOtroInodo", true,
     [](const HostSftp &, const std::string &l) {
         // A copy keeps the contents, the dates and the attribute, not the inode.
         ASSERT_EQ(
             system(("cp -a '" + l + "' '" + l + ".copia' && mv '" + l + ".copia' '" + l + "'")
                        .c_str()),
             0);
     }},
    {"AtributoIlegible", true,
     [](const HostSftp &, const std::string &l) {
         ASSERT_EQ(setxattr(l.c_str(), "user.sockvor.origen", "1 x", 3, 0), 0);
     }},
    {"AtributoDeOtraCopia", true,
     [](const HostSftp &, const std::string &l) {
         struct stat s {};
         ASSERT_EQ(stat(l.c_str(), &s), 0);
         falsifica(l, 2, std::to_string(s.st_ino + 1));
     }},
    // Two jobs (other hosts or logins) may share a deposit folder: a file of the same
    // name, size and mtime from elsewhere is not this one.
    {"AtributoDeOtroOrigen", true,
     [](const HostSftp &, const std::string &l) { falsifica(l, 1, std::string(16, 'a')); }},
    // Whoever may write a file may rewrite its record too: only a file of our own
    // that nobody else may write is believed.
    {"DeOtroUsuario", true,
     [](const HostSftp &, const std::string &l) { ASSERT_EQ(lchown(l.c_str(), 65534, -1), 0); }},
    {"EscribibleParaOtroGrupo", true,
     [](const HostSftp &, const std::string &l) {
         ASSERT_EQ(lchown(l.c_str(), -1, 65534), 0);
         ASSERT_EQ(chmod(l.c_str(), 0664), 0);
     }},
    // As a umask of 002 makes it: the group is the user's own, named after it,
    // with nobody else in it.
    {"EscribibleParaSuGrupoPropio", false,
     [](const HostSftp &, const std::string &l) { ASSERT_EQ(chmod(l.c_str(), 0664), 0); }},
    {"EscribibleParaTodos", true,
     [](const HostSftp &, const std::string &l) { ASSERT_EQ(chmod(l.c_str(), 0606), 0); }},
};

void PrintTo(const Caso &c, std::ostream *os) {
    *os << c.nombre;
}

class Repeticion : public testing::TestWithParam<Caso> {};

TEST_P(Repeticion, SoloSeTraeLoQueCambio) {
    const auto &c = GetParam();
    HostSftp host;
    host.usa_home();
    host.crea_remoto(login, nombre, bytes_de_prueba(5000, 1));
    const std::string local = host.deposito() + "/" + nombre;
    auto cliente = corridas(host, host.deposito(), 2);
    ASSERT_EQ(cliente.paso(), std::to_string(SOCKVOR_OK));
    // Past 56 bytes ext4 moves this attribute out of a 256-byte inode, into a
    // block of its own for each file.
    EXPECT_LE(getxattr(local.c_str(), "user.sockvor.origen", nullptr, 0), 56);
    c.entre_corridas(host, local);
    auto antes = c.se_trae ? Huella{} : huella(local);
    ASSERT_EQ(cliente.paso(), std::to_string(SOCKVOR_OK));
    EXPECT_EQ(cliente.termina(), 0);
    EXPECT_EQ(host.cuenta("open " + remota), c.se_trae ? 2 : 1);
    EXPECT_EQ(lee_archivo(local), lee_archivo(host.ruta_local_remota(login, nombre)));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(local)));
    auto despues = huella(local);
    if (!c.se_trae) {
        EXPECT_EQ(despues.inodo, antes.inodo);
        EXPECT_EQ(despues.mtime.tv_sec, antes.mtime.tv_sec);
        EXPECT_EQ(despues.mtime.tv_nsec, antes.mtime.tv_nsec);
    }
    if (fs::exists(local + ".aparte")) {
        EXPECT_EQ(lee_archivo(local + ".aparte"), bytes_de_prueba(5000, 1));
    }
    EXPECT_EQ(host.cuenta("connect"), 1);
}

INSTANTIATE_TEST_SUITE_P(SockVor, Repeticion, testing::ValuesIn(casos),
                         [](const auto &info) { return std::string(info.param.nombre); });

// A group named after the user is its own only with nobody else in it: a file that such a
// group with another member may write is fetched again. The child that runs the library
// sees /etc/group with that member, in a mount namespace of its own.
TEST(SockVor, EscribibleParaUnGrupoConSuNombreYOtroMiembroSeTrae) {
    const passwd *yo = getpwuid(geteuid());
    const group *suyo = yo ? getgrnam(yo->pw_name) : nullptr;
    if (geteuid() != 0 || !suyo) {
        GTEST_SKIP() << "hace falta ser root, con un grupo del mismo nombre";
    }
    const std::string propio = yo->pw_name;
    const gid_t gid = suyo->gr_gid;
    HostSftp host;
    host.usa_home();
    host.crea_remoto(login, nombre, bytes_de_prueba(5000, 1));
    const std::string grupos = host.home() + "/group";
    std::istringstream lineas(lee_archivo("/etc/group"));
    std::string con_otro;
    for (std::string l; std::getline(lineas, l);) {
        if (l.rfind(propio + ":", 0) == 0) {
            l += l.back() == ':' ? "otro" : ",otro";
        }
        con_otro += l + "\n";
    }
    escribe_archivo(grupos, con_otro);
    const std::string d = host.deposito();
    Hijo cliente({[&host, d, grupos] {
                      if (unshare(CLONE_NEWNS) != 0 ||
                          mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                          mount(grupos.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0) {
                          return std::string("sin montaje");
                      }
                      return std::to_string(corrida(host, d));
                  },
                  [&host, d] { return std::to_string(corrida(host, d)); }});
    auto primera = cliente.paso();
    if (primera == "sin montaje") {
        GTEST_SKIP() << "no se pudo montar otro /etc/group";
    }
    ASSERT_EQ(primera, std::to_string(SOCKVOR_OK));
    const std::string local = d + "/" + nombre;
    ASSERT_EQ(chown(local.c_str(), -1, gid), 0);
    ASSERT_EQ(chmod(local.c_str(), 0664), 0);
    ASSERT_EQ(cliente.paso(), std::to_string(SOCKVOR_OK));
    EXPECT_EQ(cliente.termina(), 0);
    EXPECT_EQ(host.cuenta("open " + remota), 2);
}

// A run judges every file of its listing at the first fetch; a file changed here
// after that and before its turn is fetched all the same.
TEST(SockVor, CambiadoAquiAntesDeSuTurnoSeTrae) {
    HostSftp host;
    host.usa_home();
    const std::string otro = "b_201305.xml";
    host.crea_remoto(login, nombre, bytes_de_prueba(5000, 1));
    host.crea_remoto(login, otro, bytes_de_prueba(5000, 2));
    const std::string d = host.deposito();
    auto hasta = [&host, d, otro](const std::string &ultimo) {
        return [&host, d, otro, ultimo] {
            int r = lista(host);
            for (const auto &n : {nombre, otro}) {
                r = r == SOCKVOR_OK ? recibe(host, d, n) : r;
                if (n == ultimo) {
                    break;
                }
            }
            return std::to_string(r);
        };
    };
    Hijo cliente({hasta(otro), hasta(nombre),
                  [&host, d, otro] { return std::to_string(recibe(host, d, otro)); }});
    ASSERT_EQ(cliente.paso(), std::to_string(SOCKVOR_OK));
    ASSERT_EQ(cliente.paso(), std::to_string(SOCKVOR_OK));
    escribe_archivo(d + "/" + otro, std::string(5000, 'x'));
    cambia_mtime(d + "/" + otro, 1);
    ASSERT_EQ(cliente.paso(), std::to_string(SOCKVOR_OK));
    EXPECT_EQ(cliente.termina(), 0);
    EXPECT_EQ(host.cuenta("open " + remota), 1);
    EXPECT_EQ(host.cuenta("open /D:/IDE/x1/Acuses/" + otro), 2);
    EXPECT_EQ(lee_archivo(d + "/" + otro), bytes_de_prueba(5000, 2));
}

// Where the file system keeps no user attributes there is no record to trust:
// every run fetches the file.
TEST(SockVor, SinAtributosDeUsuarioSeTraeSiempre) {
    HostSftp host;
    host.usa_home();
    host.crea_remoto(login, nombre, bytes_de_prueba(5000, 1));
    std::string sin_atributos = host.deposito() + "/ramfs";
    fs::create_directories(sin_atributos);
    if (mount("ramfs", sin_atributos.c_str(), "ramfs", 0, nullptr) != 0) {
        GTEST_SKIP() << "no se pudo montar un ramfs (hace falta ser root)";
    }
    auto cliente = corridas(host, sin_atributos, 2);
    ASSERT_EQ(cliente.paso(), std::to_string(SOCKVOR_OK));
    ASSERT_EQ(cliente.paso(), std::to_string(SOCKVOR_OK));
    EXPECT_EQ(cliente.termina(), 0);
    EXPECT_EQ(host.cuenta("open " + remota), 2);
    EXPECT_EQ(lee_archivo(sin_atributos + "/" + nombre), bytes_de_prueba(5000, 1));
    umount2(sin_atributos.c_str(), MNT_DETACH);
}

} // namespace
