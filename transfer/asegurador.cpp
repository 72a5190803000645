#include "asegurador.h"

#include "temporales.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <mutex>
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

struct Cola {
    std::mutex mutex;
    std::condition_variable cambio;
    std::deque<std::shared_ptr<Constancia>> pendientes;
    std::thread hilo;
    bool salir = false;
};

// Never destroyed: the exit handler stops the thread in an order it controls.
Cola &cola() {
    static auto *c = new Cola;
    return *c;
}

void sincroniza(std::vector<std::shared_ptr<Constancia>> &lote) {
    if (lote.size() > 1) {
        for (auto &c : lote) {
            ::sync_file_range(c->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        }
    }
    for (auto &c : lote) {
        int r = ::fsync(c->fd);
        c->error = r == 0 || errno == EINVAL ? 0 : errno;
        ::close(c->fd);
        c->fd = -1;
    }
}

void bucle() {
    bloquea_senales_en_este_hilo();
    auto &c = cola();
    std::unique_lock bloqueo(c.mutex);
    for (;;) {
        c.cambio.wait(bloqueo, [&] { return c.salir || !c.pendientes.empty(); });
        if (c.pendientes.empty()) {
            return;
        }
        std::vector<std::shared_ptr<Constancia>> lote(c.pendientes.begin(), c.pendientes.end());
        c.pendientes.clear();
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
        constancia->error = ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
        constancia->hecha = true;
        return constancia;
    }
    auto &c = cola();
    std::lock_guard bloqueo(c.mutex);
    if (!c.hilo.joinable()) {
        c.salir = false;
        c.hilo = std::thread(bucle);
    }
    c.pendientes.push_back(constancia);
    c.cambio.notify_all();
    return constancia;
}

int espera(Constancia &k) {
    auto &c = cola();
    std::unique_lock bloqueo(c.mutex);
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
