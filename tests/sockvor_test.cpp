// libSockVor.so as the command uses it, against a real SFTP host on loopback
// that the tests start and, where asked, make misbehave.
#include "hijo.h"
#include "host_fixture.h"
#include "sockvor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string login = "x1";
const std::string mayo = HostSftp::ruta_windows(login, "*201305*.xml");
constexpr char relleno = '\x5a';
constexpr std::size_t margen = 64;

struct Resultado {
    int codigo;
    std::string lista;
    std::string error;
};

// Checks what every call must honour: nothing written past either buffer, the
// error text terminated inside its 512 bytes and on one line.
void revisa_buffers(const std::vector<char> &lista, const std::vector<char> &error, int codigo) {
    for (std::size_t i = SOCKVOR_TAM_LISTA; i < lista.size(); ++i) {
        ASSERT_EQ(lista[i], relleno) << "escritura fuera de la lista en " << i;
    }
    for (std::size_t i = SOCKVOR_TAM_ERROR; i < error.size(); ++i) {
        ASSERT_EQ(error[i], relleno) << "escritura fuera del error en " << i;
    }
    const char *fin = static_cast<const char *>(std::memchr(error.data(), '\0', SOCKVOR_TAM_ERROR));
    ASSERT_NE(fin, nullptr) << "texto de error sin terminar";
    std::string texto(error.data(), fin);
    if (codigo != SOCKVOR_OK && codigo != SOCKVOR_NO_ENCONTRADO) {
        EXPECT_LT(codigo, 0);
        EXPECT_FALSE(texto.empty()) << "falla sin texto";
        EXPECT_EQ(texto.find('\n'), std::string::npos) << texto;
    }
}

Resultado lista(const std::string &ip, const std::string &patron, const char *tipo = "d") {
    std::vector<char> l(SOCKVOR_TAM_LISTA + margen, relleno);
    std::vector<char> e(SOCKVOR_TAM_ERROR + margen, relleno);
    int r = ListaFolders(ip.c_str(), login.c_str(), tipo, patron.c_str(), l.data(), e.data());
    revisa_buffers(l, e, r);
    return {r, l.data(), e.data()};
}

Resultado recibe(const std::string &ip, const std::string &nombre, const std::string &local) {
    std::vector<char> e(SOCKVOR_TAM_ERROR + margen, relleno);
    int r = RecibeArchivo(ip.c_str(), login.c_str(), HostSftp::ruta_windows(login, nombre).c_str(),
                          local.c_str(), e.data());
    std::vector<char> sin_lista(SOCKVOR_TAM_LISTA + margen, relleno);
    revisa_buffers(sin_lista, e, r);
    return {r, "", e.data()};
}

// A result as a child process hands it back (see hijo.h), and read again.
std::string empaca(const Resultado &r) {
    return std::to_string(r.codigo) + "\n" + r.error;
}

Resultado desempaca(const std::string &texto) {
    auto corte = texto.find('\n');
    return {std::stoi(texto.substr(0, corte)), "", texto.substr(corte + 1)};
}

std::vector<std::string> parte(const std::string &lista) {
    std::vector<std::string> nombres;
    std::size_t inicio = 0;
    while (inicio <= lista.size() && !lista.empty()) {
        auto fin = lista.find(SOCKVOR_SEPARADOR, inicio);
        nombres.push_back(lista.substr(inicio, fin - inicio));
        if (fin == std::string::npos) {
            break;
        }
        inicio = fin + 1;
    }
    return nombres;
}

// Fetches each name into the deposit folder and compares it with the host's copy.
void trae_y_compara(const HostSftp &host, const std::vector<std::string> &nombres) {
    for (const auto &nombre : nombres) {
        auto t = recibe(host.direccion(), nombre, host.deposito() + "/" + nombre);
        ASSERT_EQ(t.codigo, SOCKVOR_OK) << nombre << ": " << t.error;
        EXPECT_EQ(lee_archivo(host.deposito() + "/" + nombre),
                  lee_archivo(host.ruta_local_remota(login, nombre)))
            << nombre;
    }
}

class TraeAmbosMeses : public testing::TestWithParam<std::vector<std::string>> {};

