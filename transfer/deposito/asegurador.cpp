#include "deposito/asegurador.h"

#include "deposito/temporales.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
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
constexpr std::size_t lote_maximo = 64;
constexpr auto espera_maxima = std::chrono::milliseconds(20);

struct Cola {
    std::mutex mutex;
    std::condition_variable cambio;
    std::deque<std::shared_ptr<Constancia>> pendientes;
    std::chrono::steady_clock::time_point desde; // when the oldest pending came
    bool prisa = false;
    std::thread hilo;
    bool salir = false;

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

// One file: its own fsync. Several: each one's data written and waited for
// (which reports its own write errors), then one syncfs per file system for
// their inodes and a single device flush. Where inodes are not journaled (ext4
// without a journal), each fsync would flush the device on its own.
void sincroniza(std::vector<std::shared_ptr<Constancia>> &lote) {
    if (lote.size() == 1) {
        lote[0]->error = error_de(::fsync(lote[0]->fd));
    } else {
        // Writeback starts for all, then one syncfs per file system waits for it,
        // writes the inodes and flushes; each file's own wait then reports its
        // write errors, if any.
        std::map<dev_t, int> sistemas; // file system -> a descriptor on it, then its error
        std::vector<dev_t> sistema_de(lote.size());
        for (std::size_t i = 0; i < lote.size(); ++i) {
            auto &c = *lote[i];
            ::sync_file_range(c.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
            struct stat s {};
            if (::fstat(c.fd, &s) == 0) {
                sistema_de[i] = s.st_dev;
                sistemas.emplace(s.st_dev, c.fd);
            } else {
                c.error = errno;
            }
        }
        for (auto &[sistema, fd] : sistemas) {
            fd = error_de(::syncfs(fd));
        }
        for (std::size_t i = 0; i < lote.size(); ++i) {
            auto &c = *lote[i];
            if (c.error == 0) {
                c.error = error_de(::sync_file_range(
                    c.fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WAIT_AFTER));
            }
            if (c.error == 0) {
                c.error = sistemas[sistema_de[i]];
            }
        }
    }
    for (auto &c : lote) {
        ::close(c->fd);
        c->fd = -1;
    }
}

void bucle() {
    bloquea_senales_en_este_hilo();
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
        sincroniza(lote);
        bloqueo.lock();
        for (auto &k : lote) {
            k->hecha = true;
        }
        c.cambio.notify_all();
    }
}

} // namespace

std::shared_ptr<Constancia> asegura(int fd) {
    int copia = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    auto constancia = std::make_shared<Constancia>(copia);
    if (copia < 0) {
        // No descriptor to spare: synced here, on the caller's thread.
        constancia->error = error_de(::fsync(fd));
        constancia->hecha = true;
        return constancia;
    }
    auto &c = cola();
    std::lock_guard bloqueo(c.mutex);
    if (!c.hilo.joinable()) {
        c.salir = false;
        c.hilo = std::thread(bucle);
    }
    if (c.pendientes.empty()) {
        c.desde = std::chrono::steady_clock::now();
        c.cambio.notify_all();
    } else if (c.pendientes.size() + 1 >= lote_maximo) {
        c.cambio.notify_all();
    }
    c.pendientes.push_back(constancia);
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
}

} // namespace sockvor
