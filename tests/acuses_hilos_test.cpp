// The real acuses with the real libSockVor.so against the loopback host, where the
// library's threads are hard to come by: under a limit of tasks, and slow to be born while
// a signal comes. Run without faketime, whose wrapper is a process of its own and would
// take the signal; the files are of the month in course.
#include "host_fixture.h"

#include <algorithm>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string login = "x1";
constexpr int cuantos = 40;

std::string mes_en_curso() {
    std::time_t ahora = std::time(nullptr);
    char texto[8];
    std::strftime(texto, sizeof texto, "%Y%m", std::localtime(&ahora));
    return texto;
}

void crea_archivos(const HostSftp &host) {
    for (int i = 0; i < cuantos; ++i) {
        host.crea_remoto(login, "f" + std::to_string(100 + i) + "_" + mes_en_curso() + ".xml",
                         bytes_de_prueba(3000, static_cast<unsigned>(i)));
    }
}

bool una_linea_que_empieza(const std::string &texto, const std::string &inicio) {
    return texto.rfind(inicio, 0) == 0 && std::count(texto.begin(), texto.end(), '\n') == 1 &&
           texto.back() == '\n';
}

struct Limite {
    int tareas;
    bool lista; // the listing can be made: its watchdog has its thread
};

void PrintTo(const Limite &l, std::ostream *os) {
    *os << l.tareas;
}

class LimiteDeTareas : public testing::TestWithParam<Limite> {};

// However few threads the system grants (a per-user limit, as a unit's TasksMax or a
// container sets), the run ends as it would by itself, never by a signal, and leaves no
// temporary file: the flushes go on fewer threads, down to the program's own. With none
// at all the watchdog cannot bound the listing, which fails in words. RLIMIT_NPROC counts
// the tasks of a user other than root: the run's, of a user of its own.
TEST_P(LimiteDeTareas, TerminaConSuEstadoYSuLinea) {
    const auto &l = GetParam();
    HostSftp host;
    host.usa_home();
    crea_archivos(host);
    const auto suyo = static_cast<uid_t>(100000 + getpid());
    const fs::path base = fs::path(host.home()).parent_path();
    ASSERT_EQ(lchown(base.c_str(), suyo, suyo), 0);
    for (const auto &e : fs::recursive_directory_iterator(base)) {
        ASSERT_EQ(lchown(e.path().c_str(), suyo, suyo), 0) << e.path();
    }
    const std::string usuario = std::to_string(suyo);
    auto s = ejecuta({"prlimit", "--nproc=" + std::to_string(l.tareas), "setpriv",
                      "--reuid=" + usuario, "--regid=" + usuario, "--clear-groups", ACUSES_BIN,
                      host.direccion(), login, host.deposito()},
                     // LeakSanitizer's check at exit needs a task of its own.
                     {"ASAN_OPTIONS=detect_leaks=0"});
    if (!l.lista) {
        EXPECT_EQ(s.estado, 3) << s.texto;
        EXPECT_TRUE(una_linea_que_empieza(
            s.texto, " ERROR Al Buscar Acuses: No se pudo iniciar un hilo para vigilar la "
                     "conexión con el host " +
                         host.direccion() + " al iniciar la sesión SSH: "))
            << s.texto;
    } else if (s.estado == 4) {
        EXPECT_TRUE(una_linea_que_empieza(s.texto, " ERROR Al Traer el Acuses: ")) << s.texto;
    } else {
        EXPECT_EQ(s.estado, 0) << s.texto;
        EXPECT_EQ(archivos(host.deposito()).size(), static_cast<std::size_t>(cuantos));
    }
    EXPECT_TRUE(ocultos(host.deposito()).empty());
}

INSTANTIATE_TEST_SUITE_P(AcusesHost, LimiteDeTareas,
                         testing::Values(Limite{1, false}, Limite{2, true}, Limite{3, true},
                                         Limite{4, true}, Limite{6, true}),
                         [](const auto &info) {
                             return std::to_string(info.param.tareas) + "Tareas";
                         });

// A TERM that comes while a thread of the library is being born, just as the program's
// thread has made a temporary file and holds the signal back until it is noted: the
// thread, born with the signal blocked, leaves it to the program's, whose handler removes
// every temporary file (hilo_lento.cpp sends it then). A thread born taking it would end
// the run with that file left behind.
TEST(AcusesHost, SenalMientrasNaceUnHiloNoDejaTemporales) {
    HostSftp host;
    host.usa_home();
    crea_archivos(host);
    auto s = ejecuta({ACUSES_BIN, host.direccion(), login, host.deposito()},
                     {"ASAN_OPTIONS=verify_asan_link_order=0",
                      std::string("LD_PRELOAD=") + HILO_LENTO_SO, "HILO_LENTO_MS=1000"});
    EXPECT_EQ(s.estado, 128 + SIGTERM) << "la señal no llegó mientras nacía un hilo: " << s.texto;
    EXPECT_TRUE(ocultos(host.deposito()).empty());
}

} // namespace