// Whether the listing gives each entry's permissions or, as version 3 allows,
// leaves them out (then its long name tells a folder from a file).
TEST_P(TraeAmbosMeses, ByteAByte) {
    OpcionesHost o;
    o.fallas = GetParam();
    HostSftp host(o);
    host.usa_home();
    // Sizes around the 32 KiB read size and the one byte probe past the end.
    const std::vector<std::pair<std::string, std::size_t>> mayo_archivos = {
        {"a_201305.xml", 0},     {"b_201305.xml", 5},      {"c_201305.xml", 32767},
        {"d_201305.xml", 32768}, {"e_201305.xml", 32769},  {"f_201305.xml", 100000},
        {"g_201305.xml", 65536}, {"h_20130501.xml", 4096},
    };
    unsigned semilla = 1;
    for (const auto &[nombre, largo] : mayo_archivos) {
        host.crea_remoto(login, nombre, bytes_de_prueba(largo, semilla++));
    }
    host.crea_remoto(login, "z_201304.xml", bytes_de_prueba(70000, 99));
    // Not listed: wrong extension, capitals, another month, a folder.
    host.crea_remoto(login, "y_201305.txt", "no");
    host.crea_remoto(login, "Y_201305.XML", "no");
    fs::create_directories(host.ruta_local_remota(login, "carpeta_201305.xml"));

    auto r = lista(host.direccion(), mayo);
    ASSERT_EQ(r.codigo, SOCKVOR_OK) << r.error;
    std::vector<std::string> esperados;
    for (const auto &a : mayo_archivos) {
        esperados.push_back(a.first);
    }
    EXPECT_EQ(parte(r.lista), esperados);

    trae_y_compara(host, parte(r.lista));
    auto abril = lista(host.direccion(), HostSftp::ruta_windows(login, "*201304*.xml"));
    ASSERT_EQ(abril.codigo, SOCKVOR_OK) << abril.error;
    EXPECT_EQ(abril.lista, "z_201304.xml");
    auto t = recibe(host.direccion(), "z_201304.xml", host.deposito() + "/z_201304.xml");
    ASSERT_EQ(t.codigo, SOCKVOR_OK) << t.error;
    EXPECT_EQ(lee_archivo(host.deposito() + "/z_201304.xml"),
              lee_archivo(host.ruta_local_remota(login, "z_201304.xml")));
    EXPECT_TRUE(ocultos(host.deposito()).empty());
}

INSTANTIATE_TEST_SUITE_P(SockVor, TraeAmbosMeses,
                         testing::Values(std::vector<std::string>{},
                                         std::vector<std::string>{"no-permissions"}),
                         [](const auto &info) {
                             return info.param.empty() ? std::string("ConPermisos")
                                                       : std::string("SinPermisos");
                         });

// A host may answer requests in any order: every reply goes to its own request,
// many files and many reads of each in flight at once.
TEST(SockVor, RespuestasEnDesorden) {
    OpcionesHost o;
    o.fallas = {"out-of-order"};
    HostSftp host(o);
    host.usa_home();
    const std::size_t largos[] = {0, 1, 5, 32769, 100000, 250000, 4096, 70000};
    unsigned semilla = 30;
    for (std::size_t largo : largos) {
        host.crea_remoto(login,
                         std::string("d").append(std::to_string(largo)).append("_201305.xml"),
                         bytes_de_prueba(largo, semilla++));
    }
    auto r = lista(host.direccion(), mayo);
    ASSERT_EQ(r.codigo, SOCKVOR_OK) << r.error;
    trae_y_compara(host, parte(r.lista));
    std::vector<long> respuestas;
    for (const auto &l : host.registro()) {
        if (l.rfind("reply ", 0) == 0) {
            respuestas.push_back(std::stol(l.substr(6)));
        }
    }
    EXPECT_FALSE(std::is_sorted(respuestas.begin(), respuestas.end()))
        << "el host respondió en orden: la prueba no probó nada";
}

// The size from the listing only plans the reads; the end of the file is what
// the host says it is now, whether it grew, shrank, or was never listed.
TEST(SockVor, TraeLoQueHayAhoraAunqueCambieDesdeElListado) {
    HostSftp host;
    host.usa_home();
    const struct {
        const char *nombre;
        std::size_t al_listar, al_traer;
    } casos[] = {
        {"crece_201305.xml", 5, 70000},     {"crece_poco_201305.xml", 32768, 32769},
        {"encoge_201305.xml", 100000, 10},  {"vacia_201305.xml", 4096, 0},
        {"igual_201305.xml", 65536, 65536},
    };
    unsigned semilla = 10;
    for (const auto &c : casos) {
        host.crea_remoto(login, c.nombre, bytes_de_prueba(c.al_listar, semilla++));
    }
    ASSERT_EQ(lista(host.direccion(), mayo).codigo, SOCKVOR_OK);
    for (const auto &c : casos) {
        host.crea_remoto(login, c.nombre, bytes_de_prueba(c.al_traer, semilla++));
    }
    for (const auto &c : casos) {
        auto t = recibe(host.direccion(), c.nombre, host.deposito() + "/" + c.nombre);
        ASSERT_EQ(t.codigo, SOCKVOR_OK) << c.nombre << ": " << t.error;
        EXPECT_EQ(lee_archivo(host.deposito() + "/" + c.nombre),
                  lee_archivo(host.ruta_local_remota(login, c.nombre)))
            << c.nombre;
    }
}

