// The real acuses program with our real libSockVor.so, against the loopback
// SFTP host: what a site sees, status and output, when the host behaves and
// when it does not. The clock is June 2013, so the run covers 201306 and 201305.
#include "host_fixture.h"

#include <algorithm>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string login = "x1";

Salida corre(const HostSftp &host, const std::string &ip, const std::string &deposito,
             std::vector<std::string> antes = {}) {
    return corre_en_junio(ACUSES_BIN, host, ip, login, deposito, std::move(antes));
}

bool una_linea_que_empieza(const std::string &texto, const std::string &inicio) {
    return texto.rfind(inicio, 0) == 0 && texto.size() > inicio.size() &&
           std::count(texto.begin(), texto.end(), '\n') == 1 && texto.back() == '\n';
}

TEST(AcusesHost, DepositaAmbosMesesByteAByte) {
    HostSftp host;
    host.crea_remoto(login, "a_201306.xml", bytes_de_prueba(4096, 1));
    host.crea_remoto(login, "b_201305.xml", bytes_de_prueba(100000, 2));
    host.crea_remoto(login, "c_201304.xml", "otro mes");
    // Made on the host long before the run.
    for (const auto &n : {"a_201306.xml", "b_201305.xml"}) {
        fs::last_write_time(host.ruta_local_remota(login, n), fs::file_time_type::clock::now() -
                                                                  std::chrono::hours(24 * 400) +
                                                                  std::chrono::milliseconds(345));
    }
    auto s = corre(host, host.direccion(), host.deposito() + "/");
    EXPECT_EQ(s.estado, 0) << s.texto;
    EXPECT_EQ(s.texto, " Se Depositaron 2 Acuses en " + host.deposito() + "\n");
    EXPECT_EQ(archivos(host.deposito()),
              (std::vector<std::string>{"a_201306.xml", "b_201305.xml"}));
    for (const auto &n : {"a_201306.xml", "b_201305.xml"}) {
        EXPECT_EQ(lee_archivo(host.deposito() + "/" + n),
                  lee_archivo(host.ruta_local_remota(login, n)))
            << n;
        // Each keeps the time the host gave its file, to the second.
        EXPECT_EQ(fs::last_write_time(host.deposito() + "/" + n),
                  std::chrono::floor<std::chrono::seconds>(
                      fs::last_write_time(host.ruta_local_remota(login, n))))
            << n;
    }
    EXPECT_EQ(host.cuenta("connect"), 1);
}

TEST(AcusesHost, PorAliasDeLaConfiguracionSsh) {
    HostSftp host;
    host.crea_remoto(login, "a_201305.xml", "mayo");
    auto s = corre(host, HostSftp::alias, host.deposito());
    EXPECT_EQ(s.estado, 0) << s.texto;
    EXPECT_EQ(s.texto, " ===> No se encontraron Acuses del mes: 06/2013\n"
                       " Se Depositaron 1 Acuses en " +
                           host.deposito() + "\n");
    EXPECT_EQ(lee_archivo(host.deposito() + "/a_201305.xml"), "mayo");
}

struct CasoFalla {
    const char *nombre;
    OpcionesHost opciones;
    bool crea_archivos;
    int estado;
    const char *linea; // how the output line starts
    const char *en_texto;
    int aperturas = 0; // opens of the file asked of the host, when given
};

void PrintTo(const CasoFalla &c, std::ostream *os) {
    *os << c.nombre;
}

OpcionesHost con(std::vector<std::string> fallas, std::vector<std::string> inyectados = {}) {
    OpcionesHost o;
    o.fallas = std::move(fallas);
    o.inyectados = std::move(inyectados);
    o.connect_timeout = 2;
    return o;
}

OpcionesHost muchos_de_junio() {
    OpcionesHost o;
    o.muchos = 4000;
    o.etiqueta_muchos = "201306";
    return o;
}

class AcusesHostFalla : public testing::TestWithParam<CasoFalla> {};

