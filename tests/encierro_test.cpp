// The real program with our libSockVor.so against the loopback host, probed from inside
// (sonda.cpp, by LD_PRELOAD) at two moments: when it reads the host's first bytes, and
// when it puts its first file in place, after authentication. What a fault in its
// parsing could try is refused at both, and the run deposits every file as always.
#include "host_fixture.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
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
    // The same at both moments: the seal comes before the host's first byte.
    struct Fila {
        const char *intento;
        const char *resultado;
    };
    const Fila filas[] = {
        {"crea_fuera", "EACCES"},
        {"lee_fuera", "EACCES"},
        {"acl_por_lectura", "ENOSYS"},
        {"acl_por_omision", "ENOSYS"},
        {"file_setattr", "ENOSYS"},
        {"banderas_por_lectura", "ENOSYS"},
        {"verity_por_lectura", "ENOSYS"},
        {"cifrado_por_lectura", "ENOSYS"},
        {"clona_por_lectura", "ENOSYS"},
        {"terminal", "ENOSYS"},
        {"modo", "ENOSYS"},
        {"fechas_por_nombre", "ENOSYS"},
        {"atributo_por_nombre", "ENOSYS"},
        {"corta_por_nombre", "ENOSYS"},
        {"io_uring", "ENOSYS"},
        {"int80", "ENOSYS"},
        {"socket_inet", "ENOSYS"},
        {"socket_unix", "ENOSYS"},
        {"proceso", "ENOSYS"},
        {"programa", "ENOSYS"},
        {"senal_a_otro", "ENOSYS"},
        {"senal_por_descriptor", "ENOSYS"},
        {"limite_de_otro", "ENOSYS"},
        {"prctl_otro", "ENOSYS"},
        {"senal_a_si_mismo", "0"},
    };
    Corrida c;
    Salida s = c.arranca().espera();
    auto r = resultados(s.texto);
    for (const auto &f : filas) {
        for (const char *momento : {"bienvenida ", "renombre "}) {
            EXPECT_EQ(r[momento + std::string(f.intento)], f.resultado) << momento << f.intento;
        }
    }
    EXPECT_EQ(r.size(), 2 * std::size(filas)) << s.texto;
    // The run itself is as always; outside, nothing changed.
    c.comprueba_deposito(s);
    struct stat a {};
    ASSERT_EQ(stat((c.fuera.ruta() + "/archivo").c_str(), &a), 0);
    EXPECT_EQ(a.st_mode & 07777, 0600u);
    EXPECT_FALSE(fs::exists(c.fuera.ruta() + "/nuevo"));
}

// Bytes of the ed25519 key in an OpenSSH private key file: its base64 lines, and the
// 32-byte seed, the raw key, from its private section.
struct Secretos {
    std::vector<std::string> lineas;
    std::string semilla;
};

std::string de_base64(const std::string &texto) {
    static const std::string alfabeto =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string salida;
    unsigned acumulado = 0;
    int bits = 0;
    for (char c : texto) {
        auto v = alfabeto.find(c);
        if (v == std::string::npos) {
            continue;
        }
        acumulado = (acumulado << 6) | static_cast<unsigned>(v);
        if ((bits += 6) >= 8) {
            bits -= 8;
            salida += static_cast<char>((acumulado >> bits) & 0xff);
        }
    }
    return salida;
}

Secretos secretos_de(const std::string &archivo) {
    Secretos s;
    std::istringstream texto(lee_archivo(archivo));
    std::string cuerpo;
    for (std::string linea; std::getline(texto, linea);) {
        if (linea.rfind("-----", 0) != 0) {
            s.lineas.push_back(linea);
            cuerpo += linea;
        }
    }
    // The private section names the key's type last, then its public and private halves.
    std::string binario = de_base64(cuerpo);
    auto tipo = binario.rfind("ssh-ed25519");
    if (tipo != std::string::npos && tipo + 11 + 4 + 32 + 4 + 32 <= binario.size()) {
        s.semilla = binario.substr(tipo + 11 + 4 + 32 + 4, 32);
    }
    return s;
}