TEST(SockVor, TraeSinListadoPrevio) {
    HostSftp host;
    host.usa_home();
    unsigned semilla = 20;
    std::vector<std::string> nombres;
    for (std::size_t largo : {0, 1, 32767, 32768, 65537, 300000}) {
        // Appended, not "s" + std::to_string(...): GCC 12 warns falsely (-Wrestrict) on that.
        nombres.push_back(std::string("s").append(std::to_string(largo)).append(".xml"));
        // Made before the first fetch, which confines this process to the deposit folder.
        host.crea_remoto(login, nombres.back(), bytes_de_prueba(largo, semilla++));
    }
    for (const auto &nombre : nombres) {
        auto t = recibe(host.direccion(), nombre, host.deposito() + "/" + nombre);
        ASSERT_EQ(t.codigo, SOCKVOR_OK) << nombre << ": " << t.error;
        EXPECT_EQ(lee_archivo(host.deposito() + "/" + nombre),
                  lee_archivo(host.ruta_local_remota(login, nombre)))
            << nombre;
    }
    EXPECT_EQ(host.cuenta("connect"), 1);
}

TEST(SockVor, UnaConexionSirveATodaLaCorridaConSoloElStatQueConfirma) {
    HostSftp host;
    host.usa_home();
    for (int i = 0; i < 5; ++i) {
        // Appended, not "n" + std::to_string(i): GCC 12 warns falsely (-Wrestrict) on that.
        host.crea_remoto(login, std::string("n").append(std::to_string(i)).append("_201305.xml"),
                         bytes_de_prueba(300, i));
    }
    auto r = lista(host.direccion(), mayo);
    ASSERT_EQ(r.codigo, SOCKVOR_OK) << r.error;
    for (const auto &nombre : parte(r.lista)) {
        auto t = recibe(host.direccion(), nombre, host.deposito() + "/" + nombre);
        ASSERT_EQ(t.codigo, SOCKVOR_OK) << t.error;
    }
    EXPECT_EQ(lista(host.direccion(), HostSftp::ruta_windows(login, "*201304*.xml")).codigo,
              SOCKVOR_NO_ENCONTRADO);
    EXPECT_EQ(host.cuenta("connect"), 1);
    // April's listing is answered from May's read of the same folder.
    EXPECT_EQ(host.cuenta("opendir"), 1);
    EXPECT_EQ(host.cuenta("open"), 5);
    // The listing carried the sizes: no file needed a stat before its reads, only
    // the one that confirms it after them, which goes along with the last.
    EXPECT_EQ(host.cuenta("stat"), 5);
    EXPECT_EQ(host.cuenta("stat (fstat)"), 5);
}

TEST(SockVor, AliasDeLaConfiguracionSsh) {
    HostSftp host;
    host.usa_home();
    host.crea_remoto(login, "a_201305.xml", "hola");
    auto r = lista(HostSftp::alias, mayo);
    ASSERT_EQ(r.codigo, SOCKVOR_OK) << r.error;
    EXPECT_EQ(r.lista, "a_201305.xml");
}

TEST(SockVor, SinCoincidenciasEsNoEncontrado) {
    HostSftp host;
    host.usa_home();
    host.crea_remoto(login, "a_201304.xml", "abril");
    auto r = lista(host.direccion(), mayo);
    EXPECT_EQ(r.codigo, SOCKVOR_NO_ENCONTRADO) << r.error;
    EXPECT_EQ(r.lista, "");
}

// Failures of the connection itself or of the listing: each with its own code
// and a text that names the host or folder and says what to do.
struct CasoFallaLista {
    const char *nombre;
    OpcionesHost opciones;
    bool puerto_cerrado;
    bool crea_carpeta;
    int codigo;
    std::vector<std::string> en_texto; // "{P}" stands for the port
};

