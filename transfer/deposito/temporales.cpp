#include "deposito/temporales.h"

#include "deposito/carpetas.h"
#include "recursos.h"
#include "rutas.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <set>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace sockvor {

namespace {

// Keeps ".<name>.sockvor-XXXXXX" within NAME_MAX for names near the limit.
constexpr std::size_t maximo_nombre_temporal = 200;
constexpr std::string_view marca = ".sockvor-";
constexpr std::size_t aleatorios = 6;

std::string_view recorta(std::string_view nombre) {
    return nombre.substr(0, maximo_nombre_temporal);
}

// The name a temporary file stands for, if `archivo` has the shape of one.
std::optional<std::string_view> de_quien(std::string_view archivo) {
    if (archivo.size() < 1 + marca.size() + aleatorios + 1 || archivo.front() != '.') {
        return std::nullopt;
    }
    auto sufijo = archivo.substr(archivo.size() - aleatorios);
    for (char c : sufijo) {
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum) {
            return std::nullopt;
        }
    }
    auto resto = archivo.substr(1, archivo.size() - 1 - aleatorios);
    if (resto.size() <= marca.size() || resto.substr(resto.size() - marca.size()) != marca) {
        return std::nullopt;
    }
    return resto.substr(0, resto.size() - marca.size());
}

// Leftovers found in each folder, read once per process: a killed run's files
// are there before this one starts, and this run's own are held.
std::mutex mutex_sobrantes;
std::map<std::string, std::multimap<std::string, std::string>> sobrantes;

const std::multimap<std::string, std::string> &sobrantes_de(const std::string &carpeta) {
    auto it = sobrantes.find(carpeta);
    if (it != sobrantes.end()) {
        return it->second;
    }
    std::multimap<std::string, std::string> hallados;
    if (DIR *d = ::opendir(carpeta.c_str())) {
        while (dirent *e = ::readdir(d)) {
            if (auto nombre = de_quien(e->d_name)) {
                hallados.emplace(std::string(*nombre), e->d_name);
            }
        }
        ::closedir(d);
    }
    return sobrantes.emplace(carpeta, std::move(hallados)).first->second;
}

// Removes `ruta` if it is a regular file of ours that nobody holds locked.
void quita_si_abandonado(const std::string &ruta) {
    Descriptor fd(::open(ruta.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat abierto {};
    if (!fd || ::fstat(fd.get(), &abierto) != 0 || !S_ISREG(abierto.st_mode) ||
        abierto.st_uid != ::geteuid() || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        return;
    }
    // Still the same file under that name, now that we hold it.
    struct stat nombrado {};
    if (::lstat(ruta.c_str(), &nombrado) == 0 && nombrado.st_ino == abierto.st_ino &&
        nombrado.st_dev == abierto.st_dev) {
        ::unlink(ruta.c_str());
    }
}

// --- signals ----------------------------------------------------------------------

constexpr std::size_t ranuras = 1024;
std::array<std::atomic<char *>, ranuras> anotados{};
constexpr int senales[] = {SIGTERM, SIGINT, SIGHUP};
std::once_flag instalados;

extern "C" void al_recibir_senal(int senal) {
    int guardado = errno;
    quita_temporales_anotados();
    // What took its name is on disk before the process ends, as at any exit, and so
    // are the removals just made.
    sincroniza_sostenidas();
    errno = guardado;
    // End as the signal would have: the default action, once this handler returns.
    ::signal(senal, SIG_DFL);
    ::raise(senal);
}

void instala_manejadores() {
    for (int s : senales) {
        struct sigaction actual {};
        if (::sigaction(s, nullptr, &actual) != 0 || (actual.sa_flags & SA_SIGINFO) ||
            actual.sa_handler != SIG_DFL) {
            continue; // the program handles or ignores it itself
        }
        struct sigaction nuevo {};
        nuevo.sa_handler = al_recibir_senal;
        sigemptyset(&nuevo.sa_mask);
        for (int otra : senales) {
            sigaddset(&nuevo.sa_mask, otra);
        }
        ::sigaction(s, &nuevo, nullptr);
    }
}

// Holds back the signals whose handlers remove the noted files while it lives.
class SenalesRetenidas {
  public:
    SenalesRetenidas() {
        sigset_t retenidas;
        sigemptyset(&retenidas);
        for (int s : senales) {
            sigaddset(&retenidas, s);
        }
        ::pthread_sigmask(SIG_BLOCK, &retenidas, &antes_);
    }
    ~SenalesRetenidas() { ::pthread_sigmask(SIG_SETMASK, &antes_, nullptr); }
    SenalesRetenidas(const SenalesRetenidas &) = delete;
    SenalesRetenidas &operator=(const SenalesRetenidas &) = delete;

  private:
    sigset_t antes_;
};

int anota_temporal(const std::string &ruta) {
    std::unique_ptr<char[]> copia(new char[ruta.size() + 1]);
    std::memcpy(copia.get(), ruta.c_str(), ruta.size() + 1);
    for (std::size_t i = 0; i < ranuras; ++i) {
        char *vacio = nullptr;
        if (anotados[i].compare_exchange_strong(vacio, copia.get())) {
            copia.release();
            return static_cast<int>(i);
        }
    }
    return -1;
}

} // namespace

std::string plantilla_temporal(const std::string &carpeta, std::string_view nombre) {
    return en_carpeta(carpeta, "." + std::string(recorta(nombre)) + std::string(marca) +
                                   std::string(aleatorios, 'X'));
}

int crea_temporal(std::string &plantilla, int &anotado) {
    std::call_once(instalados, instala_manejadores);
    // A signal between the creation and the note would leave the file behind.
    SenalesRetenidas retenidas;
    static constexpr char letras[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const std::size_t desde = plantilla.size() - aleatorios;
    for (int intento = 0; intento < 100; ++intento) {
        std::array<unsigned char, aleatorios> azar{};
        if (::getrandom(azar.data(), azar.size(), 0) != static_cast<ssize_t>(azar.size())) {
            return -1;
        }
        for (std::size_t i = 0; i < aleatorios; ++i) {
            plantilla[desde + i] = letras[azar[i] % (sizeof letras - 1)];
        }
        int fd = ::open(plantilla.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            anotado = anota_temporal(plantilla);
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    return -1;
}

void quita_sobrantes(const std::string &carpeta, std::string_view nombre) {
    std::vector<std::string> rutas;
    {
        std::lock_guard bloqueo(mutex_sobrantes);
        auto [desde, hasta] = sobrantes_de(carpeta).equal_range(std::string(recorta(nombre)));
        for (auto it = desde; it != hasta; ++it) {
            rutas.push_back(en_carpeta(carpeta, it->second));
        }
    }
    for (const auto &r : rutas) {
        quita_si_abandonado(r);
    }
}

void olvida_temporal(int slot) {
    if (slot >= 0) {
        delete[] anotados[static_cast<std::size_t>(slot)].exchange(nullptr);
    }
}

// Async-signal-safe: atomic loads and unlink only.
void quita_temporales_anotados() {
    for (auto &a : anotados) {
        if (char *ruta = a.load()) {
            ::unlink(ruta);
        }
    }
}

} // namespace sockvor
