// The real program, run against the loopback host into the power-cut simulator (corte_fs),
// cut at many points: killed outright or ended by SIGTERM at a random moment, or right
// after a run that ended by itself. After each cut every file under its final name is the
// host's byte for byte (a temporary may stay), every file the run had promised is there,
// and a second run ends well with every file whole: the record kept with a file never
// vouches for bytes the cut lost. The same cuts of runs whose flushes are skipped
// (eatmydata) must show violations, or the simulator could not tell.
//
// ACUSES_CORTES sets the cuts of each row (70: 210 where nothing may be lost, in some 40 s
// on two busy cores); ACUSES_SEMILLA the seed that draws the moments and what each cut
// keeps (printed with the figures; the runs' own timing still varies).
#include "host_fixture.h"
#include "montaje.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string login = "x1";
using Acuses = std::map<std::string, std::string>;

struct Caso {
    const char *nombre;
    int senal;        // ends the run at a random moment; 0: the run ends by itself
    bool sin_flushes; // under eatmydata: fsync and fdatasync do nothing
};

void PrintTo(const Caso &c, std::ostream *os) {
    *os << c.nombre;
}

unsigned long numero_de(const char *variable, unsigned long si_no) {
    const char *v = std::getenv(variable);
    return v && *v ? std::strtoul(v, nullptr, 10) : si_no;
}

std::string mes_en_curso() {
    std::time_t ahora = std::time(nullptr);
    char texto[8];
    std::strftime(texto, sizeof texto, "%Y%m", std::localtime(&ahora));
    return texto;
}

// Many small files and a few larger, of the current month: the program runs without
// faketime, whose wrapper would take the signal.
Acuses acuses_del_host(const HostSftp &host) {
    Acuses acuses;
    const std::string mes = mes_en_curso();
    for (unsigned i = 0; i < 40; ++i) {
        std::size_t largo = i % 10 == 9 ? 60000 + 40000 * (i / 10) : 300 + (i * 997) % 7000;
        std::string nombre = "a" + std::to_string(10 + i) + "_" + mes + ".xml";
        acuses[nombre] = bytes_de_prueba(largo, i);
        host.crea_remoto(login, nombre, acuses[nombre]);
    }
    return acuses;
}

// ".<name>.sockvor-XXXXXX" of a file the run fetches.
bool es_temporal(const std::string &archivo, const Acuses &acuses) {
    const std::string marca = ".sockvor-";
    const std::size_t cola = marca.size() + 6;
    return archivo.size() > 1 + cola && archivo.front() == '.' &&
           archivo.compare(archivo.size() - cola, marca.size(), marca) == 0 &&
           acuses.count(archivo.substr(1, archivo.size() - 1 - cola));
}

std::string como_quedo(const std::string &visto, const std::string &esperado) {
    const std::string del_host = " (" + std::to_string(esperado.size()) + " en el host)";
    if (visto.empty()) {
        return "vacío" + del_host;
    }
    if (visto.find_first_not_of('\0') == std::string::npos) {
        return std::to_string(visto.size()) + " bytes en cero" + del_host;
    }
    auto [v, e] = std::mismatch(visto.begin(), visto.end(), esperado.begin(), esperado.end());
    return std::to_string(visto.size()) + " bytes" + del_host + ", distintos desde el " +
           std::to_string(v - visto.begin());
}

std::set<std::string> finales(const std::string &carpeta, const Acuses &acuses) {
    std::set<std::string> hay;
    for (const auto &n : archivos(carpeta)) {
        if (acuses.count(n)) {
            hay.insert(n);
        }
    }
    return hay;
}

// What is wrong in `carpeta`: a file under a final name that is not the host's, a name
// neither of a file nor of its temporary, a promised file missing.
std::vector<std::string> revisa(const std::string &carpeta, const Acuses &acuses,
                                const std::set<std::string> &prometidos) {
    std::vector<std::string> mal;
    for (const auto &n : archivos(carpeta)) {
        auto it = acuses.find(n);
        if (it == acuses.end()) {
            if (!es_temporal(n, acuses)) {
                mal.push_back(n + ": no es de ningún acuse");
            }
        } else if (auto visto = lee_archivo(carpeta + "/" + n); visto != it->second) {
            mal.push_back(n + ": " + como_quedo(visto, it->second));
        }
    }
    auto hay = finales(carpeta, acuses);
    for (const auto &n : prometidos) {
        if (!hay.count(n)) {
            mal.push_back(n + ": se perdió");
        }
    }
    return mal;
}

void sincroniza(const std::string &carpeta) {
    int fd = open(carpeta.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << carpeta;
    ASSERT_EQ(fsync(fd), 0) << carpeta;
    close(fd);
}

// Until `carpeta` holds `cuantos` files under their final names, or the run ends.
void espera_avance(pid_t pid, const std::string &carpeta, const Acuses &acuses,
                   std::size_t cuantos) {
    while (finales(carpeta, acuses).size() < cuantos) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            return;
        }
        usleep(1000);
    }
}

struct Figuras {
    int cortes = 0, con_violaciones = 0;
    int perdidos = 0, rotos = 0, avalados = 0;       // promised and lost; torn; torn and believed
    int sin_acuses = 0, a_medias = 0, completas = 0; // final names when the run ended
    std::vector<std::string> ejemplos;