void PrintTo(const CasoFallaLista &c, std::ostream *os) {
    *os << c.nombre;
}

class FallaLista : public testing::TestWithParam<CasoFallaLista> {};

TEST_P(FallaLista, CodigoYTexto) {
    const auto &c = GetParam();
    HostSftp host(c.opciones);
    host.usa_home();
    if (c.crea_carpeta) {
        host.crea_remoto(login, "a_201305.xml", "hola");
    }
    std::string ip = host.direccion();
    int puerto = host.puerto();
    if (c.puerto_cerrado) {
        puerto = puerto_libre();
        ip = "127.0.0.1:" + std::to_string(puerto);
    }
    auto r = lista(ip, mayo);
    EXPECT_EQ(r.codigo, c.codigo) << r.error;
    EXPECT_EQ(r.lista, "");
    for (auto esperado : c.en_texto) {
        if (auto p = esperado.find("{P}"); p != std::string::npos) {
            esperado.replace(p, 3, std::to_string(puerto));
        }
        if (auto h = esperado.find("{H}"); h != std::string::npos) {
            esperado.replace(h, 3, host.home());
        }
        EXPECT_NE(r.error.find(esperado), std::string::npos)
            << "falta \"" << esperado << "\" en: " << r.error;
    }
}

OpcionesHost con_llave(LlaveConocida k) {
    OpcionesHost o;
    o.llave = k;
    return o;
}

OpcionesHost sin_autorizar() {
    OpcionesHost o;
    o.cliente_autorizado = false;
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    SockVor, FallaLista,
    testing::Values(
        CasoFallaLista{
            "HostDesconocido",
            con_llave(LlaveConocida::ausente),
            false,
            true,
            SOCKVOR_E_HOST_DESCONOCIDO,
            {"127.0.0.1:{P}", "SHA256:", "ssh-keyscan -p {P} 127.0.0.1 >> {H}/.ssh/known_hosts"}},
        CasoFallaLista{"LlaveDelHostCambiada",
                       con_llave(LlaveConocida::otra),
                       false,
                       true,
                       SOCKVOR_E_HOST_CAMBIADO,
                       {"127.0.0.1:{P}", "SHA256:", "ssh-keygen -R '[127.0.0.1]:{P}'",
                        "ssh-keyscan -p {P} 127.0.0.1 >> {H}/.ssh/known_hosts"}},
        CasoFallaLista{"LlaveNoAutorizada",
                       sin_autorizar(),
                       false,
                       true,
                       SOCKVOR_E_AUTENTICACION,
                       {"127.0.0.1:{P}", "usuario x1", "authorized_keys de x1",
                        "C:\\ProgramData\\ssh\\administrators_authorized_keys"}},
        CasoFallaLista{
            "PuertoCerrado", {}, true, true, SOCKVOR_E_CONEXION, {"127.0.0.1:{P}", "refused"}},
        CasoFallaLista{"CarpetaInexistente",
                       {},
                       false,
                       false,
                       SOCKVOR_E_CARPETA,
                       {"/D:/IDE/x1/Acuses", "127.0.0.1:{P}", "no existe"}}),
    [](const auto &info) { return std::string(info.param.nombre); });

TEST(SockVor, ArgumentosInvalidos) {
    const struct {
        const char *ip, *tipo, *patron;
    } casos[] = {
        {"127.0.0.1:1", "f", "D:\\IDE\\x1\\Acuses\\*.xml"},
        {"127.0.0.1:1", "", "D:\\IDE\\x1\\Acuses\\*.xml"},
        {"127.0.0.1:99999", "d", "D:\\IDE\\x1\\Acuses\\*.xml"},
        {"[::1", "d", "D:\\IDE\\x1\\Acuses\\*.xml"},
        {"", "d", "D:\\IDE\\x1\\Acuses\\*.xml"},
        {"127.0.0.1:1", "d", "D:\\IDE\\x*\\Acuses\\*.xml"},
        {"127.0.0.1:1", "d", "D:\\IDE\\x1\\Acuses\\"},
    };
    for (const auto &c : casos) {
        auto r = lista(c.ip, c.patron, c.tipo);
        EXPECT_EQ(r.codigo, SOCKVOR_E_ARGUMENTO) << c.ip << " " << c.tipo << " " << c.patron;
    }
    char error[SOCKVOR_TAM_ERROR];
    EXPECT_EQ(RecibeArchivo("127.0.0.1:1", "x1", "D:\\IDE\\x1\\Acuses\\", "/tmp/x", error),
              SOCKVOR_E_ARGUMENTO);
    EXPECT_EQ(ListaFolders(nullptr, "x1", "d", "D:\\a\\*.xml", nullptr, error),
              SOCKVOR_E_ARGUMENTO);
}