// Each fault ends the run with its status and one clear line; the earlier copy
// of the file being fetched stays, and nothing half-written is left.
TEST_P(AcusesHostFalla, EstadoLineaYDepositoIntacto) {
    const auto &c = GetParam();
    HostSftp host(c.opciones);
    if (c.crea_archivos) {
        host.crea_remoto(login, "a_201306.xml", bytes_de_prueba(200000, 4));
    }
    escribe_archivo(host.deposito() + "/a_201306.xml", "copia anterior");
    auto s = corre(host, host.direccion(), host.deposito());
    EXPECT_EQ(s.estado, c.estado) << s.texto;
    EXPECT_TRUE(una_linea_que_empieza(s.texto, c.linea)) << s.texto;
    EXPECT_NE(s.texto.find(c.en_texto), std::string::npos) << s.texto;
    EXPECT_EQ(archivos(host.deposito()), std::vector<std::string>{"a_201306.xml"});
    EXPECT_EQ(lee_archivo(host.deposito() + "/a_201306.xml"), "copia anterior");
    // Nothing is ever asked for past the listed size and the one-byte probe after it.
    for (const auto &l : host.registro()) {
        if (l.rfind("read ", 0) == 0) {
            EXPECT_LE(std::stoull(l.substr(5)), 200000u) << l;
        }
    }
    if (c.aperturas > 0) {
        EXPECT_EQ(host.cuenta("open /D:/IDE/x1/Acuses/a_201306.xml"), c.aperturas);
    }
}

OpcionesHost con_demora(int autenticacion_ms, std::vector<std::string> lentos = {},
                        int saludo_ms = 0) {
    OpcionesHost o = con({});
    o.demora_autenticacion_ms = autenticacion_ms;
    o.lentos = std::move(lentos);
    o.demora_saludo_ms = saludo_ms;
    return o;
}

const char *const al_buscar = " ERROR Al Buscar Acuses: ";
const char *const al_traer = " ERROR Al Traer el Acuses: ";

INSTANTIATE_TEST_SUITE_P(
    AcusesHost, AcusesHostFalla,
    testing::Values(
        CasoFalla{"CarpetaInexistente", {}, false, 3, al_buscar, "/D:/IDE/x1/Acuses"},
        CasoFalla{"HostEnPausaAlListar", con({"pause-list"}), true, 3, al_buscar, "2 s"},
        CasoFalla{"HostQueNoHabla", con({"silent"}), false, 3, al_buscar, "2 s"},
        CasoFalla{"NombreConSaltoDeLinea", con({}, {"malo\\n_201306.xml"}), true, 3, al_buscar,
                  "malo\\n_201306.xml"},
        CasoFalla{"NombreConBarra", con({}, {"../fuera_201306.xml"}), true, 3, al_buscar,
                  "../fuera_201306.xml"},
        CasoFalla{"ListaDesbordada", muchos_de_junio(), true, 3, al_buscar, "65536"},
        CasoFalla{"ConexionCaidaAMitad", con({"drop-read"}), true, 4, al_traer,
                  "Se perdió la conexión"},
        CasoFalla{"ErrorDeLectura", con({"read-error"}), true, 4, al_traer, "falla de lectura"},
        CasoFalla{"HostEnPausaAlLeer", con({"pause-read"}), true, 4, al_traer, "2 s"},
        // A missing file is not tried again.
        CasoFalla{"CarpetaDesaparecida", con({"vanish"}), true, 4, al_traer, "no existe", 1},
        // Answers that come 3.5 s late, past the 2 s bound: the bound is the
        // timeout itself, at every step, not some multiple of it.
        CasoFalla{"HostLentoAlSaludar", con_demora(0, {}, 3500), true, 3, al_buscar,
                  "no respondió en 2 s al iniciar la sesión SSH"},
        CasoFalla{"HostLentoAlAutenticar", con_demora(3500), true, 3, al_buscar,
                  "no respondió en 2 s"},
        CasoFalla{"HostLentoAlLeer", con_demora(0, {"a_201306.xml=3500"}), true, 4, al_traer,
                  "no respondió en 2 s"},
        // The host's words are quoted on the one line, never obeyed.
        CasoFalla{"MensajeHostilDelHost", con({"hostile-status"}), true, 4, al_traer,
                  "(x\\n Se Depositaron 99 Acuses en /x\\x1B[31m\\x07)"},
        CasoFalla{"ArchivoQueNoTermina", con({"endless"}), true, 4, al_traer,
                  "cambió mientras se leía"},
        CasoFalla{"HostQueGotea", con({"trickle"}), true, 4, al_traer, "demasiado lento"}),
    [](const auto &info) { return std::string(info.param.nombre); });

