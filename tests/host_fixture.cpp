#include "host_fixture.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

void genera_llave(const std::string &ruta, const std::string &tipo = "ed25519") {
    ejecuta_o_falla({"ssh-keygen", "-q", "-t", tipo, "-N", "", "-C", "prueba", "-f", ruta});
}

// "ssh-ed25519 AAAA..." without the comment.
std::string llave_publica(const std::string &ruta) {
    std::istringstream linea(lee_archivo(ruta));
    std::string tipo, cuerpo;
    linea >> tipo >> cuerpo;
    return tipo + " " + cuerpo;
}

std::string lee_linea(int fd, int milisegundos) {
    std::string linea;
    char c;
    while (true) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, milisegundos) <= 0) {
            throw std::runtime_error("sftp_host.py no anunció su puerto");
        }
        ssize_t n = read(fd, &c, 1);
        if (n <= 0) {
            throw std::runtime_error("sftp_host.py terminó sin anunciar su puerto");
        }
        if (c == '\n') {
            return linea;
        }
        linea += c;
    }
}

} // namespace

HostSftp::HostSftp(OpcionesHost opciones) {
    home_ = base_.ruta() + "/home";
    raiz_ = base_.ruta() + "/raiz";
    deposito_ = base_.ruta() + "/deposito";
    registro_ = base_.ruta() + "/registro";
    std::string ssh = home_ + "/.ssh";
    fs::create_directories(ssh);
    fs::create_directories(raiz_);
    fs::create_directories(deposito_);
    std::string llave_cliente = ssh + "/id_" + opciones.tipo_llave;
    genera_llave(llave_cliente, opciones.tipo_llave);
    genera_llave(base_.ruta() + "/llave_host");
    std::string autorizadas = base_.ruta() + "/authorized_keys";
    if (opciones.cliente_autorizado) {
        escribe_archivo(autorizadas, lee_archivo(llave_cliente + ".pub"));
    } else {
        genera_llave(base_.ruta() + "/otro_cliente");
        escribe_archivo(autorizadas, lee_archivo(base_.ruta() + "/otro_cliente.pub"));
    }

    std::vector<std::string> argumentos = {"/usr/bin/python3",
                                           "-W",
                                           "ignore",
                                           SFTP_HOST_PY,
                                           "--root",
                                           raiz_,
                                           "--host-key",
                                           base_.ruta() + "/llave_host",
                                           "--authorized-keys",
                                           autorizadas,
                                           "--log",
                                           registro_};
    if (!opciones.llave_host_extra.empty()) {
        genera_llave(base_.ruta() + "/llave_host_extra", opciones.llave_host_extra);
        argumentos.insert(argumentos.end(), {"--host-key", base_.ruta() + "/llave_host_extra"});
    }
    const std::pair<const char *, const std::vector<std::string> &> repetidas[] = {
        {"--fault", opciones.fallas},
        {"--fail-name", opciones.fallan},
        {"--fail-open-once", opciones.abren_mal},
        {"--inject", opciones.inyectados},
        {"--hold", opciones.retenidos},
        {"--eof-at", opciones.fin_en},
        {"--rewrite", opciones.reescritos},
        {"--malformed-read", opciones.mal_leidos},
        {"--close-channel", opciones.cierra_canal},
        {"--slow-read", opciones.lentos},
        {"--stall", opciones.atascados},
        {"--short-read", opciones.cortos},
    };
    for (const auto &[opcion, valores] : repetidas) {
        for (const auto &v : valores) {
            argumentos.insert(argumentos.end(), {opcion, v});
        }
    }
    if (opciones.windows) {
        argumentos.push_back("--windows");
    }
    const std::pair<const char *, int> numericas[] = {
        {"--open-delay", opciones.demora_apertura_ms},
        {"--max-channels", opciones.max_canales},
        {"--latency", opciones.latencia_ms},
        {"--fail-readdir", opciones.falla_readdir},
        {"--auth-delay", opciones.demora_autenticacion_ms},
        {"--banner-delay", opciones.demora_saludo_ms},
    };
    for (const auto &[opcion, valor] : numericas) {
        if (valor > 0) {
            argumentos.insert(argumentos.end(), {opcion, std::to_string(valor)});
        }
    }
    if (opciones.muchos > 0) {
        argumentos.insert(argumentos.end(), {"--inject-many", std::to_string(opciones.muchos),
                                             "--many-tag", opciones.etiqueta_muchos});
    }
    int tubo[2];
    if (pipe2(tubo, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    std::vector<char *> argv;
    for (auto &a : argumentos) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    hijo_ = fork();
    if (hijo_ == 0) {
        dup2(tubo[1], STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(tubo[1]);
    try {
        puerto_ = std::stoi(lee_linea(tubo[0], 30000));
    } catch (...) {
        close(tubo[0]);
        kill(hijo_, SIGKILL);
        waitpid(hijo_, nullptr, 0);
        throw;
    }
    close(tubo[0]);

    std::string conocida;
    if (opciones.llave == LlaveConocida::registrada) {
        conocida = llave_publica(base_.ruta() + (opciones.llave_host_extra.empty()
                                                     ? "/llave_host.pub"
                                                     : "/llave_host_extra.pub"));
    } else if (opciones.llave == LlaveConocida::otra) {
        genera_llave(base_.ruta() + "/llave_impostora");
        conocida = llave_publica(base_.ruta() + "/llave_impostora.pub");
    }
    escribe_archivo(
        ssh + "/known_hosts",
        conocida.empty() ? "" : "[127.0.0.1]:" + std::to_string(puerto_) + " " + conocida + "\n");
    std::string config = std::string("Host ") + alias + "\n    HostName 127.0.0.1\n    Port " +
                         std::to_string(puerto_) + "\n    IdentityFile " + llave_cliente + "\n";
    if (opciones.connect_timeout > 0) {
        config += "Host *\n    ConnectTimeout " + std::to_string(opciones.connect_timeout) + "\n";
    }
    escribe_archivo(ssh + "/config", config);
}

HostSftp::~HostSftp() {
    if (hijo_ > 0) {
        kill(hijo_, SIGTERM);
        waitpid(hijo_, nullptr, 0);
    }
}

void HostSftp::usa_home() const {
    setenv("HOME", home_.c_str(), 1);
    // A developer's agent could offer keys this host does not know of.
    unsetenv("SSH_AUTH_SOCK");
}

std::string HostSftp::ruta_windows(const std::string &login, const std::string &nombre) {
    return "D:\\IDE\\" + login + "\\Acuses\\" + nombre;
}

std::string HostSftp::ruta_local_remota(const std::string &login, const std::string &nombre) const {
    return raiz_ + "/D:/IDE/" + login + "/Acuses/" + nombre;
}

void HostSftp::crea_remoto(const std::string &login, const std::string &nombre,
                           const std::string &contenido) const {
    fs::create_directories(raiz_ + "/D:/IDE/" + login + "/Acuses");
    escribe_archivo(ruta_local_remota(login, nombre), contenido);
}

std::vector<std::string> HostSftp::registro() const {
    std::vector<std::string> lineas;
    std::istringstream texto(lee_archivo(registro_));
    for (std::string l; std::getline(texto, l);) {
        lineas.push_back(l);
    }
    return lineas;
}

int HostSftp::cuenta(const std::string &evento) const {
    int n = 0;
    for (const auto &l : registro()) {
        n += l == evento || l.rfind(evento + " ", 0) == 0;
    }
    return n;
}

namespace {
const char *const variables_de_umbral[] = {"SOCKVOR_LEJOS_MS", "SOCKVOR_APERTURA_LENTA_MS"};
} // namespace

std::vector<std::string> umbrales(int ms) {
    std::vector<std::string> v = {"env"};
    for (const char *variable : variables_de_umbral) {
        v.push_back(std::string(variable) + "=" + std::to_string(ms));
    }
    return v;
}

Umbrales::Umbrales(int ms) {
    for (const char *variable : variables_de_umbral) {
        setenv(variable, std::to_string(ms).c_str(), 1);
    }
}

Umbrales::~Umbrales() {
    for (const char *variable : variables_de_umbral) {
        unsetenv(variable);
    }
}

Salida corre_en_junio(const std::string &programa, const HostSftp &host, const std::string &ip,
                      const std::string &login, const std::string &deposito,
                      std::vector<std::string> antes) {
    host.usa_home();
    antes.insert(antes.end(), {"faketime", "@" + std::to_string(epoca_utc(2013, 6, 15, 12, 0)),
                               programa, ip, login, deposito});
    return ejecuta(antes,
                   {// faketime preloads itself ahead of the sanitizer runtime.
                    "ASAN_OPTIONS=verify_asan_link_order=0",
                    // The watchdog waits on the monotonic clock; only the calendar is faked.
                    "FAKETIME_DONT_FAKE_MONOTONIC=1"});
}

std::vector<std::string> archivos(const std::string &carpeta) {
    std::vector<std::string> nombres;
    for (const auto &e : fs::directory_iterator(carpeta)) {
        nombres.push_back(e.path().filename().string());
    }
    std::sort(nombres.begin(), nombres.end());
    return nombres;
}

std::vector<std::string> ocultos(const std::string &carpeta) {
    std::vector<std::string> salida;
    for (const auto &e : fs::directory_iterator(carpeta)) {
        auto nombre = e.path().filename().string();
        if (!nombre.empty() && nombre.front() == '.') {
            salida.push_back(nombre);
        }
    }
    return salida;
}

std::string bytes_de_prueba(std::size_t largo, unsigned semilla) {
    std::string s(largo, '\0');
    unsigned x = semilla * 2654435761u + 1;
    for (auto &c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}