// Names the command's walk could not split back out of the list, or that
// could lead a fetch outside the deposit folder: the listing fails naming them.
TEST(SockVor, NombreQueNoSePuedeSepararFallaNombrandolo) {
    const struct {
        const char *inyectado; // as given to sftp_host.py
        const char *en_texto;  // how the error text shows it
    } casos[] = {
        {"a\\nb_201305.xml", "a\\nb_201305.xml"},
        {"ev/il_201305.xml", "ev/il_201305.xml"},
        {"../fuera_201305.xml", "../fuera_201305.xml"},
        {"..\\\\fuera_201305.xml", "..\\fuera_201305.xml"},
        {"a.xml.b_201305.xml", "a.xml.b_201305.xml"},
        {"c\\x01_201305.xml", "c\\x01_201305.xml"},
        {"d\\x7f_201305.xml", "d\\x7F_201305.xml"},
        {"e\\t_201305.xml", "e\\t_201305.xml"},
        {"x\\r_201305.xml", "x\\r_201305.xml"},
    };
    for (const auto &c : casos) {
        OpcionesHost o;
        o.inyectados = {c.inyectado};
        HostSftp host(o);
        host.usa_home();
        host.crea_remoto(login, "bueno_201305.xml", "ok");
        auto r = lista(host.direccion(), mayo);
        EXPECT_EQ(r.codigo, SOCKVOR_E_NOMBRE) << c.inyectado << ": " << r.error;
        EXPECT_NE(r.error.find(c.en_texto), std::string::npos) << r.error;
        EXPECT_EQ(r.lista, "");
    }
}

TEST(SockVor, NombresQueNoCoincidenNoImportan) {
    OpcionesHost o;
    o.inyectados = {"..", "a\\nb.txt", "x/y", "z_201304.xml", "x_201305.xml\\r"};
    HostSftp host(o);
    host.usa_home();
    host.crea_remoto(login, "bueno_201305.xml", "ok");
    auto r = lista(host.direccion(), mayo);
    ASSERT_EQ(r.codigo, SOCKVOR_OK) << r.error;
    EXPECT_EQ(r.lista, "bueno_201305.xml");
}

// The list holds exactly 65,536 bytes with its terminator; one byte more fails
// whole rather than losing a name. 2,520 generated names of 25 bytes plus a
// separator take 65,520 bytes; one real name of 15 bytes fills the rest.
TEST(SockVor, ListaJustoAlLimiteYUnByteMas) {
    for (const std::string extra : {"abcd_201305.xml", "abcde_201305.xml"}) {
        OpcionesHost o;
        o.muchos = 2520;
        HostSftp host(o);
        host.usa_home();
        host.crea_remoto(login, extra, "x");
        auto r = lista(host.direccion(), mayo);
        if (extra.size() == 15) {
            ASSERT_EQ(r.codigo, SOCKVOR_OK) << r.error;
            EXPECT_EQ(r.lista.size() + 1, std::size_t{SOCKVOR_TAM_LISTA});
            EXPECT_EQ(parte(r.lista).size(), 2521u);
        } else {
            EXPECT_EQ(r.codigo, SOCKVOR_E_LISTA_LLENA) << r.error;
            EXPECT_NE(r.error.find("65537"), std::string::npos) << r.error;
            EXPECT_NE(r.error.find("2521"), std::string::npos) << r.error;
            EXPECT_EQ(r.lista, "");
        }
    }
}

// Remote faults during a fetch: the failure is reported, an earlier copy of
// the file stays as it was and no temporary file is left behind.
struct CasoFallaRecibe {
    const char *nombre;
    std::vector<std::string> fallas;
    int codigo;
    const char *en_texto;
    int conexiones; // connections the host saw
};

void PrintTo(const CasoFallaRecibe &c, std::ostream *os) {
    *os << c.nombre;
}

class FallaRecibe : public testing::TestWithParam<CasoFallaRecibe> {};

