#include "deposito/carpetas.h"

#include "deposito/asegurador.h"
#include "deposito/temporales.h"
#include "errores.h"
#include "recursos.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <unistd.h>
#include <utility>

namespace sockvor {

namespace {

// Why each file is flushed before its rename and each folder only after, with the next
// batch of files, or by exit at the latest:
//
// A file must never show under its final name half-written, even after a power cut; so
// its data and size are on disk (the temporary file is flushed) before the rename is
// issued. Once that flush has returned, whatever later state of the folder reaches the
// disk names a file whose bytes are already there: the rename can be lost in a crash
// (the temporary name stays, whole) but cannot surface a short or empty file. This holds
// on any file system that honours fsync, whatever its own ordering of metadata.
//
// The folder's fsync only makes the renames durable, and the promise is that every file
// fetched is durable by the time the program ends. So the folders that received a rename
// are noted and synced with the next batch of files, where their flush shares the file
// system's commit with the files' own, and when the process exits (by exit() or a return
// from main, whatever the status). When no batch comes, the first deposit that finds the
// oldest note `espera_maxima` old syncs them, which bounds what a busy long-lived caller,
// or a process killed outright, leaves to the system's own writeback. A TERM, INT or HUP
// that ends the process syncs them in its handler, after removing the temporary files:
// through descriptors held from the folder's first deposit on, since the handler may
// call little more than fsync.
constexpr auto espera_maxima = std::chrono::seconds(5);

struct Pendientes {
    std::mutex mutex;
    std::set<std::string> carpetas;
    std::chrono::steady_clock::time_point desde; // when the oldest of them was noted
    std::vector<std::string> fallas;             // found by batches, not yet reported
    bool registrado = false;
    std::map<std::string, int> sostenidas; // each folder held, and its descriptor
};

// The descriptors held, as a signal's handler reads them: each written before the count
// that covers it, never closed. Past this many folders, a deposit syncs its own at once.
constexpr std::size_t maximo_sostenidas = 64;
std::array<int, maximo_sostenidas> sostenidas{};
std::atomic<std::size_t> cuantas_sostenidas{0};

// Never destroyed: the exit handler needs it after static destructors may have run.
Pendientes &pendientes() {
    static auto *p = new Pendientes;
    return *p;
}

void asegura_al_salir() {
    detiene_asegurador();
    auto fallas = asegura_carpetas();
    if (fallas.empty()) {
        return;
    }
    // The run may have said its files were deposited; a status of success would then
    // hide that they are not safe on disk. 4 is the command's status for a failed fetch.
    std::fflush(nullptr);
    for (const auto &f : fallas) {
        std::fprintf(stderr, " ERROR %s\n", f.c_str());
    }
    std::fflush(stderr);
    // _exit skips the teardown that would remove the files fetched ahead.
    quita_temporales_anotados();
    ::_exit(4);
}

// Holds `carpeta`, under p.mutex: true when it is held.
bool sostiene(Pendientes &p, const std::string &carpeta) {
    if (p.sostenidas.count(carpeta) != 0) {
        return true;
    }
    std::size_t n = cuantas_sostenidas.load();
    if (n == maximo_sostenidas) {
        return false;
    }
    int fd = ::open(carpeta.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false; // no descriptor to spare, say: tried again by the next deposit
    }
    p.sostenidas.emplace(carpeta, fd);
    sostenidas[n] = fd;
    cuantas_sostenidas.store(n + 1);
    return true;
}

} // namespace

void sostiene_carpeta(const std::string &carpeta) {
    auto &p = pendientes();
    std::lock_guard bloqueo(p.mutex);
    sostiene(p, carpeta);
}

bool anota_carpeta(const std::string &carpeta) {
    auto &p = pendientes();
    std::lock_guard bloqueo(p.mutex);
    // Held after the rename is too late for a signal that came in between.
    bool sostenida = p.sostenidas.count(carpeta) != 0;
    if (!sostenida) {
        sostiene(p, carpeta);
    }
    if (!p.registrado) {
        if (std::atexit(asegura_al_salir) != 0) {
            return false;
        }
        p.registrado = true;
    }
    auto ahora = std::chrono::steady_clock::now();
    if (p.carpetas.empty()) {
        p.desde = ahora;
    }
    p.carpetas.insert(carpeta);
    return sostenida && p.fallas.empty() && ahora - p.desde < espera_maxima;
}

std::set<std::string> toma_carpetas() {
    auto &p = pendientes();
    std::lock_guard bloqueo(p.mutex);
    return std::exchange(p.carpetas, {});
}

void guarda_falla(std::string texto) {
    auto &p = pendientes();
    std::lock_guard bloqueo(p.mutex);
    p.fallas.push_back(std::move(texto));
}

std::string sincroniza_carpeta(const std::string &carpeta) {
    Descriptor fd(::open(carpeta.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd && errno == ENOENT) {
        return {}; // a folder that is gone holds nothing left to keep
    }
    // EINVAL: the file system keeps no separate state for folders to sync.
    if (!fd || (::fsync(fd.get()) != 0 && errno != EINVAL)) {
        int numero = errno;
        return "No se pudo asegurar en disco la carpeta " + visible(carpeta) +
               ", donde se guardaron archivos: " + causa(numero);
    }
    return {};
}

std::vector<std::string> asegura_carpetas() {
    std::vector<std::string> fallas;
    for (const auto &c : toma_carpetas()) {
        if (auto texto = sincroniza_carpeta(c); !texto.empty()) {
            fallas.push_back(std::move(texto));
        }
    }
    auto &p = pendientes();
    std::lock_guard bloqueo(p.mutex);
    fallas.insert(fallas.begin(), std::make_move_iterator(p.fallas.begin()),
                  std::make_move_iterator(p.fallas.end()));
    p.fallas.clear();
    return fallas;
}

// Async-signal-safe: an atomic load, reads of what it covers, and fsync.
void sincroniza_sostenidas() noexcept {
    std::size_t n = cuantas_sostenidas.load();
    for (std::size_t i = 0; i < n; ++i) {
        ::fsync(sostenidas[i]);
    }
}

} // namespace sockvor
