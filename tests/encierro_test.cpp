// The real program with our libSockVor.so against the loopback host, probed from inside
// (sonda.cpp, by LD_PRELOAD) at two moments: when it reads the host's first bytes, and
// when it puts its first file in place, after authentication. What a fault in its
// parsing could try is refused at each, and the run deposits every file as always.
#include "host_fixture.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::string login = "x1";
const char *const nombres[] = {"a_201306.xml", "b_201306.xml", "c_201305.xml"};

struct Corrida {
    HostSftp host;
    CarpetaTemporal fuera;

    Corrida() {
        for (const char *n : nombres) {
            host.crea_remoto(login, n, bytes_de_prueba(30000, n[0]));
        }
        escribe_archivo(fuera.ruta() + "/archivo", "de otro");
        chmod((fuera.ruta() + "/archivo").c_str(), 0600);
        fs::create_directory(fuera.ruta() + "/carpeta");
        host.usa_home();
    }

    // The program in June 2013, the probe preloaded; `entorno` adds to its environment.
    Proceso arranca(std::vector<std::string> entorno = {}) const {
        std::vector<std::string> orden = {"env", std::string("LD_PRELOAD=") + SONDA_SO,
                                          "SONDA_FUERA=" + fuera.ruta()};
        orden.insert(orden.end(), entorno.begin(), entorno.end());
        orden.insert(orden.end(), {"faketime", "@" + std::to_string(epoca_utc(2013, 6, 15, 12, 0)),
                                   ACUSES_BIN, host.direccion(), login, host.deposito()});
        return Proceso(orden,
                       {"ASAN_OPTIONS=verify_asan_link_order=0", "FAKETIME_DONT_FAKE_MONOTONIC=1"});
    }

    void comprueba_deposito(const Salida &s) const {
        EXPECT_EQ(s.estado, 0) << s.texto;
        const std::string cierre = " Se Depositaron 3 Acuses en " + host.deposito() + "\n";
        EXPECT_TRUE(s.texto.size() >= cierre.size() &&
                    s.texto.compare(s.texto.size() - cierre.size(), cierre.size(), cierre) == 0)
            << s.texto;
        for (const char *n : nombres) {
            EXPECT_EQ(lee_archivo(host.deposito() + "/" + n), bytes_de_prueba(30000, n[0])) << n;
        }
        EXPECT_TRUE(ocultos(host.deposito()).empty());
    }
};

// "sonda MOMENT ATTEMPT RESULT" lines of the probe, as {MOMENT ATTEMPT: RESULT}.
std::map<std::string, std::string> resultados(const std::string &texto) {
    std::map<std::string, std::string> r;
    std::istringstream lineas(texto);
    for (std::string linea; std::getline(lineas, linea);) {
        std::istringstream campos(linea);
        std::string sonda, momento, intento, resultado;
        if (campos >> sonda >> momento >> intento && sonda == "sonda") {
            std::getline(campos >> std::ws, resultado);
            r[momento + " " + intento] = resultado;
        }
    }
    return r;
}

TEST(Encierro, CadaIntentoNegadoDesdeLosPrimerosBytesDelHost) {
    if (syscall(SYS_landlock_create_ruleset, nullptr, 0, 1) < 1) {
        GTEST_SKIP() << "el kernel no ofrece Landlock";
    }
    struct Fila {
        const char *intento;
        const char *en_bienvenida;   // the host's first bytes: confined to the deposit
        const char *tras_autenticar; // the first rename: sealed
    };
    const Fila filas[] = {
        {"crea_fuera", "EACCES", "EACCES"},
        {"acl_por_lectura", "ENOSYS", "ENOSYS"},
        {"acl_por_omision", "ENOSYS", "ENOSYS"},
        {"file_setattr", "ENOSYS", "ENOSYS"},
        {"banderas_por_lectura", "ENOSYS", "ENOSYS"},
        {"verity_por_lectura", "ENOSYS", "ENOSYS"},
        {"cifrado_por_lectura", "ENOSYS", "ENOSYS"},
        {"clona_por_lectura", "ENOSYS", "ENOSYS"},
        {"terminal", "ENOSYS", "ENOSYS"},
        {"modo", "ENOSYS", "ENOSYS"},
        {"fechas_por_nombre", "ENOSYS", "ENOSYS"},
        {"atributo_por_nombre", "ENOSYS", "ENOSYS"},
        {"corta_por_nombre", "ENOSYS", "ENOSYS"},
        {"io_uring", "ENOSYS", "ENOSYS"},
        {"int80", "ENOSYS", "ENOSYS"},
        {"lee_fuera", "0", "EACCES"},
        {"socket_inet", "0", "ENOSYS"},
        {"socket_unix", "0", "ENOSYS"},
        {"proceso", "0", "ENOSYS"},
        {"programa", "ENOENT", "ENOSYS"},
        {"senal_a_otro", "0", "ENOSYS"},
        {"senal_a_si_mismo", "0", "0"},
    };
    Corrida c;
    Salida s = c.arranca().espera();
    auto r = resultados(s.texto);
    for (const auto &f : filas) {
        EXPECT_EQ(r["bienvenida " + std::string(f.intento)], f.en_bienvenida) << f.intento;
        EXPECT_EQ(r["renombre " + std::string(f.intento)], f.tras_autenticar) << f.intento;
    }
    EXPECT_EQ(r.size(), 2 * std::size(filas)) << s.texto;
    // The run itself is as always; outside, nothing changed.
    c.comprueba_deposito(s);
    struct stat a {};
    ASSERT_EQ(stat((c.fuera.ruta() + "/archivo").c_str(), &a), 0);
    EXPECT_EQ(a.st_mode & 07777, 0600u);
    EXPECT_FALSE(fs::exists(c.fuera.ruta() + "/nuevo"));
}

} // namespace