TEST_P(FallaRecibe, CopiaAnteriorIntactaYSinTemporales) {
    const auto &c = GetParam();
    OpcionesHost o;
    o.fallas = c.fallas;
    o.connect_timeout = 2;
    HostSftp host(o);
    host.usa_home();
    host.crea_remoto(login, "a_201305.xml", bytes_de_prueba(200000, 7));
    const std::string destino = host.deposito() + "/a_201305.xml";
    escribe_archivo(destino, "copia anterior");

    auto r = lista(host.direccion(), mayo);
    ASSERT_EQ(r.codigo, SOCKVOR_OK) << r.error;
    auto t = recibe(host.direccion(), "a_201305.xml", destino);
    EXPECT_EQ(t.codigo, c.codigo) << t.error;
    EXPECT_NE(t.error.find(c.en_texto), std::string::npos) << t.error;
    EXPECT_NE(t.error.find(host.direccion()), std::string::npos) << t.error;
    EXPECT_EQ(lee_archivo(destino), "copia anterior");
    EXPECT_TRUE(ocultos(host.deposito()).empty());
    EXPECT_EQ(host.cuenta("connect"), c.conexiones);
}

INSTANTIATE_TEST_SUITE_P(
    SockVor, FallaRecibe,
    testing::Values(
        CasoFallaRecibe{"ErrorDeLectura", {"read-error"}, SOCKVOR_E_REMOTO, "falla de lectura", 1},
        // A drop on a connection kept from the listing is retried once on a new one.
        CasoFallaRecibe{"ConexionCaidaAMitad",
                        {"drop-read"},
                        SOCKVOR_E_CONEXION_PERDIDA,
                        "Se perdió la conexión",
                        2},
        CasoFallaRecibe{"HostEnPausaAlLeer", {"pause-read"}, SOCKVOR_E_TIEMPO, "2 s", 1},
        CasoFallaRecibe{"CarpetaDesaparecida", {"vanish"}, SOCKVOR_E_REMOTO, "no existe", 1}),
    [](const auto &info) { return std::string(info.param.nombre); });