// Every byte the process `pid` may read, region by region.
std::vector<std::string> memoria_de(pid_t pid) {
    std::vector<std::string> regiones;
    std::ifstream mapas("/proc/" + std::to_string(pid) + "/maps");
    std::ifstream mem("/proc/" + std::to_string(pid) + "/mem", std::ios::binary);
    for (std::string linea; std::getline(mapas, linea);) {
        unsigned long desde = 0, hasta = 0;
        char permisos[5] = {};
        if (std::sscanf(linea.c_str(), "%lx-%lx %4s", &desde, &hasta, permisos) != 3 ||
            permisos[0] != 'r' || hasta - desde > (256ul << 20) || // a sanitizer's shadow
            linea.find("[vvar") != std::string::npos ||
            linea.find("[vsyscall]") != std::string::npos) {
            continue;
        }
        std::string region(hasta - desde, '\0');
        mem.clear();
        mem.seekg(static_cast<std::streamoff>(desde));
        mem.read(region.data(), static_cast<std::streamsize>(region.size()));
        region.resize(static_cast<std::size_t>(std::max<std::streamsize>(mem.gcount(), 0)));
        regiones.push_back(std::move(region));
    }
    return regiones;
}

std::string estado_de(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string linea;
    std::getline(stat, linea);
    auto p = linea.rfind(')');
    return p == std::string::npos || p + 2 >= linea.size() ? "" : linea.substr(p + 2, 1);
}

int sockets_de(pid_t pid) {
    int n = 0;
    for (const auto &e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code ec;
        n += fs::read_symlink(e.path(), ec).string().rfind("socket:", 0) == 0;
    }
    return n;
}

std::string hijos_de(pid_t pid) {
    std::string todos;
    for (const auto &t : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        todos += lee_archivo((t.path() / "children").string());
    }
    return todos;
}

// At its first rename the process holds no byte of the private key, the key file's
// text or the raw key, whether the key came from the disk or from the user's agent, no
// connection but the host's, and no process of its own.
TEST(Encierro, AlPrimerRenombreNiLlaveNiAgente) {
    for (bool con_agente : {false, true}) {
        SCOPED_TRACE(con_agente ? "llave en el agente" : "llave en el disco");
        Corrida c;
        const std::string llave = c.host.home() + "/.ssh/id_ed25519";
        const Secretos secretos = secretos_de(llave);
        ASSERT_EQ(secretos.semilla.size(), 32u);
        std::vector<std::string> entorno = {"SONDA_PAUSA=1"};
        std::unique_ptr<Proceso> agente;
        if (con_agente) {
            const std::string socket = c.fuera.ruta() + "/agente";
            agente = std::make_unique<Proceso>(
                std::vector<std::string>{"ssh-agent", "-D", "-a", socket});
            for (int i = 0; i < 500 && !fs::exists(socket); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            ASSERT_EQ(ejecuta({"ssh-add", "-q", llave}, {"SSH_AUTH_SOCK=" + socket}).estado, 0);
            entorno.push_back("SSH_AUTH_SOCK=" + socket);
        }
        Proceso programa = c.arranca(entorno);
        // Stopped by the probe at its first rename: waited for with a bound.
        pid_t pid = 0;
        for (int i = 0; i < 600 && (pid == 0 || estado_de(pid) != "T"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (pid == 0 && fs::exists(c.fuera.ruta() + "/pid")) {
                pid = std::stoi("0" + lee_archivo(c.fuera.ruta() + "/pid"));
            }
        }
        ASSERT_EQ(estado_de(pid), "T") << "el programa no llegó a su primer renombre";
        for (const auto &region : memoria_de(pid)) {
            for (const auto &linea : secretos.lineas) {
                EXPECT_EQ(region.find(linea), std::string::npos) << "una línea de la llave";
            }
            EXPECT_EQ(region.find(secretos.semilla), std::string::npos) << "la llave misma";
        }
        EXPECT_EQ(sockets_de(pid), 1) << "solo la conexión con el host";
        EXPECT_EQ(hijos_de(pid), "");
        kill(pid, SIGCONT);
        c.comprueba_deposito(programa.espera());
    }
}

} // namespace
