#include "deposito/asegurador.h"

#include "deposito/carpetas.h"
#include "deposito/cuadrilla.h"
#include "hilo.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <linux/magic.h>
#include <mutex>
#include <sys/vfs.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace sockvor {

class Constancia {
  public:
    explicit Constancia(int fd) : fd(fd) {}
    int fd; // our duplicate, closed once synced
    bool hecha = false;
    int error = 0;
};

namespace {

// A batch starts when someone is in a hurry for one of its files, or once it
// is this big or its oldest file this old: files fetched ahead then share the
// flush the file asked for needs anyway, and none waits long for its turn.
// While one batch is being flushed, whatever completes waits for the next, so
// batches grow with the work.
constexpr std::size_t lote_maximo = 64;
constexpr auto espera_maxima = std::chrono::milliseconds(20);
// Flushes in flight at once, the flushing thread's own among them. More let a
// journal commit more files together, but where each new file's flush also
// writes its folder (ext4 without a journal) they queue on the folder instead,
// and on two cores 8 ran steadiest. btrfs commits its log for each group of
// flushes in flight, and 64 of them took a quarter of the time 8 did (see
// HACKING.md).
constexpr std::size_t en_vuelo = 8;
constexpr std::size_t en_vuelo_btrfs = 64;

std::size_t a_la_vez(int fd) {
    struct statfs s {};
    return ::fstatfs(fd, &s) == 0 && s.f_type == BTRFS_SUPER_MAGIC ? en_vuelo_btrfs : en_vuelo;
}

struct Cola {
    std::mutex mutex;
    std::condition_variable cambio;
    std::deque<std::shared_ptr<Constancia>> pendientes;
    std::chrono::steady_clock::time_point desde; // when the oldest pending came
    bool prisa = false;
    std::thread hilo;
    bool salir = false;
    Cuadrilla cuadrilla;

    bool toca() const {
        return !pendientes.empty() && (salir || prisa || pendientes.size() >= lote_maximo ||
                                       std::chrono::steady_clock::now() - desde >= espera_maxima);
    }
};

// Never destroyed: the exit handler stops the thread in an order it controls.
Cola &cola() {
    static auto *c = new Cola;
    return *c;
}

int error_de(int r) {
    return r == 0 || errno == EINVAL ? 0 : errno;
}

// Each file's own data flush, which reports its own write errors and puts on disk
// nothing of anyone else's, several in flight at once so that the file system commits
// them together; beside them, the folders that received renames since the last batch.
// The writeback of the whole batch is started first, so the device sees its data at
// once rather than file by file as each flush gets to it.
void sincroniza(std::vector<std::shared_ptr<Constancia>> &lote, Cuadrilla &cuadrilla) {
    if (lote.size() > 1) {
        for (auto &c : lote) {
            ::sync_file_range(c->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        }
    }
    auto anotadas = toma_carpetas();
    std::vector<std::string> carpetas(anotadas.begin(), anotadas.end());
    std::vector<std::string> fallas(carpetas.size());
    std::size_t n = lote.size() + carpetas.size();
    cuadrilla.reparte(n, a_la_vez(lote.front()->fd), [&](std::size_t i) {
        if (i < lote.size()) {
            auto &c = *lote[i];
            c.error = error_de(::fdatasync(c.fd));
            ::close(c.fd);
            c.fd = -1;
        } else {
            fallas[i - lote.size()] = sincroniza_carpeta(carpetas[i - lote.size()]);
        }
    });
    for (auto &f : fallas) {
        if (!f.empty()) {
            guarda_falla(std::move(f));
        }
    }
}

void bucle() {
    auto &c = cola();
    std::unique_lock bloqueo(c.mutex);
    for (;;) {
        while (!c.toca() && !(c.salir && c.pendientes.empty())) {
            if (c.pendientes.empty()) {
                c.cambio.wait(bloqueo);
            } else {
                c.cambio.wait_until(bloqueo, c.desde + espera_maxima);
            }
        }
        if (c.pendientes.empty()) {
            return;
        }
        std::vector<std::shared_ptr<Constancia>> lote(c.pendientes.begin(), c.pendientes.end());
        c.pendientes.clear();
        c.prisa = false;
        bloqueo.unlock();
        sincroniza(lote, c.cuadrilla);
        bloqueo.lock();
        for (auto &k : lote) {
            k->hecha = true;
        }
        c.cambio.notify_all();
    }
}

// Queues the file for the flushing thread, started if need be; false when the system
// refuses that thread.
bool encola(const std::shared_ptr<Constancia> &constancia) {
    auto &c = cola();
    std::lock_guard bloqueo(c.mutex);
    if (!c.hilo.joinable()) {
        c.salir = false;
        c.hilo = lanza_hilo(bucle);
        if (!c.hilo.joinable()) {
            return false;
        }
    }
    if (c.pendientes.empty()) {
        c.desde = std::chrono::steady_clock::now();
        c.cambio.notify_all();
    } else if (c.pendientes.size() + 1 >= lote_maximo) {
        c.cambio.notify_all();
    }
    c.pendientes.push_back(constancia);
    return true;
}

} // namespace

std::shared_ptr<Constancia> asegura(int fd) {
    auto constancia = std::make_shared<Constancia>(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (constancia->fd >= 0 && encola(constancia)) {
        return constancia;
    }
    // No descriptor or no thread to spare: synced here, on the caller's thread.
    if (constancia->fd >= 0) {
        ::close(std::exchange(constancia->fd, -1));
    }
    constancia->error = error_de(::fdatasync(fd));
    constancia->hecha = true;
    return constancia;
}

bool hecha(Constancia &k) {
    auto &c = cola();
    std::lock_guard bloqueo(c.mutex);
    if (!k.hecha && !c.prisa) {
        c.prisa = true;
        c.cambio.notify_all();
    }
    return k.hecha;
}

int espera(Constancia &k) {
    auto &c = cola();
    std::unique_lock bloqueo(c.mutex);
    c.prisa = true;
    c.cambio.notify_all();
    c.cambio.wait(bloqueo, [&] { return k.hecha; });
    return k.error;
}

void detiene_asegurador() {
    auto &c = cola();
    {
        std::lock_guard bloqueo(c.mutex);
        c.salir = true;
        c.cambio.notify_all();
    }
    if (c.hilo.joinable()) {
        c.hilo.join();
    }
    // Threads started later, as after confinement, start inside its domain.
    c.cuadrilla.detiene();
}

} // namespace sockvor