TEST(SockVor, HostQueAceptaYNoHablaAgotaElPlazo) {
    OpcionesHost o;
    o.fallas = {"silent"};
    o.connect_timeout = 2;
    HostSftp host(o);
    host.usa_home();
    auto r = lista(host.direccion(), mayo);
    EXPECT_EQ(r.codigo, SOCKVOR_E_TIEMPO) << r.error;
    EXPECT_NE(r.error.find("2 s"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find(host.direccion()), std::string::npos) << r.error;
}

TEST(SockVor, HostEnPausaAlListarAgotaElPlazo) {
    OpcionesHost o;
    o.fallas = {"pause-list"};
    o.connect_timeout = 2;
    HostSftp host(o);
    host.usa_home();
    host.crea_remoto(login, "a_201305.xml", "hola");
    auto r = lista(host.direccion(), mayo);
    EXPECT_EQ(r.codigo, SOCKVOR_E_TIEMPO) << r.error;
    EXPECT_NE(r.error.find("/D:/IDE/x1/Acuses"), std::string::npos) << r.error;
}

// The host dropped the connection kept from the listing before the fetch (it
// aborts at the first open): the library connects once more and the fetch works.
TEST(SockVor, ReconectaUnaVezSiLaConexionSeCayo) {
    OpcionesHost o;
    o.fallas = {"drop-first-open"};
    HostSftp host(o);
    host.usa_home();
    host.crea_remoto(login, "a_201305.xml", bytes_de_prueba(1000, 3));
    auto r = lista(host.direccion(), mayo);
    ASSERT_EQ(r.codigo, SOCKVOR_OK) << r.error;
    auto t = recibe(host.direccion(), "a_201305.xml", host.deposito() + "/a_201305.xml");
    ASSERT_EQ(t.codigo, SOCKVOR_OK) << t.error;
    EXPECT_EQ(lee_archivo(host.deposito() + "/a_201305.xml"), bytes_de_prueba(1000, 3));
    EXPECT_EQ(host.cuenta("connect"), 2);
}

// A deposit gets the permissions of any new file, 0666 less the umask, not the 0600
// of its temporary.
TEST(SockVor, ArchivoDepositadoConLosPermisosDeLaUmask) {
    HostSftp host;
    host.usa_home();
    host.crea_remoto(login, "a_201305.xml", "hola");
    const std::string destino = host.deposito() + "/a_201305.xml";
    auto octal = [](mode_t m) {
        char texto[8];
        std::snprintf(texto, sizeof texto, "%04o", static_cast<unsigned>(m));
        return std::string(texto);
    };
    for (auto [mascara, permisos] : {std::pair<mode_t, mode_t>{022, 0644}, {027, 0640}}) {
        mode_t previa = umask(mascara);
        auto t = recibe(host.direccion(), "a_201305.xml", destino);
        umask(previa);
        ASSERT_EQ(t.codigo, SOCKVOR_OK) << t.error;
        struct stat datos {};
        ASSERT_EQ(stat(destino.c_str(), &datos), 0);
        EXPECT_EQ(octal(datos.st_mode & 07777), octal(permisos)) << "umask " << octal(mascara);
    }
}

// Local faults: reported with the path and the system's cause, before or
// after the transfer, never leaving a temporary file or a half-written copy.
TEST(SockVor, FallasLocales) {
    HostSftp host;
    host.usa_home();
    host.crea_remoto(login, "a_201305.xml", bytes_de_prueba(5000, 1));
    ASSERT_EQ(lista(host.direccion(), mayo).codigo, SOCKVOR_OK);
    fs::create_directories(host.deposito() + "/es_carpeta.xml");
    const struct {
        std::string destino;
        const char *en_texto;
    } casos[] = {
        {host.deposito() + "/no/existe/a.xml", "No such file or directory"},
        {host.deposito() + "/es_carpeta.xml", "es una carpeta"},
        {host.deposito() + "/", "no nombra un archivo"},
    };
    for (const auto &c : casos) {
        auto t = recibe(host.direccion(), "a_201305.xml", c.destino);
        EXPECT_EQ(t.codigo, SOCKVOR_E_LOCAL) << c.destino;
        EXPECT_NE(t.error.find(c.en_texto), std::string::npos) << t.error;
        EXPECT_NE(t.error.find(host.deposito()), std::string::npos) << t.error;
    }
    EXPECT_TRUE(fs::is_directory(host.deposito() + "/es_carpeta.xml"));
    EXPECT_TRUE(ocultos(host.deposito()).empty());
}

// As root a permission bit does not stop us; a file system does.
class Montaje {
  public:
    Montaje(const std::string &carpeta, const char *opciones) : carpeta_(carpeta) {
        montado_ = mount("tmpfs", carpeta.c_str(), "tmpfs", 0, opciones) == 0;
    }
    ~Montaje() {
        if (montado_) {
            umount2(carpeta_.c_str(), MNT_DETACH);
        }
    }
    bool montado() const { return montado_; }
    void solo_lectura() {
        montado_ = montado_ &&
                   mount("tmpfs", carpeta_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

  private:
    std::string carpeta_;
    bool montado_;
};

// The library confines its process to the folder of its first fetch, and a confined
// process cannot unmount: the calls go in a child. The next file, which fits, goes to
// the same folder.
TEST(SockVor, DiscoLlenoNoDejaNadaAMedias) {
    HostSftp host;
    host.usa_home();
    host.crea_remoto(login, "a_201305.xml", bytes_de_prueba(200000, 5));
    host.crea_remoto(login, "b_201305.xml", "cabe");
    std::string lleno = host.deposito() + "/lleno";
    fs::create_directories(lleno);
    Montaje m(lleno, "size=64k");
    if (!m.montado()) {
        GTEST_SKIP() << "no se pudo montar un tmpfs (hace falta ser root)";
    }
    escribe_archivo(lleno + "/a_201305.xml", "copia anterior");
    auto trae = [&](const char *nombre) {
        return [&host, lleno, nombre] {
            return empaca(recibe(host.direccion(), nombre, lleno + "/" + nombre));
        };
    };
    Hijo cliente({[&] { return empaca(lista(host.direccion(), mayo)); }, trae("a_201305.xml"),
                  trae("b_201305.xml")});
    ASSERT_EQ(desempaca(cliente.paso()).codigo, SOCKVOR_OK);
    auto t = desempaca(cliente.paso());
    EXPECT_EQ(t.codigo, SOCKVOR_E_LOCAL) << t.error;
    EXPECT_NE(t.error.find("No space left on device"), std::string::npos) << t.error;
    EXPECT_NE(t.error.find(lleno + "/a_201305.xml"), std::string::npos) << t.error;
    EXPECT_EQ(lee_archivo(lleno + "/a_201305.xml"), "copia anterior");
    EXPECT_TRUE(ocultos(lleno).empty());
    // The session survives a local failure: the next file still comes.
    auto otra = desempaca(cliente.paso());
    EXPECT_EQ(otra.codigo, SOCKVOR_OK) << otra.error;
    EXPECT_EQ(cliente.termina(), 0);
    EXPECT_EQ(host.cuenta("connect"), 1);
}

TEST(SockVor, CarpetaSinPermisoDeEscritura) {
    HostSftp host;
    host.usa_home();
    host.crea_remoto(login, "a_201305.xml", "hola");
    std::string cerrada = host.deposito() + "/cerrada";
    fs::create_directories(cerrada);
    Montaje m(cerrada, "size=64k");
    if (!m.montado()) {
        GTEST_SKIP() << "no se pudo montar un tmpfs (hace falta ser root)";
    }
    m.solo_lectura();
    ASSERT_TRUE(m.montado());
    auto t = recibe(host.direccion(), "a_201305.xml", cerrada + "/a_201305.xml");
    EXPECT_EQ(t.codigo, SOCKVOR_E_LOCAL) << t.error;
    EXPECT_NE(t.error.find("Read-only file system"), std::string::npos) << t.error;
    EXPECT_NE(t.error.find(cerrada), std::string::npos) << t.error;
}

// Under `ulimit -f` a write past the limit raises SIGXFSZ, which kills the
// process unless ignored. The limit is set in a child so it binds nobody else.
TEST(SockVor, LimiteDeTamanoDeArchivoEsUnaFallaLocal) {
    HostSftp host;
    host.usa_home();
    host.crea_remoto(login, "a_201305.xml", bytes_de_prueba(100000, 2));
    const std::string destino = host.deposito() + "/a_201305.xml";
    int tubo[2];
    ASSERT_EQ(pipe(tubo), 0);
    pid_t hijo = fork();
    if (hijo == 0) {
        close(tubo[0]);
        rlimit limite{1000, 1000};
        setrlimit(RLIMIT_FSIZE, &limite);
        char lista_hijo[SOCKVOR_TAM_LISTA];
        char error[SOCKVOR_TAM_ERROR];
        int r = ListaFolders(host.direccion().c_str(), login.c_str(), "d", mayo.c_str(), lista_hijo,
                             error);
        if (r == 0) {
            r = RecibeArchivo(host.direccion().c_str(), login.c_str(),
                              HostSftp::ruta_windows(login, "a_201305.xml").c_str(),
                              destino.c_str(), error);
        }
        std::string salida = std::to_string(r) + " " + error;
        (void)!write(tubo[1], salida.data(), salida.size());
        _exit(0);
    }
    close(tubo[1]);
    std::string salida;
    char bloque[1024];
    for (ssize_t n; (n = read(tubo[0], bloque, sizeof bloque)) > 0;) {
        salida.append(bloque, static_cast<std::size_t>(n));
    }
    close(tubo[0]);
    int estado = 0;
    waitpid(hijo, &estado, 0);
    ASSERT_TRUE(WIFEXITED(estado)) << "el hijo murió por la señal " << WTERMSIG(estado);
    EXPECT_EQ(salida.substr(0, salida.find(' ')), std::to_string(SOCKVOR_E_LOCAL)) << salida;
    EXPECT_NE(salida.find("File too large"), std::string::npos) << salida;
    EXPECT_NE(salida.find(destino), std::string::npos) << salida;
    EXPECT_FALSE(fs::exists(destino));
    EXPECT_TRUE(ocultos(host.deposito()).empty());
}

int descriptores_abiertos() {
    int n = 0;
    for ([[maybe_unused]] const auto &e : fs::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

// A long-lived caller must not run out of descriptors because hosts failed:
// sockets of failed connections are closed whether libssh took them or not.
TEST(SockVor, ConexionesFallidasNoDejanDescriptores) {
    OpcionesHost desconocido;
    desconocido.llave = LlaveConocida::ausente;
    OpcionesHost mudo;
    mudo.fallas = {"silent"};
    mudo.connect_timeout = 2;
    HostSftp a(desconocido);
    HostSftp b(mudo);
    HostSftp c(sin_autorizar());
    int antes = descriptores_abiertos();
    for (const HostSftp *h : {&a, &b, &c}) {
        h->usa_home();
        EXPECT_NE(lista(h->direccion(), mayo).codigo, SOCKVOR_OK);
    }
    EXPECT_EQ(descriptores_abiertos(), antes);
}

} // namespace