    std::string texto() const {
        auto n = [](int v) { return std::to_string(v); };
        return n(cortes) + " cortes, " + n(con_violaciones) + " con violaciones (" + n(perdidos) +
               " acuses prometidos perdidos, " + n(rotos) + " rotos, " + n(avalados) +
               " rotos aún tras la segunda corrida); al terminar la corrida: " + n(sin_acuses) +
               " sin acuses, " + n(a_medias) + " a medias, " + n(completas) + " completas";
    }
};

class Corte : public testing::TestWithParam<Caso> {};

TEST_P(Corte, NadaPrometidoSePierdeNiQuedaRoto) {
    const Caso &c = GetParam();
    const auto cortes = std::max(1ul, numero_de("ACUSES_CORTES", 70));
    const unsigned long semilla = numero_de("ACUSES_SEMILLA", std::random_device{}());
    std::mt19937_64 azar(semilla);
    HostSftp host;
    host.usa_home();
    const Acuses acuses = acuses_del_host(host);
    std::set<std::string> todos;
    for (const auto &[n, contenido] : acuses) {
        todos.insert(n);
    }
    Montaje montaje(CORTE_FS, azar());
    const std::vector<std::string> entorno = {"ASAN_OPTIONS=verify_asan_link_order=0"};
    auto argumentos = [&](const std::string &carpeta, bool cortada) {
        std::vector<std::string> a;
        if (cortada && c.sin_flushes) {
            a.push_back("eatmydata");
        }
        a.insert(a.end(), {ACUSES_BIN, host.direccion(), login, carpeta});
        return a;
    };
    // The signal's moment, along the run's own progress rather than the clock of a
    // machine that may be busy: once so many files have their names, and a little after.
    std::uniform_int_distribution<std::size_t> avance(0, todos.size());
    std::uniform_int_distribution<useconds_t> poco(0, 3000);
    const auto inicio = std::chrono::steady_clock::now();
    Figuras f;
    for (f.cortes = 0; f.cortes < static_cast<int>(cortes); ++f.cortes) {
        const std::string carpeta = montaje.ruta() + "/" + std::to_string(f.cortes);
        fs::create_directory(carpeta);
        sincroniza(montaje.ruta());
        Proceso corrida(argumentos(carpeta, true), entorno);
        std::string momento = "al terminar sola";
        if (c.senal != 0) {
            auto tras = avance(azar);
            espera_avance(corrida.pid(), carpeta, acuses, tras);
            usleep(poco(azar));
            kill(corrida.pid(), c.senal);
            momento = "señal tras " + std::to_string(tras) + " acuses";
        }
        auto s = corrida.espera();
        const auto al_terminar = finales(carpeta, acuses);
        (al_terminar.empty() ? f.sin_acuses : al_terminar == todos ? f.completas : f.a_medias)++;
        // Not the cut's doing: a run that did not run (no eatmydata) must not pass for one
        // whose files the cut lost.
        ASSERT_TRUE(s.estado == 0 || s.estado == 128 + c.senal) << s.estado << " " << s.texto;
        ASSERT_TRUE(s.estado != 0 || al_terminar == todos) << al_terminar.size();
        std::set<std::string> prometidos;
        if (s.estado == 0) {
            prometidos = todos;
        } else if (s.estado == 128 + SIGTERM) {
            prometidos = al_terminar;
        }
        montaje.corta();
        std::vector<std::string> mal;
        for (auto &v : revisa(carpeta, acuses, prometidos)) {
            (v.ends_with(": se perdió") ? f.perdidos : f.rotos)++;
            mal.push_back(std::move(v));
        }
        auto segunda = ejecuta(argumentos(carpeta, false), entorno);
        if (segunda.estado != 0) {
            mal.push_back("la segunda corrida terminó con estado " +
                          std::to_string(segunda.estado) + ": " + segunda.texto);
        }
        for (auto &v : revisa(carpeta, acuses, todos)) {
            ++f.avalados; // left as it was by the second run, which believed its record
            mal.push_back("tras la segunda corrida, " + v);
        }
        f.con_violaciones += !mal.empty();
        for (const auto &m : mal) {
            if (f.ejemplos.size() < 12) {
                f.ejemplos.push_back("corte " + std::to_string(f.cortes) + " (" + momento +
                                     ", estado " + std::to_string(s.estado) + ", " +
                                     std::to_string(al_terminar.size()) +
                                     " con su nombre al terminar): " + m);
            }
        }
        fs::remove_all(carpeta);
        sincroniza(montaje.ruta());
    }
    const double segundos =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count();
    std::cout << c.nombre << ": " << f.texto() << "; " << segundos << " s; semilla " << semilla
              << "\n";
    std::string detalle;
    for (const auto &e : f.ejemplos) {
        detalle += e + "\n";
    }
    if (c.sin_flushes) {
        std::cout << detalle; // what it catches, shown
        EXPECT_GT(f.perdidos + f.rotos + f.avalados, 0) << "sin flushes, ningún corte perdió nada";
    } else {
        EXPECT_EQ(f.con_violaciones, 0) << detalle;
    }
}

INSTANTIATE_TEST_SUITE_P(Corte, Corte,
                         testing::Values(Caso{"MatadoAlAzar", SIGKILL, false},
                                         Caso{"TerminadoAlAzar", SIGTERM, false},
                                         Caso{"TrasCorridaBuena", 0, false},
                                         Caso{"SinFlushesHayViolaciones", 0, true}),
                         [](const auto &info) { return std::string(info.param.nombre); });

} // namespace