TEST(AcusesHost, CarpetaDeDepositoInexistente) {
    HostSftp host;
    host.crea_remoto(login, "a_201306.xml", "junio");
    std::string falta = host.deposito() + "/no/existe";
    auto s = corre(host, host.direccion(), falta);
    EXPECT_EQ(s.estado, 4) << s.texto;
    EXPECT_TRUE(una_linea_que_empieza(s.texto, al_traer)) << s.texto;
    EXPECT_NE(s.texto.find(falta), std::string::npos) << s.texto;
}

} // namespace

namespace {

// File k fails while the files after it are in flight: the failure is told when
// the command asks for k, with k's own line; what came before stays, nothing
// after it is made final and no temporary file is left.
TEST(AcusesHost, FallaDeUnArchivoSeDiceEnSuTurno) {
    OpcionesHost o;
    o.fallan = {"c_201306.xml"};
    o.connect_timeout = 2; // the bound of its tries
    HostSftp host(o);
    for (const char *n : {"a", "b", "c", "d", "e", "f"}) {
        host.crea_remoto(login, std::string(n) + "_201306.xml", bytes_de_prueba(50000, 1));
    }
    auto s = corre(host, host.direccion(), host.deposito());
    EXPECT_EQ(s.estado, 4) << s.texto;
    EXPECT_EQ(s.texto, " ERROR Al Traer el Acuses: No se pudo leer /D:/IDE/x1/Acuses/c_201306.xml "
                       "en el host " +
                           host.direccion() +
                           ": falla en el servidor (falla de lectura provocada); lo rechazó "
                           "durante 2 s: puede que otro programa del host lo tenga abierto\n");
    EXPECT_EQ(archivos(host.deposito()),
              (std::vector<std::string>{"a_201306.xml", "b_201306.xml"}));
    EXPECT_EQ(host.cuenta("open /D:/IDE/x1/Acuses/e_201306.xml"), 1)
        << "no se trajo por adelantado";
}

// A file the host refused while it was fetched ahead (as a host that limits
// its open files would) is tried again when its turn comes: fetching ahead
// never fails a run that one file at a time would not.
TEST(AcusesHost, ArchivoRechazadoPorAdelantadoSeReintentaEnSuTurno) {
    OpcionesHost o;
    o.abren_mal = {"c_201306.xml"};
    HostSftp host(o);
    for (const char *n : {"a", "b", "c", "d"}) {
        host.crea_remoto(login, std::string(n) + "_201306.xml", bytes_de_prueba(5000, 2));
    }
    auto s = corre(host, host.direccion(), host.deposito());
    EXPECT_EQ(s.estado, 0) << s.texto;
    EXPECT_EQ(archivos(host.deposito()).size(), 4u);
    EXPECT_EQ(host.cuenta("open /D:/IDE/x1/Acuses/c_201306.xml"), 2);
}

// A file held by another program while it is fetched ahead behind a slow one
// gets a bound of its own from its turn: one by one it would have been tried
// only then. Whether its bound ran out before its turn, or it waits paused
// with too little of it left, the host lets it go within the new bound.
struct Retenido {
    const char *nombre;
    int connect_timeout;
    std::size_t a_mib;    // a's reads go 2 MiB at a time, each batch 750 ms late
    const char *retenido; // b held for so many seconds from its first open
};

void PrintTo(const Retenido &r, std::ostream *os) {
    *os << r.nombre;
}

class RetenidoPorAdelantado : public testing::TestWithParam<Retenido> {};

TEST_P(RetenidoPorAdelantado, TieneSuPlazoDesdeSuTurno) {
    const auto &r = GetParam();
    OpcionesHost o;
    o.connect_timeout = r.connect_timeout;
    o.latencia_ms = 1; // requests side by side: a's slow reads hold up no open of b
    o.lentos = {"a_201306.xml=750"};
    o.retenidos = {std::string("b_201306.xml=") + r.retenido};
    HostSftp host(o);
    host.crea_remoto(login, "a_201306.xml", bytes_de_prueba(r.a_mib << 20, 1));
    host.crea_remoto(login, "b_201306.xml", bytes_de_prueba(5000, 2));
    auto s = corre(host, host.direccion(), host.deposito(), umbrales(inalcanzable_ms));
    EXPECT_EQ(s.estado, 0) << s.texto;
    EXPECT_EQ(archivos(host.deposito()),
              (std::vector<std::string>{"a_201306.xml", "b_201306.xml"}));
}

INSTANTIATE_TEST_SUITE_P(
    AcusesHost, RetenidoPorAdelantado,
    testing::Values(
        // a takes some 6 s: b's 2 s ran out at 2 s; held until 3 s, tried afresh at its turn.
        Retenido{"AgotoSuPlazoAntesDeSuTurno", 2, 16, "3"},
        // a takes some 2.3 s: b waits paused at its turn with 1.7 s of its 4 s left,
        // and is held until 5 s, past its first bound and within the one from its turn.
        Retenido{"EnPausaEnSuTurno", 4, 6, "5"}),
    [](const auto &info) { return std::string(info.param.nombre); });

// The file in turn waits on a channel whose server process is stuck, while a
// slow file behind it would keep the connection busy for long: nothing more is
// asked for that one, and the host's silence ends the run, naming the file in
// turn. Its 768 reads would take some 12 s; it is left far short of them.
TEST(AcusesHost, AtascadoEnSuTurnoNoSigueTrayendoLosDemas) {
    OpcionesHost o;
    o.connect_timeout = 2;
    o.latencia_ms = 1; // requests side by side: the stuck read holds up nothing else
    o.atascados = {"a_201306.xml"};
    o.lentos = {"b_201306.xml=1000"};
    HostSftp host(o);
    host.crea_remoto(login, "a_201306.xml", bytes_de_prueba(5000, 1));
    host.crea_remoto(login, "b_201306.xml", bytes_de_prueba(24u << 20, 2));
    auto s = corre(host, host.direccion(), host.deposito(), umbrales(inalcanzable_ms));
    EXPECT_EQ(s.estado, 4) << s.texto;
    EXPECT_TRUE(una_linea_que_empieza(s.texto, " ERROR Al Traer el Acuses: El host " +
                                                   host.direccion() +
                                                   " no respondió en 2 s al "
                                                   "leer /D:/IDE/x1/Acuses/"
                                                   "a_201306.xml"))
        << s.texto;
    EXPECT_LT(host.cuenta("read"), 384);
    EXPECT_TRUE(archivos(host.deposito()).empty());
}

// Each file fetched ahead holds a descriptor for its temporary file: where the
// process may hold few, making one fails for a file fetched ahead. Fetching ahead
// pauses, and that file is made in its turn, alone.
TEST(AcusesHost, PocosDescriptoresNoFallanLaCorrida) {
    HostSftp host;
    for (int i = 0; i < 60; ++i) {
        host.crea_remoto(login, "f" + std::to_string(100 + i) + "_201306.xml",
                         bytes_de_prueba(2000, static_cast<unsigned>(i)));
    }
    // The sanitized build's check of a vtable tells a readable one by writing it into a
    // pipe of its own, for which this run may have no descriptor left: it would report a
    // fault that is not there.
    CarpetaTemporal aparte;
    escribe_archivo(aparte.ruta() + "/ubsan", "vptr_check:*\n");
    auto s = corre_en_junio(ACUSES_BIN, host, host.direccion(), login, host.deposito(),
                            {"env", "UBSAN_OPTIONS=suppressions=" + aparte.ruta() + "/ubsan",
                             "prlimit", "--nofile=14:14"});
    EXPECT_EQ(s.estado, 0) << s.texto;
    EXPECT_EQ(archivos(host.deposito()).size(), 60u);
}

std::string mes_en_curso() {
    std::time_t ahora = std::time(nullptr);
    char texto[8];
    std::strftime(texto, sizeof texto, "%Y%m", std::localtime(&ahora));
    return texto;
}

// TERM, INT or HUP while files are in flight, one of them already under its name: their
// temporary files go, then the folder is synced, so that the removals and the name are on
// disk when the run ends, by that signal. The disk's calls are traced from the program.
// Run without faketime, whose wrapper would take the signal.
TEST(AcusesHost, SenalAMitadDeLaCorridaNoDejaTemporalesYAseguraLaCarpeta) {
    const std::string mes = mes_en_curso();
    const std::string primero = "a_" + mes + ".xml";
    for (int senal : {SIGTERM, SIGINT, SIGHUP}) {
        OpcionesHost o;
        o.latencia_ms = 1; // requests side by side: the stuck reads hold up nothing of a's
        o.atascados = {"b_" + mes + ".xml", "c_" + mes + ".xml"};
        HostSftp host(o);
        host.usa_home();
        for (const char *n : {"a", "b", "c"}) {
            host.crea_remoto(login, std::string(n) + "_" + mes + ".xml", "x");
        }
        const std::string d = host.deposito();
        const std::string traza = host.home() + "/traza";
        auto entorno = umbrales(inalcanzable_ms);
        entorno.erase(entorno.begin()); // as variables, not as a command
        entorno.insert(entorno.end(),
                       {"ASAN_OPTIONS=verify_asan_link_order=0",
                        std::string("LD_PRELOAD=") + TRAZA_DISCO_SO, "TRAZA_DISCO=" + traza});
        Proceso acuses({ACUSES_BIN, host.direccion(), login, d}, entorno);
        auto en_vuelo = [&] {
            auto a = archivos(d);
            return std::count(a.begin(), a.end(), primero) == 1 && ocultos(d).size() == 2;
        };
        for (int i = 0; i < 300 && !en_vuelo(); ++i) {
            usleep(50000);
        }
        ASSERT_TRUE(en_vuelo()) << "a no quedó con su nombre con b y c en vuelo";
        kill(acuses.pid(), senal);
        auto s = acuses.espera();
        EXPECT_EQ(s.estado, 128 + senal) << s.texto;
        EXPECT_EQ(archivos(d), std::vector<std::string>{primero}) << senal;
        // The last that touched the folder was its sync.
        struct stat carpeta {};
        ASSERT_EQ(stat(d.c_str(), &carpeta), 0);
        std::istringstream lineas(lee_archivo(traza));
        std::string ultima;
        for (std::string l; std::getline(lineas, l);) {
            if (l.rfind("rename " + d + "/", 0) == 0 || l.rfind("unlink " + d + "/", 0) == 0 ||
                l == "fsync " + std::to_string(carpeta.st_ino)) {
                ultima = l;
            }
        }
        EXPECT_EQ(ultima, "fsync " + std::to_string(carpeta.st_ino)) << senal;
    }
}

// A run killed outright leaves its temporary files; the next run removes those
// of the names it fetches that nobody holds, and nothing else.
TEST(AcusesHost, SobrantesDeUnaCorridaMuertaSeQuitan) {
    HostSftp host;
    host.crea_remoto(login, "a_201306.xml", "junio");
    const std::string d = host.deposito() + "/";
    const std::string sobrante = ".a_201306.xml.sockvor-Ab12Cd";
    const std::vector<std::string> quedan = {
        ".a_201306.xml.Ij56Kl",         // not of our shape
        ".a_201306.xml.sockvor-Ef34Gh", // held by a live run
        ".z_201306.xml.sockvor-Mn78Op", // a name this run does not fetch
    };
    escribe_archivo(d + sobrante, "a medias");
    for (const auto &n : quedan) {
        escribe_archivo(d + n, "ajeno");
    }
    int vivo = open((d + quedan[1]).c_str(), O_RDONLY);
    ASSERT_EQ(flock(vivo, LOCK_EX), 0);
    auto s = corre(host, host.direccion(), host.deposito());
    close(vivo);
    EXPECT_EQ(s.estado, 0) << s.texto;
    auto esperados = quedan;
    esperados.push_back("a_201306.xml");
    std::sort(esperados.begin(), esperados.end());
    EXPECT_EQ(archivos(host.deposito()), esperados);
}

} // namespace
