#include "proceso.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

Proceso::Proceso(const std::vector<std::string> &argumentos,
                 const std::vector<std::string> &entorno) {
    std::vector<std::string> variables;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string v = *e;
        std::string nombre = v.substr(0, v.find('='));
        bool reemplazada = false;
        for (const auto &n : entorno)
            reemplazada = reemplazada || n.substr(0, n.find('=')) == nombre;
        if (!reemplazada)
            variables.push_back(v);
    }
    variables.insert(variables.end(), entorno.begin(), entorno.end());
    std::vector<char *> argv, envp;
    for (const auto &a : argumentos)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto &v : variables)
        envp.push_back(const_cast<char *>(v.c_str()));
    envp.push_back(nullptr);

    int tubo[2];
    if (pipe(tubo) != 0)
        throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(tubo[1], STDOUT_FILENO);
        close(tubo[0]);
        close(tubo[1]);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(tubo[1]);
    salida_ = tubo[0];
}

Proceso::~Proceso() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        espera();
    }
}

Salida Proceso::espera() {
    Salida s;
    char bloque[4096];
    ssize_t n;
    while ((n = read(salida_, bloque, sizeof bloque)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            s.texto.append(bloque, static_cast<std::size_t>(n));
    close(salida_);
    int estado = 0;
    waitpid(pid_, &estado, 0);
    pid_ = -1;
    s.estado = WIFEXITED(estado) ? WEXITSTATUS(estado) : 128 + WTERMSIG(estado);
    return s;
}

Salida ejecuta(const std::vector<std::string> &argumentos,
               const std::vector<std::string> &entorno) {
    return Proceso(argumentos, entorno).espera();
}

int puerto_libre() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t largo = sizeof a;
    bool hecho = s >= 0 && bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                 getsockname(s, reinterpret_cast<sockaddr *>(&a), &largo) == 0;
    if (s >= 0) {
        close(s);
    }
    if (!hecho) {
        throw std::runtime_error("no se obtuvo un puerto libre");
    }
    return ntohs(a.sin_port);
}

std::string ejecuta_o_falla(const std::vector<std::string> &argumentos) {
    auto s = ejecuta(argumentos);
    if (s.estado != 0) {
        throw std::runtime_error("falló " + argumentos.front() + ": " + s.texto);
    }
    return s.texto;
}

long long epoca_utc(int anio, int mes, int dia, int hora, int minuto) {
    std::tm t{};
    t.tm_year = anio - 1900;
    t.tm_mon = mes - 1;
    t.tm_mday = dia;
    t.tm_hour = hora;
    t.tm_min = minuto;
    return static_cast<long long>(timegm(&t));
}

CarpetaTemporal::CarpetaTemporal() {
    std::string plantilla = (std::filesystem::temp_directory_path() / "acuses-XXXXXX").string();
    if (mkdtemp(plantilla.data()) == nullptr)
        throw std::runtime_error("mkdtemp");
    ruta_ = plantilla;
    int tubo[2];
    if (pipe2(tubo, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    quitador_ = fork();
    if (quitador_ == 0) {
        dup2(tubo[0], STDIN_FILENO);
        execlp("sh", "sh", "-c", "while read -r _; do :; done; exec rm -rf -- \"$0\"",
               ruta_.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(tubo[0]);
    aviso_ = tubo[1];
    if (quitador_ < 0) {
        close(aviso_);
        throw std::runtime_error("fork");
    }
}

CarpetaTemporal::~CarpetaTemporal() {
    close(aviso_);
    waitpid(quitador_, nullptr, 0);
}

std::string su_stderr(const std::string &archivo, const std::function<void()> &f) {
    std::fflush(stderr);
    int copia = dup(STDERR_FILENO);
    int destino = open(archivo.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(destino, STDERR_FILENO);
    close(destino);
    f();
    std::fflush(stderr);
    dup2(copia, STDERR_FILENO);
    close(copia);
    return lee_archivo(archivo);
}

std::string lee_archivo(const std::string &ruta) {
    std::ifstream f(ruta, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void escribe_archivo(const std::string &ruta, const std::string &contenido) {
    std::ofstream f(ruta, std::ios::binary);
    f << contenido;
}
